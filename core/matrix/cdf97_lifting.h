// The CDF 9/7 wavelet of zelk.matrix's wavelet path, in integer lifting
// over a row-major matrix of 64-bit integers, in place. A level lifts every
// column, then every row, of the part the level before left as its low-pass
// band: the whole matrix first, then (rows + 1) / 2 by (cols + 1) / 2, and
// so on. Lifting a line of length n > 1 puts its even samples' band first
// (the first (n + 1) / 2 places), its odd samples' after.
//
// The steps, on the even samples s and the odd ones d of a line, each
// adding a product by one of four constants in 15-bit fixed point, rounded
// as (c t + 2^14) >> 15 with the shift flooring:
//   d[n] += alpha (s[n] + s[n+1]);  s[n] += beta (d[n-1] + d[n]);
//   d[n] += gamma (s[n] + s[n+1]);  s[n] += delta (d[n-1] + d[n]).
// Past the last even sample the line goes on straight (s[n+1] taken as
// 2 s[n] - s[n-1]; a lone even sample, as s[n]); past either end of the odd
// ones it stays level (d[-1] = d[0], d[m] = d[m-1]). The inverse subtracts
// the same products in the reverse order. Arithmetic wraps modulo 2^64, so
// every input, damaged coefficients included, gives the same values on every
// machine; the coefficients of values within 2^40 never wrap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zelk {

// Both throw std::invalid_argument unless `values` holds rows * cols values.
void cdf97_forward(std::span<int64_t> values, size_t rows, size_t cols, unsigned levels);
void cdf97_inverse(std::span<int64_t> values, size_t rows, size_t cols, unsigned levels);

}  // namespace zelk
