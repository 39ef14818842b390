#include "metrics/metrics.hpp"

#include <cmath>
#include <cstddef>
#include <optional>
#include <string>

#include "errors/checks.hpp"
#include "errors/format.hpp"

namespace vardex::metrics {
namespace {

// A variance or mean below this (absolute) counts as zero; a slightly negative
// variance from cancellation in the one-pass formula counts as zero too.
constexpr double zero_threshold = 1e-10;

// The first non-finite element decides between the NaN and the infinity kind.
std::optional<MetricsError> scan_input(std::span<const double> xs, const char* name) {
    for (std::size_t i = 0; i < xs.size(); ++i) {
        const double v = xs[i];
        if (is_finite(v)) continue;
        if (std::isnan(v)) return NaNInInput{name, i};
        return InfinityInInput{name, i};
    }
    return std::nullopt;
}

// Shared by the three scores: lengths, emptiness, then observations fully
// scanned before simulations.
std::expected<void, MetricsError> check_inputs(std::span<const double> o, std::span<const double> s) {
    if (o.size() != s.size()) return std::unexpected(MetricsLengthMismatch{o.size(), s.size()});
    if (o.empty()) return std::unexpected(EmptyArrays{});
    if (auto e = scan_input(o, "observations")) return std::unexpected(*e);
    if (auto e = scan_input(s, "simulations")) return std::unexpected(*e);
    return {};
}

}  // namespace

std::expected<double, MetricsError> rmse(std::span<const double> observations, std::span<const double> simulations) {
    if (auto ok = check_inputs(observations, simulations); !ok) return std::unexpected(ok.error());
    const double n = static_cast<double>(observations.size());

    double q = 0.0;
    for (std::size_t i = 0; i < observations.size(); ++i) {
        const double d = observations[i] - simulations[i];
        q = q + d * d;
    }
    const double result = std::sqrt(q / n);
    if (!is_finite(result)) return std::unexpected(NumericalError{"RMSE calculation", "result is " + format_f64(result)});
    return result;
}

std::expected<double, MetricsError> nse(std::span<const double> observations, std::span<const double> simulations) {
    if (auto ok = check_inputs(observations, simulations); !ok) return std::unexpected(ok.error());
    const std::size_t len = observations.size();
    const double n = static_cast<double>(len);

    double sum_o = 0.0;
    for (std::size_t i = 0; i < len; ++i) sum_o = sum_o + observations[i];
    const double mean_o = sum_o / n;

    double num = 0.0;
    double den = 0.0;
    for (std::size_t i = 0; i < len; ++i) {
        const double err = observations[i] - simulations[i];
        const double dev = observations[i] - mean_o;
        num = num + err * err;
        den = den + dev * dev;
    }
    if (den < zero_threshold) return std::unexpected(ZeroVarianceNSE{});

    const double result = 1.0 - num / den;
    if (!is_finite(result)) {
        return std::unexpected(NumericalError{"NSE calculation", "numerator=" + format_f64(num) +
                                                                     ", denominator=" + format_f64(den) +
                                                                     ", result=" + format_f64(result)});
    }
    return result;
}

std::expected<double, MetricsError> kge(std::span<const double> observations, std::span<const double> simulations) {
    if (auto ok = check_inputs(observations, simulations); !ok) return std::unexpected(ok.error());
    const std::size_t len = observations.size();
    const double n = static_cast<double>(len);

    double sum_o = 0.0, sum_oo = 0.0, sum_s = 0.0, sum_ss = 0.0, sum_os = 0.0;
    for (std::size_t i = 0; i < len; ++i) {
        const double o = observations[i];
        const double s = simulations[i];
        sum_o = sum_o + o;
        sum_oo = sum_oo + o * o;
        sum_s = sum_s + s;
        sum_ss = sum_ss + s * s;
        sum_os = sum_os + o * s;
    }

    const double mean_o = sum_o / n;
    const double var_o = sum_oo / n - mean_o * mean_o;
    if (var_o < zero_threshold) return std::unexpected(ZeroVarianceKGE{"observations"});

    const double mean_s = sum_s / n;
    const double var_s = sum_ss / n - mean_s * mean_s;
    if (var_s < zero_threshold) return std::unexpected(ZeroVarianceKGE{"simulations"});

    const double r = (sum_os / n - mean_o * mean_s) / (std::sqrt(var_o) * std::sqrt(var_s));
    const double alpha = std::sqrt(var_s) / std::sqrt(var_o);
    // Checked only after both variances, so constant series report the variance.
    if (std::fabs(mean_o) < zero_threshold) return std::unexpected(ZeroMeanKGE{});
    const double beta = mean_s / mean_o;

    const double da = alpha - 1.0;
    const double dr = r - 1.0;
    const double db = beta - 1.0;
    const double result = 1.0 - std::sqrt((da * da + dr * dr) + db * db);
    if (!is_finite(result)) {
        return std::unexpected(NumericalError{"KGE calculation", "r=" + format_f64(r) + ", alpha=" +
                                                                     format_f64(alpha) + ", beta=" +
                                                                     format_f64(beta) + ", result=" +
                                                                     format_f64(result)});
    }
    return result;
}

}  // namespace vardex::metrics
