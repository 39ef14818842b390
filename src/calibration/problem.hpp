// The calibration problem shared by both optimisers: the model chain, the parameter box,
// the scoring of a simulation against observations and the ranking of candidates.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "errors/errors.hpp"
#include "hydro/model.hpp"
#include "metrics/metrics.hpp"
#include "snow/cemaneige.hpp"

namespace vardex::calibration {

// The value is also the index of the metric in a triple.
enum class Objective { Rmse = 0, Nse = 1, Kge = 2 };
using metrics::Transformation;

// [RMSE, NSE, KGE].
using Triple = std::array<double, 3>;
inline constexpr Triple worst_triple{std::numeric_limits<double>::infinity(),
                                     -std::numeric_limits<double>::infinity(),
                                     -std::numeric_limits<double>::infinity()};

inline double objective_value(Objective objective, const Triple& triple) {
    return triple[static_cast<std::size_t>(objective)];
}

// On no match: the message quoting the text as given.
std::expected<Objective, std::string> parse_objective(std::string_view text);
std::expected<Transformation, std::string> parse_transformation(std::string_view text);

// Everything one init or step call passes to every evaluation; the spans are only
// borrowed for the duration of the call.
struct Forcing {
    std::span<const double> precipitation;
    std::optional<std::span<const double>> temperature;
    std::span<const double> pet;
    std::optional<std::span<const std::uint64_t>> day_of_year;
    std::optional<std::span<const double>> elevation_bands;
    std::optional<double> median_elevation;
    std::span<const double> observations;
    std::uint64_t warmup_steps;
};

// Immutable after construction, so evaluations may share it across threads.
struct CalibrationProblem {
    const hydro::ModelSpec* hydro = nullptr;
    bool snow = false;                // CemaNeige in front of the hydrological model
    std::size_t snow_param_count = 0; // 3 with snow, else 0
    std::vector<double> lower;        // per parameter, snow block first
    std::vector<double> upper;

    std::size_t parameter_count() const { return lower.size(); }
};

std::expected<CalibrationProblem, CalibrationError> build_problem(std::string_view hydro_model,
                                                                  std::optional<std::string_view> snow_model);

// True when some observation at or after warmup_steps is finite.
bool has_observations(std::span<const double> observations, std::uint64_t warmup_steps);

std::expected<std::vector<double>, CalibrationError> simulate_candidate(const CalibrationProblem& problem,
                                                                        std::span<const double> params,
                                                                        const Forcing& forcing);

std::expected<Triple, CalibrationError> score(std::span<const double> observations,
                                              std::span<const double> simulation, Transformation transformation,
                                              std::uint64_t warmup_steps);

struct Evaluation {
    std::vector<double> simulation;
    Triple triple;
};

std::expected<Evaluation, CalibrationError> evaluate(const CalibrationProblem& problem,
                                                     std::span<const double> params, const Forcing& forcing,
                                                     Transformation transformation);

// What one init or step call works out once for all its evaluations: the outcome of every check that does
// not depend on the parameters, and the scored observations. Borrows the forcing for the call.
struct PreparedForcing {
    const Forcing* forcing = nullptr;
    std::uint64_t generation = 0;                   // counts the preparations: same count, same forcing
    Transformation transformation = Transformation::NoTransform;
    std::optional<CalibrationError> forcing_error;  // before any parameter check
    std::optional<HydroError> hydro_series_error;   // after the model's parameter checks (no snow)
    std::optional<SnowError> snow_series_error;     // after the snow parameter checks
    std::optional<HydroError> pet_non_finite;       // with snow: the model's checks of the PET, made once
    std::optional<HydroError> pet_negative;
    std::optional<MetricsError> length_error;       // once the simulation is there
    std::optional<MetricsError> observation_error;  // once the transformed simulation is finite
    std::vector<std::size_t> kept;                  // days of the scored window with a finite observation
    std::vector<double> observations;               // their transformed observations
    metrics::ObservationSums observation_sums;      // of those, when they are valid
};

// Fills `out` (its buffers reused) for one call on `forcing`.
void prepare(const CalibrationProblem& problem, const Forcing& forcing, Transformation transformation,
             PreparedForcing& out);

// Buffers of one evaluating thread, reused from one evaluation to the next. Aligned so that two threads'
// buffers never share a cache line.
struct alignas(64) Scratch {
    std::vector<double> liquid;      // snow output
    std::vector<double> simulation;  // streamflow of the last successful evaluation
    std::vector<double> scored;      // its transformed values on the kept days
    snow::CemaNeigeDays snow_days;   // the snow model of a run that may stop early
    std::uint64_t stopped = 0;       // evaluations that stopped early (see Cutoff)
    std::uint64_t days_skipped = 0;  // model days they did not run
};

// An evaluation only asked whether it beats `threshold`, in the optimiser's own comparison
// (is_worse(objective, value, threshold) rejects). With an RMSE or NSE objective the model run stops on
// the first day the score from the squared errors so far is already worse (it can only get worse); the
// triple then holds that partial score in the objective's place, which the same comparison rejects, and
// the worst values elsewhere. A KGE objective, or a degenerate NSE denominator, runs in full.
struct Cutoff {
    Objective objective;
    double threshold;
};

// CemaNeige's liquid water for one set of snow parameters on one set of snow inputs, kept so that an
// evaluation with the same parameters on the same inputs (bit for bit) takes it instead of running the snow
// model again: its output depends on nothing else, so the outcome is the same. The inputs are compared only
// when the forcing was prepared again since (a vouched-for forcing keeps its preparation).
struct SnowMemo {
    bool valid = false;
    mutable std::uint64_t generation = 0;  // of the preparation whose forcing the inputs are known to equal
    std::vector<double> params;
    std::vector<double> precipitation;
    std::vector<double> temperature;
    std::vector<std::uint64_t> day_of_year;
    std::vector<double> bands;
    double median_elevation = 0.0;
    std::vector<double> liquid;

    // True when `snow_params` and the prepared forcing's snow inputs equal the kept ones bit for bit.
    bool matches(std::span<const double> snow_params, const PreparedForcing& prepared) const;
    void store(std::span<const double> snow_params, const PreparedForcing& prepared, std::span<const double> output);
};

// evaluate(problem, params, forcing, transformation) on a prepared forcing, with the same outcome, error
// kinds and order included; the simulation is left in scratch.simulation. Allocates only to grow scratch.
// With `memo` matching the snow parameters and inputs, its liquid water stands in for the snow run (and
// scratch.liquid is left as it was); `reused` says whether it did. With `cutoff`, a rejected candidate may
// stop early (see Cutoff): its simulation is then incomplete, and a non-finite flow after the stop, which
// the full run would report as an error, goes unseen.
std::expected<Triple, CalibrationError> evaluate(const CalibrationProblem& problem, std::span<const double> params,
                                                 const PreparedForcing& prepared, Scratch& scratch,
                                                 const SnowMemo* memo = nullptr, bool* reused = nullptr,
                                                 std::optional<Cutoff> cutoff = std::nullopt);

// The objective's comparison (metrics::is_worse): a NaN on either side is never worse, nor is a tie.
inline bool is_worse(Objective objective, double candidate, double reference) {
    return metrics::is_worse(objective == Objective::Rmse, candidate, reference);
}

// Stable order of the rows, best first: finite values before non-finite ones (which keep
// their relative order), ascending for Rmse and descending otherwise by IEEE total order.
std::vector<std::size_t> ranking_permutation(Objective objective, std::span<const Triple> triples);

// Sorts the rows of a row-major population (n columns) and their triples together by
// the ranking order.
void sort_population(Objective objective, std::vector<double>& population, std::size_t n,
                     std::vector<Triple>& triples);

// What both optimisers' step returns.
struct StepResult {
    bool done;
    std::vector<double> best_parameters;
    std::vector<double> best_simulation;
    Triple best_triple;
};

}  // namespace vardex::calibration
