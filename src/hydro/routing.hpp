// The two-ordinate delay and the routing buffer most models put their daily runoff through.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "hydro/model.hpp"

namespace vardex::hydro {

// One day of routing through a buffer with ordinates w (same length): every pending value moves
// one day closer to the outlet and the day's runoff q is spread over the ordinates. Returns the
// head, the day's outflow, clamped at 0 with a NaN giving 0.
inline double route(std::span<double> b, std::span<const double> w, double q) {
    const std::size_t last = b.size() - 1;
    for (std::size_t i = 0; i < last; ++i) b[i] = w[i] * q + b[i + 1];
    b[last] = w[last] * q;
    return max_nan(b[0], 0.0);
}

class DelayRouting {
public:
    // k = ceil(d) and k + 1 ordinates, all zero but w[k - 1] = v and w[k] = 1 - v with
    // v = 1 / ((d - (k + 1)) + 3): the split jumps at whole numbers of d.
    explicit DelayRouting(double d) {
        const auto k = static_cast<std::size_t>(std::ceil(d));
        w_.assign(k + 1, 0.0);
        b_.assign(k + 1, 0.0);
        const double v = 1.0 / ((d - static_cast<double>(k + 1)) + 3.0);
        w_[k - 1] = v;
        w_[k] = 1.0 - v;
    }

    // Spreads the day's runoff over the buffer; returns the head, clamped at 0 (NaN gives 0).
    double route(double q) { return hydro::route(b_, w_, q); }

    // Runoff routed on earlier days that has not reached the outlet yet.
    double pending() const { return hydro::pending(b_); }

    const std::vector<double>& ordinates() const { return w_; }

private:
    std::vector<double> w_, b_;
};

}  // namespace vardex::hydro
