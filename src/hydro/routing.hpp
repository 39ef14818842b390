// The two-ordinate delay and the routing buffer most models put their daily runoff through.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "hydro/model.hpp"

namespace vardex::hydro {

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
    double route(double q) {
        const std::size_t last = b_.size() - 1;
        for (std::size_t i = 0; i < last; ++i) b_[i] = w_[i] * q + b_[i + 1];
        b_[last] = w_[last] * q;
        return max_nan(b_[0], 0.0);
    }

    // Runoff routed on earlier days that has not reached the outlet yet.
    double pending() const { return hydro::pending(b_); }

    const std::vector<double>& ordinates() const { return w_; }

private:
    std::vector<double> w_, b_;
};

}  // namespace vardex::hydro
