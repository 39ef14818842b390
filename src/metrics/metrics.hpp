// Goodness-of-fit scores between an observed and a simulated series.
#pragma once

#include <expected>
#include <optional>
#include <span>

#include "errors/errors.hpp"

namespace vardex::metrics {

std::expected<double, MetricsError> rmse(std::span<const double> observations, std::span<const double> simulations);
std::expected<double, MetricsError> nse(std::span<const double> observations, std::span<const double> simulations);
std::expected<double, MetricsError> kge(std::span<const double> observations, std::span<const double> simulations);

// The value check the scores apply to each series: the first NaN or infinity, if any.
std::optional<MetricsError> scan_values(std::span<const double> xs, const char* name);

// The same scores for callers that have checked the inputs themselves: equally long, non-empty, finite.
// Only the degenerate kinds (zero variance or mean, non-finite result) come back.
namespace unchecked {
std::expected<double, MetricsError> rmse(std::span<const double> observations, std::span<const double> simulations);
std::expected<double, MetricsError> nse(std::span<const double> observations, std::span<const double> simulations);
std::expected<double, MetricsError> kge(std::span<const double> observations, std::span<const double> simulations);
}  // namespace unchecked

}  // namespace vardex::metrics
