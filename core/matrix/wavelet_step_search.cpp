#include "matrix/wavelet_step_search.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "base/large_array.h"
#include "base/nearest_integer.h"
#include "matrix/cdf97_lifting.h"
#include "matrix/error_figures.h"
#include "matrix/wavelet_quantise.h"
#include "matrix/wavelet_subbands.h"

namespace zelk {
namespace {

constexpr double FINE_GRID = 64;
constexpr double LARGEST_VALUE = 0x1p40;    // on the fine grid: products stay within 64 bits
constexpr size_t ESTIMATE_VALUES = 1 << 16;  // the RMSE estimate reads about this many coefficients
constexpr int MOST_TRIALS = 6;               // steps restored in full while the search closes in
constexpr int ESTIMATE_HALVINGS = 10;        // of the step range (a factor of 512) in the estimate's search

__extension__ using Wide = unsigned __int128;

// A positive double's nearest integer (halves to even); huge ones held at a
// size past every step's range.
int64_t nearest(double x) {
    const double whole = nearest_integer(x);
    return whole < 0x1p62 ? static_cast<int64_t>(whole) : int64_t{1} << 62;
}

int64_t scaled(double scale) { return std::max<int64_t>(1, nearest(scale * 65536)); }

uint64_t isqrt(Wide n) {
    if (n == 0) return 0;
    Wide x = Wide{1} << 64;  // above every root of a product of two steps: Newton's steps fall to its floor
    for (;;) {
        const Wide next = (x + n / x) / 2;
        if (next >= x) return static_cast<uint64_t>(x);
        x = next;
    }
}

struct Tried {
    int64_t step;
    double figure;
};

// The step whose measure is `aim` on the power of the step through two
// steps tried (its exponent kept within 1/4 and 4).
int64_t power_through(Tried one, Tried other, double aim) {
    const auto [s0, f0] = one;
    const auto [s1, f1] = other;
    if (s0 == s1 || f0 <= 0 || f1 <= 0) return f1 > 0 ? nearest(static_cast<double>(s1) * aim / f1) : s1 * 2;
    const double power = std::min(4.0, std::max(0.25, std::log(f1 / f0) /
                                                    std::log(static_cast<double>(s1) / static_cast<double>(s0))));
    return std::max<int64_t>(1, nearest(static_cast<double>(s1) * std::pow(aim / f1, 1 / power)));
}

class Search {
public:
    Search(std::span<const double> values, size_t rows, size_t cols, unsigned levels, double grid, bool as_float32,
           bool largest_error)
        : values_(values), rows_(rows), cols_(cols), levels_(levels), grid_(grid), as_float32_(as_float32),
          largest_error_(largest_error), norms_(levels), places_(wavelet_subbands(rows, cols, levels)),
          coefficients_(values.size()), room_(values.size()) {
        for (size_t i = 0; i < values.size(); ++i) coefficients_[i] = static_cast<int64_t>(nearest_integer(values[i] / grid));
        cdf97_forward(coefficients_.span(), rows, cols, levels);
        take_sample();
    }

    // Quantises and restores at `step`, into `quotients` and `errors`; the
    // errors' measure.
    double measured_at(int64_t step, std::span<int64_t> quotients, std::span<double> errors) {
        const std::vector<WaveletSubband> table = subbands_at(step);
        quantise_subbands(coefficients_.span(), rows_, cols_, table, quotients);
        restored_errors(quotients, rows_, cols_, levels_, table, grid_, as_float32_, values_, errors, room_.span());
        if (largest_error_) {
            double largest = 0;
            for (double e : errors) largest = e > largest ? e : largest;
            return largest;
        }
        const ErrorFigures figures = error_figures(errors);
        if (figures.largest == 0 || !std::isfinite(figures.largest)) return figures.largest;
        return figures.largest * std::sqrt(figures.squares / static_cast<double>(errors.size()));
    }

    // The values' RMSE that rounding the coefficients at `step` costs, from the sample.
    double estimate(int64_t step) const {
        std::vector<double> multipliers;
        for (const WaveletSubband& place : subbands_at(step)) multipliers.push_back(static_cast<double>(place.multiplier));
        const double squared = estimated_squared_error(sample_, counts_, multipliers, weights_);
        return std::sqrt(squared / static_cast<double>(values_.size())) * grid_;
    }

private:
    std::vector<WaveletSubband> subbands_at(int64_t step) const {
        std::vector<WaveletPlace> places = places_;
        norms_.set_multipliers(places, static_cast<uint64_t>(step));
        std::vector<WaveletSubband> table;
        for (const WaveletPlace& place : places) table.push_back(place.place);
        return table;
    }

    // Every k-th row of each subband, and each part's weight: its subband's
    // norm squared times the coefficients each sampled one stands for.
    void take_sample() {
        const size_t stride = std::max<size_t>(1, (values_.size() + ESTIMATE_VALUES - 1) / ESTIMATE_VALUES);
        for (const WaveletPlace& place : places_) {
            const auto& [top, bottom, left, right, multiplier] = place.place;
            const size_t before = sample_.size();
            for (size_t i = top; i < bottom; i += stride) {
                for (size_t j = left; j < right; ++j) sample_.push_back(static_cast<double>(coefficients_[i * cols_ + j]));
            }
            const size_t taken = sample_.size() - before, size = (bottom - top) * (right - left);
            const double norm = norms_.norm(place);
            counts_.push_back(static_cast<int64_t>(taken));
            weights_.push_back(norm * norm * static_cast<double>(size) / static_cast<double>(std::max<size_t>(taken, 1)));
        }
    }

    std::span<const double> values_;
    size_t rows_, cols_;
    unsigned levels_;
    double grid_;
    bool as_float32_, largest_error_;
    WaveletNorms norms_;
    std::vector<WaveletPlace> places_;
    LargeArray<int64_t> coefficients_, room_;  // the lifted values; the restore's working room
    std::vector<double> sample_, weights_;
    std::vector<int64_t> counts_;
};

// The two pairs of quotients and errors: the coarsest step that held keeps
// one; the other takes each step tried.
class Pairs {
public:
    Pairs(std::span<int64_t> quotients, std::span<double> errors, size_t size) : quotients_(quotients), errors_(errors), size_(size) {}

    std::span<int64_t> tried_quotients() const { return quotients_.subspan(tried_ * size_, size_); }
    std::span<double> tried_errors() const { return errors_.subspan(tried_ * size_, size_); }
    void keep_tried() { tried_ ^= 1; }
    unsigned tried() const { return tried_; }
    unsigned kept() const { return tried_ ^ 1; }

private:
    std::span<int64_t> quotients_;
    std::span<double> errors_;
    size_t size_;
    unsigned tried_ = 1;
};

}  // namespace

std::optional<WaveletStep> search_wavelet_step(std::span<const double> values, size_t rows, size_t cols,
                                               bool as_float32, bool largest_error, double bound,
                                               std::span<int64_t> quotients, std::span<double> errors) {
    const size_t size = rows * cols;
    if (values.size() != size || quotients.size() != 2 * size || errors.size() != 2 * size) {
        throw std::invalid_argument("the wavelet's search takes buffers of the band's size");
    }
    const unsigned levels = wavelet_levels(rows, cols);
    const double grid = bound / FINE_GRID;
    double largest = 0;
    for (double value : values) largest = std::fabs(value) <= largest ? largest : std::fabs(value);  // NaN stays
    if (levels == 0 || !(grid > 0) || !(largest / grid < LARGEST_VALUE)) return std::nullopt;

    Search search(values, rows, cols, levels, grid, as_float32, largest_error);
    Pairs pairs(quotients, errors, size);
    auto measured_at = [&](int64_t step) {
        return search.measured_at(step, pairs.tried_quotients(), pairs.tried_errors());
    };
    const double low = largest_error ? FINE_GRID : 0.5 * std::sqrt(12.0) * FINE_GRID;
    const double high = largest_error ? 128 * FINE_GRID : 256 * std::sqrt(12.0) * FINE_GRID;
    // The coarsest step whose estimate, times `calibration`, keeps the bound,
    // by bisection to within 0.6% of the step, about the measured search's
    // own tolerance.
    auto largest_estimated = [&](double calibration) {
        double bottom = low, top = high;
        for (int i = 0; i < ESTIMATE_HALVINGS; ++i) {
            const double scale = std::sqrt(bottom * top);
            if (search.estimate(scaled(scale)) * calibration <= bound) bottom = scale;
            else top = scale;
        }
        return scaled(bottom);
    };

    const double aim = 0.998 * bound;  // a prediction aims a little inside the bound
    int64_t step = largest_error ? scaled(std::sqrt(low * high)) : largest_estimated(1.0);
    std::optional<Tried> best, failed;  // the coarsest that held, the finest that failed
    std::vector<Tried> tried;
    for (int trial = 0; trial < MOST_TRIALS; ++trial) {
        const double figure = measured_at(step);
        tried.push_back({step, figure});
        if (figure <= bound) {
            if (!best || step > best->step) {
                best = Tried{step, figure};
                pairs.keep_tried();
            }
        } else if (!failed || step < failed->step) {
            failed = Tried{step, figure};
        }
        if (best && (best->figure >= 0.995 * bound ||
                     (failed && static_cast<double>(failed->step) <= static_cast<double>(best->step) * 1.01))) {
            break;
        }
        int64_t following;
        if (figure == 0) {
            following = step * 2;
        } else if (best && failed) {
            following = power_through(*best, *failed, aim);
        } else if (tried.size() > 1) {
            following = power_through(tried[tried.size() - 2], tried.back(), aim);
        } else if (!largest_error) {
            const double estimated = search.estimate(step);
            following = estimated > 0 ? largest_estimated(figure / estimated) : step * 9 / 10;
        } else {
            following = nearest(static_cast<double>(step) * aim / figure);
        }
        const int64_t bottom = best ? best->step : 0, top = failed ? failed->step : scaled(high) * 4;
        if (!(bottom < following && following < top)) {  // a prediction outside what is known: halfway, or by a tenth
            following = best && failed ? static_cast<int64_t>(isqrt(Wide(bottom) * Wide(top)))
                                       : !best ? top * 9 / 10 : bottom * 11 / 10;
        }
        if (!(bottom < following && following < top)) break;
        step = following;
    }
    if (best) {
        for (const int64_t coarser : {best->step * 51 / 50, best->step * 101 / 100}) {
            if ((!failed || failed->step > coarser) && measured_at(coarser) <= bound) {
                return WaveletStep{levels, static_cast<uint64_t>(coarser), grid, pairs.tried()};
            }
        }
        return WaveletStep{levels, static_cast<uint64_t>(best->step), grid, pairs.kept()};
    }
    step = failed ? failed->step : step;
    for (int i = 0; i < 8; ++i) {
        step = std::max<int64_t>(1, step * 9 / 10);
        if (measured_at(step) <= bound) break;
    }
    return WaveletStep{levels, static_cast<uint64_t>(step), grid, pairs.tried()};
}

}  // namespace zelk
