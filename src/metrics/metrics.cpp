#include "metrics/metrics.hpp"

#include <cmath>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include "errors/checks.hpp"
#include "errors/format.hpp"

namespace vardex::metrics {
namespace {

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

// Shared by the three scores: lengths, then emptiness. The values are checked after each score's first
// pass: a non-finite input leaves a non-finite running sum behind it (inf and NaN never turn finite again
// under +, - and *), so only then are the series scanned for the error, which may also find nothing (finite
// values whose sums overflowed).
std::optional<MetricsError> check_shape(std::span<const double> o, std::span<const double> s) {
    if (o.size() != s.size()) return MetricsLengthMismatch{o.size(), s.size()};
    if (o.empty()) return EmptyArrays{};
    return std::nullopt;
}

// Observations fully scanned before simulations.
std::optional<MetricsError> input_error(std::span<const double> o, std::span<const double> s) {
    if (auto e = scan_input(o, "observations")) return e;
    return scan_input(s, "simulations");
}

// The running sums, each in index order, in functions of their own: a sum that stays live across the
// calls of the error paths would otherwise be kept in memory inside the loop, lengthening its chain.
[[gnu::noinline]] double squared_errors(const double* o, const double* s, std::size_t len) {
    double q = 0.0;
    for (std::size_t i = 0; i < len; ++i) {
        const double d = o[i] - s[i];
        q = q + d * d;
    }
    return q;
}

struct SumAndErrors {
    double sum_o, num;
};

// The squared errors need no mean, so they run beside the sum of the observations.
// Not SLP-vectorised: packed into one register pair, the two sums went through the stack every iteration.
[[gnu::noinline, gnu::optimize("no-tree-slp-vectorize")]] SumAndErrors sum_and_squared_errors(const double* o, const double* s, std::size_t len) {
    double sum_o = 0.0;
    double num = 0.0;
    for (std::size_t i = 0; i < len; ++i) {
        sum_o = sum_o + o[i];
        const double err = o[i] - s[i];
        num = num + err * err;
    }
    return {sum_o, num};
}

[[gnu::noinline]] double squared_deviations(const double* o, std::size_t len, double mean_o) {
    double den = 0.0;
    for (std::size_t i = 0; i < len; ++i) {
        const double dev = o[i] - mean_o;
        den = den + dev * dev;
    }
    return den;
}

struct Moments {
    double sum_o, sum_oo, sum_s, sum_ss, sum_os;
};

[[gnu::noinline]] Moments moments(const double* obs, const double* sim, std::size_t len) {
    double sum_o = 0.0, sum_oo = 0.0, sum_s = 0.0, sum_ss = 0.0, sum_os = 0.0;
    for (std::size_t i = 0; i < len; ++i) {
        const double o = obs[i];
        const double s = sim[i];
        sum_o = sum_o + o;
        sum_oo = sum_oo + o * o;
        sum_s = sum_s + s;
        sum_ss = sum_ss + s * s;
        sum_os = sum_os + o * s;
    }
    return {sum_o, sum_oo, sum_s, sum_ss, sum_os};
}

// The sums of the three scores that involve the simulation, in one pass, each in index order. The squared
// errors are RMSE's and NSE's numerator alike.
struct SimulationSums {
    double q, sum_s, sum_ss, sum_os;
};

[[gnu::noinline]] SimulationSums simulation_sums(const double* obs, const double* sim, std::size_t len) {
    double q = 0.0, sum_s = 0.0, sum_ss = 0.0, sum_os = 0.0;
    for (std::size_t i = 0; i < len; ++i) {
        const double o = obs[i];
        const double s = sim[i];
        const double d = o - s;
        q = q + d * d;
        sum_s = sum_s + s;
        sum_ss = sum_ss + s * s;
        sum_os = sum_os + o * s;
    }
    return {q, sum_s, sum_ss, sum_os};
}

// From the sums to the scores; the single scores and the fused pass share them.
std::expected<double, MetricsError> rmse_from(double n, double q) {
    const double result = rmse_value(n, q);
    if (!is_finite(result)) return std::unexpected(NumericalError{"RMSE calculation", "result is " + format_f64(result)});
    return result;
}

std::expected<double, MetricsError> nse_from(double num, double den) {
    if (den < zero_threshold) return std::unexpected(ZeroVarianceNSE{});
    const double result = nse_value(num, den);
    if (!is_finite(result)) {
        return std::unexpected(NumericalError{"NSE calculation", "numerator=" + format_f64(num) +
                                                                     ", denominator=" + format_f64(den) +
                                                                     ", result=" + format_f64(result)});
    }
    return result;
}

std::expected<double, MetricsError> kge_from(double n, const Moments& m) {
    const double mean_o = m.sum_o / n;
    const double var_o = m.sum_oo / n - mean_o * mean_o;
    if (var_o < zero_threshold) return std::unexpected(ZeroVarianceKGE{"observations"});

    const double mean_s = m.sum_s / n;
    const double var_s = m.sum_ss / n - mean_s * mean_s;
    if (var_s < zero_threshold) return std::unexpected(ZeroVarianceKGE{"simulations"});

    const double r = (m.sum_os / n - mean_o * mean_s) / (std::sqrt(var_o) * std::sqrt(var_s));
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

// The scores over equally long, non-empty series. A non-finite sum of the first pass sends the series to
// the input scan, whose error comes before any result.
std::expected<double, MetricsError> rmse_of(std::span<const double> observations,
                                            std::span<const double> simulations) {
    const std::size_t len = observations.size();
    const double n = static_cast<double>(len);
    const double* o = observations.data();
    const double* s = simulations.data();

    const double q = squared_errors(o, s, len);
    if (!is_finite(q))
        if (auto e = input_error(observations, simulations)) return std::unexpected(*e);
    return rmse_from(n, q);
}

std::expected<double, MetricsError> nse_of(std::span<const double> observations,
                                           std::span<const double> simulations) {
    const std::size_t len = observations.size();
    const double n = static_cast<double>(len);
    const double* o = observations.data();
    const double* s = simulations.data();

    const auto [sum_o, num] = sum_and_squared_errors(o, s, len);
    if (!(is_finite(sum_o) && is_finite(num)))
        if (auto e = input_error(observations, simulations)) return std::unexpected(*e);
    const double mean_o = sum_o / n;
    return nse_from(num, squared_deviations(o, len, mean_o));
}

std::expected<double, MetricsError> kge_of(std::span<const double> observations,
                                           std::span<const double> simulations) {
    const std::size_t len = observations.size();
    const double n = static_cast<double>(len);
    const double* obs = observations.data();
    const double* sim = simulations.data();

    const Moments m = moments(obs, sim, len);
    if (!(is_finite(m.sum_o) && is_finite(m.sum_s)))
        if (auto e = input_error(observations, simulations)) return std::unexpected(*e);
    return kge_from(n, m);
}

}  // namespace

std::expected<double, MetricsError> rmse(std::span<const double> observations, std::span<const double> simulations) {
    if (auto e = check_shape(observations, simulations)) return std::unexpected(*e);
    return rmse_of(observations, simulations);
}

std::expected<double, MetricsError> nse(std::span<const double> observations, std::span<const double> simulations) {
    if (auto e = check_shape(observations, simulations)) return std::unexpected(*e);
    return nse_of(observations, simulations);
}

std::expected<double, MetricsError> kge(std::span<const double> observations, std::span<const double> simulations) {
    if (auto e = check_shape(observations, simulations)) return std::unexpected(*e);
    return kge_of(observations, simulations);
}

ObservationSums observation_sums(std::span<const double> observations) {
    const std::size_t len = observations.size();
    const double* o = observations.data();
    double sum_o = 0.0, sum_oo = 0.0;
    for (std::size_t i = 0; i < len; ++i) {
        sum_o = sum_o + o[i];
        sum_oo = sum_oo + o[i] * o[i];
    }
    const double mean_o = sum_o / static_cast<double>(len);
    return {sum_o, sum_oo, squared_deviations(o, len, mean_o)};
}

std::optional<MetricsError> scan_values(std::span<const double> xs, const char* name) { return scan_input(xs, name); }

namespace unchecked {

Scores scores(std::span<const double> observations, std::span<const double> simulations,
              const ObservationSums& sums) {
    const double n = static_cast<double>(observations.size());
    const SimulationSums f = simulation_sums(observations.data(), simulations.data(), observations.size());
    return {rmse_from(n, f.q), nse_from(f.q, sums.squared_deviations),
            kge_from(n, Moments{sums.sum_o, sums.sum_oo, f.sum_s, f.sum_ss, f.sum_os})};
}

}  // namespace unchecked

}  // namespace vardex::metrics
