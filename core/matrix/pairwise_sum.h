// Sums of float64 terms in numpy's order, so that figures the library
// computes for zelk.matrix are those numpy gives for the same arrays: runs of
// at most 128 terms by eight running sums, ((r0 + r1) + (r2 + r3)) +
// ((r4 + r5) + (r6 + r7)), then the rest in turn; longer runs halved (to a
// multiple of 8) and each half summed so. `term(i)` gives the i-th term,
// computed as the caller's arithmetic says, so no array of them is needed.
// Callers are compiled without contracting a product and a sum into one
// rounding (core/CMakeLists.txt).
#pragma once

#include <array>
#include <cstddef>

namespace zelk {

template <typename Term>
double pairwise_sum(size_t first, size_t n, const Term& term) {
    if (n < 8) {
        double sum = 0.0;
        for (size_t i = 0; i < n; ++i) sum += term(first + i);
        return sum;
    }
    if (n <= 128) {
        std::array<double, 8> r;
        for (size_t j = 0; j < 8; ++j) r[j] = term(first + j);
        size_t i = 8;
        for (; i < n - n % 8; i += 8) {
            for (size_t j = 0; j < 8; ++j) r[j] += term(first + i + j);
        }
        double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) sum += term(first + i);
        return sum;
    }
    size_t half = n / 2;
    half -= half % 8;
    return pairwise_sum(first, half, term) + pairwise_sum(first + half, n - half, term);
}

}  // namespace zelk
