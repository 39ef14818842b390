// Shuffled complex evolution (SCE-UA) optimiser, driven one cycle per step.
#pragma once

#include <cstddef>
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

struct SceSettings {
    std::uint64_t n_complexes;
    std::uint64_t k_stop;
    double p_convergence_threshold;
    double geometric_range_threshold;
    std::uint64_t max_evaluations;
    std::uint64_t seed;
};

// Pieces of the cycle, exposed for testing.
namespace sce_detail {

// Position in [0, m) drawn from u in [0, 1) with probability 2(m - i) / (m(m + 1)).
std::size_t triangular_position(double u, std::size_t m);

// q positions among m, position 0 first, the others drawn triangularly without repeats
// (after 1000 draws for one slot the last draw is kept anyway); sorted ascending.
std::vector<std::size_t> select_subcomplex(ChaCha8& rng, std::size_t m, std::size_t q);
// The same into `held`, reusing its storage.
void select_subcomplex(ChaCha8& rng, std::size_t m, std::size_t q, std::vector<std::size_t>& held);

// Percentage change of the best value over the last k_stop history entries (+inf when
// undefined).
double criterion_d(std::span<const double> history, std::uint64_t k_stop);

// Normalised geometric range of a row-major population with n columns.
double criterion_g(std::span<const double> population, std::size_t n, std::span<const double> lower,
                   std::span<const double> upper);

}  // namespace sce_detail

class Sce {
public:
    // On failure, the full message to raise.
    static std::expected<Sce, std::string> create(std::string_view hydro_model,
                                                  std::optional<std::string_view> snow_model,
                                                  std::string_view objective, std::string_view transformation,
                                                  const SceSettings& settings);

    // Draws and evaluates a fresh population (in parallel). On failure nothing but the
    // generator's position changes.
    std::expected<void, CalibrationError> init(const Forcing& forcing);

    // One evolution-and-shuffle cycle, or only a re-simulation of the best once done.
    // On failure nothing but the generator's position changes.
    std::expected<StepResult, CalibrationError> step(const Forcing& forcing) { return step(forcing, false); }
    // `same_forcing`: the caller vouches that `forcing` is the one of the previous call, unchanged since, so its
    // preparation (checks, transformed observations and their sums) is reused rather than made again.
    // `want_simulation` false: a step on a vouched-for forcing that is not done may leave the best simulation out
    // of its result (it is made only to be returned), for a caller that reads only its last step's.
    std::expected<StepResult, CalibrationError> step(const Forcing& forcing, bool same_forcing,
                                                     bool want_simulation = true);

    // Evaluations made by cycles so far (init's population is not counted).
    std::uint64_t evaluations() const { return evaluations_; }

    // Evaluations that stopped early as rejected, and the model days they did not run.
    std::pair<std::uint64_t, std::uint64_t> early_stops() const {
        std::pair<std::uint64_t, std::uint64_t> out{0, 0};
        for (const Scratch& s : scratch_) {
            out.first += s.stopped;
            out.second += s.days_skipped;
        }
        return out;
    }

    // Logs every evaluation from now on into `log` (not owned; nullptr stops logging).
    void keep_samples(SampleLog* log) { log_ = log; }

private:
    Sce(CalibrationProblem problem, Objective objective, Transformation transformation,
        const SceSettings& settings);

    std::vector<double> draw_population(std::size_t rows);
    // Overwrites `point` (n values) with a uniform draw from the box, as draw_population(1) would.
    void draw_point(std::vector<double>& point);

    CalibrationProblem problem_;
    Objective objective_;
    Transformation transformation_;
    SceSettings settings_;
    std::size_t n_;  // parameters
    std::size_t m_;  // points per complex
    std::size_t q_;  // points per sub-complex
    std::size_t s_;  // population size
    ChaCha8 rng_;
    std::vector<double> population_;  // s × n, row-major, best row first once evaluated
    std::vector<Triple> triples_;
    std::vector<double> best_parameters_;
    std::vector<double> history_;
    std::uint64_t evaluations_ = 0;
    bool done_ = false;
    // Reused by every call: the checks and observations of the current forcing, and one set of buffers
    // per thread that evaluates (the caller's first).
    PreparedForcing prepared_;
    std::vector<Scratch> scratch_;
    SampleLog* log_ = nullptr;
};

}  // namespace vardex::calibration
