#include "calibration/problem.hpp"

#include <cstring>

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

#include "errors/checks.hpp"
#include "hydro/registry.hpp"
#include "metrics/metrics.hpp"
#include "snow/cemaneige.hpp"

namespace vardex::calibration {
namespace {

// Bounds of the snow block (ctg, kf, qnbv) as the calibration searches them.
constexpr double snow_lower[3] = {0.0, 0.0, 0.0};
constexpr double snow_upper[3] = {1.0, 20.0, 2000.0};

// Lower-cases an option text as full Unicode lower-casing would, as far as matching
// against the ASCII option names can tell: ASCII A-Z become a-z, and U+212A KELVIN
// SIGN becomes 'k' (the only non-ASCII code point whose lower case is one of the ASCII
// letters of the names; U+0130 becomes "i" + U+0307, which matches nothing). Any other
// non-ASCII code point, and any malformed byte, becomes 0xFF, which no name contains.
std::string fold_option(std::string_view text) {
    constexpr char no_match = '\xff';
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            out.push_back(b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : static_cast<char>(b));
            ++i;
            continue;
        }
        std::size_t len = 0;
        char32_t cp = 0;
        if ((b & 0xE0) == 0xC0) { len = 2; cp = b & 0x1F; }
        else if ((b & 0xF0) == 0xE0) { len = 3; cp = b & 0x0F; }
        else if ((b & 0xF8) == 0xF0) { len = 4; cp = b & 0x07; }
        bool valid = len != 0 && i + len <= text.size();
        for (std::size_t k = 1; valid && k < len; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) valid = false;
            else cp = (cp << 6) | (c & 0x3F);
        }
        if (!valid) {
            out.push_back(no_match);
            ++i;
            continue;
        }
        out.push_back(cp == U'\u212A' ? 'k' : no_match);
        i += len;
    }
    return out;
}

// Key whose integer order is the IEEE total order of the doubles.
std::int64_t total_order_key(double v) {
    const auto bits = std::bit_cast<std::int64_t>(v);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

// The window of a series from index w on; empty when the series is not longer than w.
std::span<const double> window(std::span<const double> xs, std::uint64_t w) {
    return w >= xs.size() ? std::span<const double>{} : xs.subspan(static_cast<std::size_t>(w));
}

bool any_non_finite(std::span<const double> xs) {
    return std::any_of(xs.begin(), xs.end(), [](double v) { return !is_finite(v); });
}

// The metric kinds that report a degenerate score rather than bad input.
bool is_degenerate(const MetricsError& e) {
    return std::holds_alternative<ZeroVarianceNSE>(e) || std::holds_alternative<ZeroVarianceKGE>(e) ||
           std::holds_alternative<ZeroMeanKGE>(e) || std::holds_alternative<NumericalError>(e);
}

// The score, or `fallback` when the metric is degenerate; input errors stay errors.
std::expected<double, MetricsError> value_or_degenerate(std::expected<double, MetricsError> result,
                                                        double fallback) {
    if (result || !is_degenerate(result.error())) return result;
    return fallback;
}

CalibrationError invariant_violation(const char* text) {
    return MetricsFailure{NumericalError{"calibration scoring", text}};
}

}  // namespace

std::expected<Objective, std::string> parse_objective(std::string_view text) {
    const std::string folded = fold_option(text);
    if (folded == "rmse") return Objective::Rmse;
    if (folded == "nse") return Objective::Nse;
    if (folded == "kge") return Objective::Kge;
    return std::unexpected("Unknown objective function '" + std::string(text) + "'. Valid options: nse, kge, rmse");
}

std::expected<Transformation, std::string> parse_transformation(std::string_view text) {
    const std::string folded = fold_option(text);
    if (folded == "log") return Transformation::Log;
    if (folded == "sqrt") return Transformation::Sqrt;
    if (folded == "none") return Transformation::NoTransform;
    return std::unexpected("Unknown transformation function '" + std::string(text) +
                           "'. Valid options: log, sqrt, none");
}

std::expected<CalibrationProblem, CalibrationError> build_problem(std::string_view hydro_model,
                                                                  std::optional<std::string_view> snow_model) {
    if (snow_model && *snow_model != "cemaneige")
        return std::unexpected(SnowFailure{SnowWrongModel{std::string(*snow_model)}});
    const hydro::ModelSpec* model = hydro::find_model(hydro_model);
    if (model == nullptr) return std::unexpected(HydroFailure{HydroWrongModel{std::string(hydro_model)}});

    CalibrationProblem problem;
    problem.hydro = model;
    if (snow_model) {
        problem.snow = true;
        problem.snow_param_count = 3;
        problem.lower.assign(std::begin(snow_lower), std::end(snow_lower));
        problem.upper.assign(std::begin(snow_upper), std::end(snow_upper));
    }
    for (const ParamSpec& p : model->params) {
        problem.lower.push_back(p.lower);
        problem.upper.push_back(p.upper);
    }
    return problem;
}

bool has_observations(std::span<const double> observations, std::uint64_t warmup_steps) {
    const auto w = window(observations, warmup_steps);
    return std::any_of(w.begin(), w.end(), [](double v) { return is_finite(v); });
}

std::expected<std::vector<double>, CalibrationError> simulate_candidate(const CalibrationProblem& problem,
                                                                        std::span<const double> params,
                                                                        const Forcing& forcing) {
    const std::uint64_t l = forcing.precipitation.size();
    const std::uint64_t t = forcing.temperature ? forcing.temperature->size() : l;
    const std::uint64_t d = forcing.day_of_year ? forcing.day_of_year->size() : l;
    const std::uint64_t p = forcing.pet.size();
    if (t != l || p != l || d != l) return std::unexpected(CalibLengthMismatch{l, t, p, d});

    if (!problem.snow) {
        auto q = hydro::simulate(*problem.hydro, params, forcing.precipitation, forcing.pet);
        if (!q) return std::unexpected(HydroFailure{std::move(q.error())});
        return std::move(*q);
    }

    if (!forcing.temperature || !forcing.day_of_year || !forcing.elevation_bands || !forcing.median_elevation)
        return std::unexpected(MissingSnowParams{});
    const std::size_t k = std::min(problem.snow_param_count, params.size());
    auto liquid = snow::cemaneige(params.first(k), forcing.precipitation, *forcing.temperature,
                                  *forcing.day_of_year, *forcing.elevation_bands, *forcing.median_elevation);
    if (!liquid) return std::unexpected(SnowFailure{std::move(liquid.error())});
    auto q = hydro::simulate(*problem.hydro, params.subspan(k), *liquid, forcing.pet);
    if (!q) return std::unexpected(HydroFailure{std::move(q.error())});
    return std::move(*q);
}

std::expected<Triple, CalibrationError> score(std::span<const double> observations,
                                              std::span<const double> simulation, Transformation transformation,
                                              std::uint64_t warmup_steps) {
    const auto obs_w = window(observations, warmup_steps);
    const auto sim_w = window(simulation, warmup_steps);
    if (any_non_finite(sim_w)) return worst_triple;
    if (obs_w.size() != sim_w.size())
        return std::unexpected(MetricsFailure{MetricsLengthMismatch{obs_w.size(), sim_w.size()}});

    std::vector<double> obs;
    std::vector<double> sim;
    for (std::size_t i = 0; i < obs_w.size(); ++i) {
        if (!is_finite(obs_w[i])) continue;
        obs.push_back(metrics::transform(transformation, obs_w[i]));
        sim.push_back(metrics::transform(transformation, sim_w[i]));
    }
    if (any_non_finite(sim)) return worst_triple;

    constexpr double inf = std::numeric_limits<double>::infinity();
    const auto rmse = value_or_degenerate(metrics::rmse(obs, sim), inf);
    if (!rmse) return std::unexpected(MetricsFailure{rmse.error()});
    // RMSE has validated the inputs, so only degenerate kinds can come back from here on.
    const auto nse = value_or_degenerate(metrics::nse(obs, sim), -inf);
    if (!nse)
        return std::unexpected(
            invariant_violation("NSE cannot return a non-degenerate error once RMSE has validated inputs"));
    const auto kge = value_or_degenerate(metrics::kge(obs, sim), -inf);
    if (!kge)
        return std::unexpected(
            invariant_violation("KGE cannot return a non-degenerate error once RMSE has validated inputs"));
    return Triple{*rmse, *nse, *kge};
}

std::expected<Evaluation, CalibrationError> evaluate(const CalibrationProblem& problem,
                                                     std::span<const double> params, const Forcing& forcing,
                                                     Transformation transformation) {
    auto sim = simulate_candidate(problem, params, forcing);
    if (!sim) return std::unexpected(std::move(sim.error()));
    auto triple = score(forcing.observations, *sim, transformation, forcing.warmup_steps);
    if (!triple) return std::unexpected(std::move(triple.error()));
    return Evaluation{std::move(*sim), *triple};
}

void prepare(const CalibrationProblem& problem, const Forcing& forcing, Transformation transformation,
             PreparedForcing& out) {
    out.forcing = &forcing;
    ++out.generation;
    out.transformation = transformation;
    out.forcing_error.reset();
    out.hydro_series_error.reset();
    out.snow_series_error.reset();
    out.pet_non_finite.reset();
    out.pet_negative.reset();
    out.length_error.reset();
    out.observation_error.reset();
    out.observation_sums = {};
    out.kept.clear();
    out.observations.clear();

    // As simulate_candidate orders them.
    const std::uint64_t l = forcing.precipitation.size();
    const std::uint64_t t = forcing.temperature ? forcing.temperature->size() : l;
    const std::uint64_t d = forcing.day_of_year ? forcing.day_of_year->size() : l;
    const std::uint64_t p = forcing.pet.size();
    if (t != l || p != l || d != l) {
        out.forcing_error = CalibLengthMismatch{l, t, p, d};
        return;
    }
    if (!problem.snow) {
        out.hydro_series_error = hydro::check_series(forcing.precipitation, forcing.pet);
    } else {
        if (!forcing.temperature || !forcing.day_of_year || !forcing.elevation_bands || !forcing.median_elevation) {
            out.forcing_error = MissingSnowParams{};
            return;
        }
        if (auto e = scan_non_finite(forcing.pet, "pet")) out.pet_non_finite = *e;
        if (auto e = scan_negative(forcing.pet, "pet")) out.pet_negative = *e;
        out.snow_series_error = snow::cemaneige_check_series(forcing.precipitation, *forcing.temperature,
                                                             *forcing.day_of_year, *forcing.elevation_bands);
    }

    // As score orders them: a successful simulation is finite and as long as the precipitation.
    const auto obs_w = window(forcing.observations, forcing.warmup_steps);
    const std::size_t sim_w = forcing.warmup_steps >= l ? 0 : static_cast<std::size_t>(l - forcing.warmup_steps);
    if (obs_w.size() != sim_w) {
        out.length_error = MetricsLengthMismatch{obs_w.size(), sim_w};
        return;
    }
    for (std::size_t i = 0; i < obs_w.size(); ++i) {
        if (!is_finite(obs_w[i])) continue;
        out.kept.push_back(i);
        out.observations.push_back(metrics::transform(transformation, obs_w[i]));
    }
    if (out.observations.empty()) out.observation_error = EmptyArrays{};
    else out.observation_error = metrics::scan_values(out.observations, "observations");
    // Constant over every evaluation of the call.
    if (!out.observation_error) out.observation_sums = metrics::observation_sums(out.observations);
}

namespace {

// A watched run needs scored days whose observations are valid, an objective monotone in the squared
// errors, and for NSE a denominator the full scoring would not call degenerate.
bool watchable(const PreparedForcing& prepared, const std::optional<Cutoff>& cutoff) {
    if (!cutoff || prepared.length_error || prepared.observation_error) return false;
    if (cutoff->objective == Objective::Rmse) return true;
    return cutoff->objective == Objective::Nse &&
           !(prepared.observation_sums.squared_deviations < metrics::zero_threshold);
}

template <class T>
bool same_bits(std::span<const T> a, const std::vector<T>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

}  // namespace

bool SnowMemo::matches(std::span<const double> snow_params, const PreparedForcing& prepared) const {
    if (!valid || !same_bits(snow_params, params)) return false;
    if (generation == prepared.generation) return true;
    const Forcing& forcing = *prepared.forcing;
    if (!forcing.temperature || !forcing.day_of_year || !forcing.elevation_bands || !forcing.median_elevation)
        return false;
    const double median = *forcing.median_elevation;
    const bool same = std::memcmp(&median, &median_elevation, sizeof(double)) == 0 &&
                      same_bits(forcing.precipitation, precipitation) && same_bits(*forcing.temperature, temperature) &&
                      same_bits(*forcing.day_of_year, day_of_year) && same_bits(*forcing.elevation_bands, bands);
    if (same) generation = prepared.generation;
    return same;
}

void SnowMemo::store(std::span<const double> snow_params, const PreparedForcing& prepared,
                     std::span<const double> output) {
    params.assign(snow_params.begin(), snow_params.end());
    liquid.assign(output.begin(), output.end());
    // Inputs kept from this very preparation need no copy again.
    if (valid && generation == prepared.generation) return;
    const Forcing& forcing = *prepared.forcing;
    valid = forcing.temperature && forcing.day_of_year && forcing.elevation_bands && forcing.median_elevation;
    if (!valid) return;
    generation = prepared.generation;
    precipitation.assign(forcing.precipitation.begin(), forcing.precipitation.end());
    temperature.assign(forcing.temperature->begin(), forcing.temperature->end());
    day_of_year.assign(forcing.day_of_year->begin(), forcing.day_of_year->end());
    bands.assign(forcing.elevation_bands->begin(), forcing.elevation_bands->end());
    median_elevation = *forcing.median_elevation;
}

std::expected<Triple, CalibrationError> evaluate(const CalibrationProblem& problem, std::span<const double> params,
                                                 const PreparedForcing& prepared, Scratch& scratch,
                                                 const SnowMemo* memo, bool* reused, std::optional<Cutoff> cutoff) {
    if (reused) *reused = false;
    if (prepared.forcing_error) return std::unexpected(*prepared.forcing_error);
    const Forcing& forcing = *prepared.forcing;
    const std::size_t days = forcing.precipitation.size();

    std::span<const double> hydro_params = params;
    std::span<const double> rain = forcing.precipitation;
    bool snow_ahead = false;  // the snow model runs along with the model, a day ahead
    if (problem.snow) {
        const std::size_t k = std::min(problem.snow_param_count, params.size());
        if (memo && memo->matches(params.first(k), prepared)) {
            // These parameters passed the snow checks and ran on these very inputs before.
            rain = memo->liquid;
            if (reused) *reused = true;
        } else {
            if (auto e = snow::cemaneige_check_params(params.first(k)))
                return std::unexpected(SnowFailure{std::move(*e)});
            if (prepared.snow_series_error) return std::unexpected(SnowFailure{*prepared.snow_series_error});
            scratch.liquid.resize(days);
            // A run that may stop early takes the snow model along a day ahead, so that it stops too. Only where
            // the model's checks of the parameters and the PET pass: each day's liquid water is then checked as
            // it is made, and anything that fails is done again in full, where the errors come in their order.
            if (watchable(prepared, cutoff) && !prepared.pet_non_finite && !prepared.pet_negative &&
                !hydro::check_params(*problem.hydro, params.subspan(k))) {
                if (auto e = scratch.snow_days.start(params.first(k), forcing.precipitation, *forcing.temperature,
                                                     *forcing.day_of_year, *forcing.elevation_bands,
                                                     *forcing.median_elevation, scratch.liquid))
                    return std::unexpected(SnowFailure{std::move(*e)});
                snow_ahead = true;
            }
            if (!snow_ahead) {
                if (auto e = snow::cemaneige_run_into(params.first(k), forcing.precipitation, *forcing.temperature,
                                                      *forcing.day_of_year, *forcing.elevation_bands,
                                                      *forcing.median_elevation, scratch.liquid))
                    return std::unexpected(SnowFailure{std::move(*e)});
            }
            rain = scratch.liquid;
        }
        hydro_params = params.subspan(k);
        // The model's checks, in their order: the liquid water is as long as the PET and finite (the snow run
        // scanned it), the PET's own checks were made once; only its sign is left to check every time (as it is
        // made, when the snow model goes along).
        if (!snow_ahead) {
            if (auto e = hydro::check_params(*problem.hydro, hydro_params))
                return std::unexpected(HydroFailure{std::move(*e)});
            if (prepared.pet_non_finite) return std::unexpected(HydroFailure{*prepared.pet_non_finite});
            if (auto e = scan_negative(rain, "precipitation")) return std::unexpected(HydroFailure{*e});
            if (prepared.pet_negative) return std::unexpected(HydroFailure{*prepared.pet_negative});
        }
    } else {
        if (auto e = hydro::check_params(*problem.hydro, hydro_params))
            return std::unexpected(HydroFailure{std::move(*e)});
        if (prepared.hydro_series_error) return std::unexpected(HydroFailure{*prepared.hydro_series_error});
    }
    scratch.simulation.resize(days);
    const std::size_t n = prepared.kept.size();
    scratch.scored.resize(n);
    double* sim = scratch.scored.data();
    bool finite = true;
    if (watchable(prepared, cutoff)) {
        // Identical sums to the scoring below, formed as the run goes.
        hydro::Watch watch{.q = {},
                           .first = static_cast<std::size_t>(forcing.warmup_steps),
                           .days = prepared.kept,
                           .observations = prepared.observations,
                           .scored = scratch.scored,
                           .transformation = prepared.transformation,
                           .rmse = cutoff->objective == Objective::Rmse,
                           .n = static_cast<double>(n),
                           .deviations = prepared.observation_sums.squared_deviations,
                           .threshold = cutoff->threshold};
        if (snow_ahead) {
            watch.ahead = [](void* snow_days, std::size_t first, std::size_t last) {
                return static_cast<snow::CemaNeigeDays*>(snow_days)->days(first, last);
            };
            watch.ahead_context = &scratch.snow_days;
        }
        auto e = hydro::watch_into(*problem.hydro, hydro_params, rain, forcing.pet, scratch.simulation, watch);
        // Along with the snow model, anything that failed is done again in full, errors in their order.
        if (snow_ahead && (watch.failed || e)) return evaluate(problem, params, prepared, scratch);
        if (e) return std::unexpected(HydroFailure{std::move(*e)});
        if (watch.stopped) {
            ++scratch.stopped;
            scratch.days_skipped += days - (watch.last + 1);
            Triple partial = worst_triple;
            partial[static_cast<std::size_t>(cutoff->objective)] = watch.partial;
            return partial;
        }
        for (std::size_t k = 0; k < n; ++k) finite = finite && is_finite(sim[k]);
    } else {
        if (auto e = hydro::run_into(*problem.hydro, hydro_params, rain, forcing.pet, scratch.simulation))
            return std::unexpected(HydroFailure{std::move(*e)});
        if (prepared.length_error) return std::unexpected(MetricsFailure{*prepared.length_error});
        const std::size_t w = static_cast<std::size_t>(forcing.warmup_steps);  // below days once lengths agree
        const double* q = scratch.simulation.data();
        for (std::size_t k = 0; k < n; ++k) {
            sim[k] = metrics::transform(prepared.transformation, q[w + prepared.kept[k]]);
            finite = finite && is_finite(sim[k]);
        }
    }
    if (!finite) return worst_triple;
    if (prepared.observation_error) return std::unexpected(MetricsFailure{*prepared.observation_error});

    // Inputs are valid here, so only degenerate kinds come back, each replaced by its worst value.
    constexpr double inf = std::numeric_limits<double>::infinity();
    const std::span<const double> obs = prepared.observations;
    const std::span<const double> scored(sim, n);
    const auto scores = metrics::unchecked::scores(obs, scored, prepared.observation_sums);
    return Triple{scores.rmse.value_or(inf), scores.nse.value_or(-inf), scores.kge.value_or(-inf)};
}

std::vector<std::size_t> ranking_permutation(Objective objective, std::span<const Triple> triples) {
    std::vector<std::size_t> perm(triples.size());
    for (std::size_t i = 0; i < perm.size(); ++i) perm[i] = i;
    const bool ascending = objective == Objective::Rmse;
    std::stable_sort(perm.begin(), perm.end(), [&](std::size_t a, std::size_t b) {
        const double va = objective_value(objective, triples[a]);
        const double vb = objective_value(objective, triples[b]);
        const bool fa = is_finite(va);
        const bool fb = is_finite(vb);
        if (fa != fb) return fa;
        if (!fa) return false;
        const std::int64_t ka = total_order_key(va);
        const std::int64_t kb = total_order_key(vb);
        return ascending ? ka < kb : kb < ka;
    });
    return perm;
}

void sort_population(Objective objective, std::vector<double>& population, std::size_t n,
                     std::vector<Triple>& triples) {
    std::vector<std::size_t> perm = ranking_permutation(objective, triples);
    // Apply in place along the cycles of the permutation (row i takes old row perm[i]);
    // a visited entry is marked by setting it to its own index.
    for (std::size_t i = 0; i < perm.size(); ++i) {
        std::size_t j = i;
        while (perm[j] != i) {
            const std::size_t k = perm[j];
            perm[j] = j;
            std::swap_ranges(population.begin() + static_cast<std::ptrdiff_t>(j * n),
                             population.begin() + static_cast<std::ptrdiff_t>((j + 1) * n),
                             population.begin() + static_cast<std::ptrdiff_t>(k * n));
            std::swap(triples[j], triples[k]);
            j = k;
        }
        perm[j] = j;
    }
}

}  // namespace vardex::calibration
