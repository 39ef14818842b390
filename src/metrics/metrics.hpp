// Goodness-of-fit scores between an observed and a simulated series.
#pragma once

#include <algorithm>
#include <cmath>
#include <expected>
#include <optional>
#include <span>

#include "errors/errors.hpp"

namespace vardex::metrics {

// How flows are transformed before they are scored: log(max(q, 1e-5)), sqrt(q) or as they are.
enum class Transformation { Log, Sqrt, NoTransform };

inline double transform(Transformation t, double v) {
    switch (t) {
        case Transformation::Log: return std::log(std::max(v, 1e-5));
        case Transformation::Sqrt: return std::sqrt(v);
        case Transformation::NoTransform: break;
    }
    return v;
}

// A variance or mean below this (absolute) counts as zero; a slightly negative variance from
// cancellation in the one-pass formula counts as zero too.
inline constexpr double zero_threshold = 1e-10;

// RMSE and NSE from the sum of squared errors (and, for NSE, the observations' squared deviations from
// their mean, at least zero_threshold). Both are monotone in the sum, so a partial sum bounds the score.
inline double rmse_value(double n, double squared_errors) { return std::sqrt(squared_errors / n); }
inline double nse_value(double squared_errors, double squared_deviations) {
    return 1.0 - squared_errors / squared_deviations;
}

// Whether a score is worse than a reference: higher for an error (lower_is_better), lower for an efficiency. A
// NaN on either side is never worse, nor is a tie.
inline bool is_worse(bool lower_is_better, double candidate, double reference) {
    return lower_is_better ? candidate > reference : candidate < reference;
}

std::expected<double, MetricsError> rmse(std::span<const double> observations, std::span<const double> simulations);
std::expected<double, MetricsError> nse(std::span<const double> observations, std::span<const double> simulations);
std::expected<double, MetricsError> kge(std::span<const double> observations, std::span<const double> simulations);

// The value check the scores apply to each series: the first NaN or infinity, if any.
std::optional<MetricsError> scan_values(std::span<const double> xs, const char* name);

// What the scores need of the observations alone, each sum in index order as the scores form it; worked
// out once when many simulations are scored against the same observations.
struct ObservationSums {
    double sum_o = 0.0;
    double sum_oo = 0.0;              // of the squares
    double squared_deviations = 0.0;  // from the mean sum_o / n
};
ObservationSums observation_sums(std::span<const double> observations);

struct Scores {
    std::expected<double, MetricsError> rmse, nse, kge;
};

// The three scores for callers that have checked the inputs themselves (equally long, non-empty, finite), in
// one pass over both series, bit for bit as above; sums are observation_sums(observations). Only the
// degenerate kinds (zero variance or mean, non-finite result) come back.
namespace unchecked {
Scores scores(std::span<const double> observations, std::span<const double> simulations,
              const ObservationSums& sums);
}  // namespace unchecked

}  // namespace vardex::metrics
