#include "calibration/dds.hpp"

#include <cmath>
#include <utility>

#include "errors/checks.hpp"
#include "errors/format.hpp"

namespace vardex::calibration {

namespace dds_detail {

double reflect(double x, double lower, double upper) {
    if (x < lower) {
        x = (lower - x) + lower;
        if (x > upper) x = lower;
    } else if (x > upper) {
        x = upper - (x - upper);
        if (x < lower) x = upper;
    }
    return x;
}

}  // namespace dds_detail

namespace {

std::string invalid(std::string text) { return message(CalibrationError{InvalidParameter{std::move(text)}}); }

}  // namespace

Dds::Dds(CalibrationProblem problem, Objective objective, Transformation transformation, double r,
         std::uint64_t max_evaluations, std::uint64_t seed)
    : problem_(std::move(problem)),
      objective_(objective),
      transformation_(transformation),
      r_(r),
      max_evaluations_(max_evaluations),
      rng_(ChaCha8::from_seed(seed)) {
    midpoint_.reserve(problem_.parameter_count());
    for (std::size_t j = 0; j < problem_.parameter_count(); ++j)
        midpoint_.push_back((problem_.lower[j] + problem_.upper[j]) * 0.5);
    best_parameters_ = midpoint_;
}

std::expected<Dds, std::string> Dds::create(std::string_view hydro_model,
                                            std::optional<std::string_view> snow_model, std::string_view objective,
                                            std::string_view transformation, double r,
                                            std::uint64_t max_evaluations, std::uint64_t seed) {
    auto obj = parse_objective(objective);
    if (!obj) return std::unexpected(std::move(obj.error()));
    auto tr = parse_transformation(transformation);
    if (!tr) return std::unexpected(std::move(tr.error()));
    if (!(is_finite(r) && r > 0.0 && r <= 1.0))
        return std::unexpected(invalid("neighborhood size r must be in (0, 1], got " + format_f64(r)));
    if (max_evaluations < 2)
        return std::unexpected(invalid("max_evaluations must be at least 2, got " + format_u64(max_evaluations)));
    auto problem = build_problem(hydro_model, snow_model);
    if (!problem) return std::unexpected(message(problem.error()));
    return Dds(std::move(*problem), *obj, *tr, r, max_evaluations, seed);
}

void Dds::remember_snow(std::span<const double> params) {
    // Only a snow run that just produced scratch_.liquid is kept; anything else invalidates the memo.
    if (!problem_.snow) return;
    best_snow_.store(params.first(std::min(problem_.snow_param_count, params.size())), prepared_, scratch_.liquid);
}

std::expected<void, CalibrationError> Dds::init(const Forcing& forcing) {
    if (!has_observations(forcing.observations, forcing.warmup_steps)) return std::unexpected(NoObservations{});
    prepare(problem_, forcing, transformation_, prepared_);
    auto e = evaluate(problem_, midpoint_, prepared_, scratch_);
    if (!e) return std::unexpected(std::move(e.error()));
    if (log_) log_->add(midpoint_, *e);
    remember_snow(midpoint_);
    best_parameters_ = midpoint_;
    best_simulation_.assign(scratch_.simulation.begin(), scratch_.simulation.end());
    best_triple_ = *e;
    evaluations_ = 1;
    done_ = false;
    return {};
}

std::expected<StepResult, CalibrationError> Dds::step(const Forcing& forcing, bool same_forcing,
                                                     bool want_simulation) {
    if (done_) return StepResult{true, best_parameters_, best_simulation_, best_triple_};

    const std::size_t n = problem_.parameter_count();
    // Count 0 (a step before init) gives +inf: every parameter is selected.
    const double p = 1.0 - std::log(static_cast<double>(evaluations_)) / std::log(static_cast<double>(max_evaluations_));
    std::vector<bool>& selected = selected_;
    selected.assign(n, false);
    bool any = false;
    for (std::size_t j = 0; j < n; ++j) {
        selected[j] = rng_.uniform53() < p;
        any = any || selected[j];
    }
    if (!any && n > 0) selected[static_cast<std::size_t>(rng_.below(n))] = true;

    std::vector<double>& candidate = candidate_;
    candidate.assign(best_parameters_.begin(), best_parameters_.end());
    for (std::size_t j = 0; j < n; ++j) {
        if (!selected[j]) continue;
        const double z = rng_.standard_normal();
        const double lower = problem_.lower[j];
        const double upper = problem_.upper[j];
        const double x = (upper - lower) * r_ * z + best_parameters_[j];
        candidate[j] = dds_detail::reflect(x, lower, upper);
    }

    if (!same_forcing || prepared_.forcing != &forcing) prepare(problem_, forcing, transformation_, prepared_);
    bool reused = false;
    const double b = objective_value(objective_, best_triple_);
    // A kept sample needs its full score; otherwise only whether it beats the best matters.
    const auto cutoff = log_ ? std::nullopt : std::optional<Cutoff>(Cutoff{objective_, b});
    auto e = evaluate(problem_, candidate, prepared_, scratch_, problem_.snow ? &best_snow_ : nullptr, &reused,
                      cutoff);
    if (!e) return std::unexpected(std::move(e.error()));
    if (log_) log_->add(candidate, *e);
    ++evaluations_;

    const double v = objective_value(objective_, *e);
    const bool accept = objective_ == Objective::Rmse ? b >= v : b <= v;
    if (accept) {
        if (!reused) remember_snow(candidate);
        best_parameters_.swap(candidate);
        best_simulation_.assign(scratch_.simulation.begin(), scratch_.simulation.end());
        best_triple_ = *e;
    }
    done_ = evaluations_ >= max_evaluations_;
    if (!want_simulation && !done_) return StepResult{done_, best_parameters_, {}, best_triple_};
    return StepResult{done_, best_parameters_, best_simulation_, best_triple_};
}

}  // namespace vardex::calibration
