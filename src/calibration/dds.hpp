// Dynamically dimensioned search (DDS) optimiser: greedy single-point search from the
// middle of the parameter box.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "calibration/problem.hpp"
#include "calibration/rng.hpp"
#include "calibration/samples.hpp"
#include "errors/errors.hpp"

namespace vardex::calibration {

namespace dds_detail {

// Mirrors a perturbed value back into [lower, upper]; an overshoot larger than the range
// lands on the bound it crossed.
double reflect(double x, double lower, double upper);

}  // namespace dds_detail

class Dds {
public:
    // On failure, the full message to raise.
    static std::expected<Dds, std::string> create(std::string_view hydro_model,
                                                  std::optional<std::string_view> snow_model,
                                                  std::string_view objective, std::string_view transformation,
                                                  double r, std::uint64_t max_evaluations, std::uint64_t seed);

    // Evaluates the midpoint of the box and restarts from it.
    std::expected<void, CalibrationError> init(const Forcing& forcing);

    // One perturbation and evaluation, or just the best once done. On failure nothing
    // but the generator's position changes.
    std::expected<StepResult, CalibrationError> step(const Forcing& forcing) { return step(forcing, false); }
    // `same_forcing`: the caller vouches that `forcing` is the one of the previous call, unchanged since, so its
    // preparation (checks, transformed observations and their sums) is reused rather than made again.
    // `want_simulation` false: a step that is not done leaves the best simulation out of its result.
    std::expected<StepResult, CalibrationError> step(const Forcing& forcing, bool same_forcing,
                                                     bool want_simulation = true);

    // Successful evaluations so far, init's included.
    std::uint64_t evaluations() const { return evaluations_; }

    // Evaluations that stopped early as rejected, and the model days they did not run.
    std::pair<std::uint64_t, std::uint64_t> early_stops() const { return {scratch_.stopped, scratch_.days_skipped}; }

    // Logs every evaluation from now on into `log` (not owned; nullptr stops logging).
    void keep_samples(SampleLog* log) { log_ = log; }

private:
    // Keeps the snow output of `params`, just computed into scratch_.liquid on the prepared forcing.
    void remember_snow(std::span<const double> params);

    Dds(CalibrationProblem problem, Objective objective, Transformation transformation, double r,
        std::uint64_t max_evaluations, std::uint64_t seed);

    CalibrationProblem problem_;
    Objective objective_;
    Transformation transformation_;
    double r_;
    std::uint64_t max_evaluations_;
    ChaCha8 rng_;
    std::vector<double> midpoint_;
    std::vector<double> best_parameters_;
    std::vector<double> best_simulation_;
    Triple best_triple_ = worst_triple;
    std::uint64_t evaluations_ = 0;
    bool done_ = false;
    // Reused by every call: the checks and observations of the current forcing, the evaluation's buffers,
    // the perturbation's selection and candidate.
    PreparedForcing prepared_;
    Scratch scratch_;
    std::vector<bool> selected_;
    std::vector<double> candidate_;
    SnowMemo best_snow_;    // the best parameters' snow output: a candidate that leaves them takes it
    SampleLog* log_ = nullptr;
};

}  // namespace vardex::calibration
