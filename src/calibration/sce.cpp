#include "calibration/sce.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "calibration/pool.hpp"
#include "errors/checks.hpp"

namespace vardex::calibration {

namespace sce_detail {

std::size_t triangular_position(double u, std::size_t m) {
    const double md = static_cast<double>(m);
    const double a = md + 0.5;
    const double i = std::floor(a - std::sqrt(a * a - u * md * (md + 1.0)));
    // Rounding of u * m * (m + 1) for u just below 1 could in principle reach m; keep the
    // position inside the complex.
    const auto pos = static_cast<std::size_t>(i);
    return pos < m ? pos : m - 1;
}

std::vector<std::size_t> select_subcomplex(ChaCha8& rng, std::size_t m, std::size_t q) {
    std::vector<std::size_t> held;
    select_subcomplex(rng, m, q, held);
    return held;
}

void select_subcomplex(ChaCha8& rng, std::size_t m, std::size_t q, std::vector<std::size_t>& held) {
    held.clear();
    held.reserve(q);
    held.push_back(0);
    while (held.size() < q) {
        for (int attempt = 1;; ++attempt) {
            const std::size_t i = triangular_position(rng.uniform53(), m);
            if (attempt == 1000 || std::find(held.begin(), held.end(), i) == held.end()) {
                held.push_back(i);
                break;
            }
        }
    }
    std::sort(held.begin(), held.end());
}

double criterion_d(std::span<const double> history, std::uint64_t k_stop) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (k_stop == 0 || history.size() < k_stop) return inf;
    const auto win = history.last(static_cast<std::size_t>(k_stop));
    double sum = 0.0;
    for (double v : win) {
        if (!is_finite(v)) return inf;
        sum += std::fabs(v);
    }
    const double a = sum / static_cast<double>(k_stop);
    if (a <= 1e-10) return 0.0;
    return std::fabs(win.back() - win.front()) * 100.0 / a;
}

double criterion_g(std::span<const double> population, std::size_t n, std::span<const double> lower,
                   std::span<const double> upper) {
    if (n == 0) return 1.0;
    const std::size_t rows = population.size() / n;
    double sum = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        double lo = population[j];
        double hi = population[j];
        for (std::size_t r = 1; r < rows; ++r) {
            const double v = population[r * n + j];
            if (v < lo) lo = v;
            if (v > hi) hi = v;
        }
        const double rho = (hi - lo) / (upper[j] - lower[j]);
        // A NaN ratio (degenerate bound) counts as the floor.
        sum += std::log(std::fmax(rho, 1e-10));
    }
    return std::exp(sum / static_cast<double>(n));
}

}  // namespace sce_detail

namespace {

std::string invalid(std::string text) { return message(CalibrationError{InvalidParameter{std::move(text)}}); }

// A complex: m rows of the population (row-major, n columns) with their triples.
struct Complex {
    std::vector<double> rows;
    std::vector<Triple> triples;
};

}  // namespace

Sce::Sce(CalibrationProblem problem, Objective objective, Transformation transformation,
         const SceSettings& settings)
    : problem_(std::move(problem)),
      objective_(objective),
      transformation_(transformation),
      settings_(settings),
      n_(problem_.parameter_count()),
      m_(2 * n_ + 1),
      q_(n_ + 1),
      s_(static_cast<std::size_t>(settings.n_complexes) * m_),
      rng_(ChaCha8::from_seed(settings.seed)),
      population_(draw_population(s_)),
      triples_(s_, worst_triple) {}

std::expected<Sce, std::string> Sce::create(std::string_view hydro_model,
                                            std::optional<std::string_view> snow_model, std::string_view objective,
                                            std::string_view transformation, const SceSettings& settings) {
    auto obj = parse_objective(objective);
    if (!obj) return std::unexpected(std::move(obj.error()));
    auto tr = parse_transformation(transformation);
    if (!tr) return std::unexpected(std::move(tr.error()));
    if (settings.n_complexes == 0) return std::unexpected(invalid("n_complexes must be at least 1, got 0"));
    if (settings.k_stop == 0) return std::unexpected(invalid("k_stop must be at least 1, got 0"));
    auto problem = build_problem(hydro_model, snow_model);
    if (!problem) return std::unexpected(message(problem.error()));

    // A population that cannot even be addressed (or allocated) is refused rather than
    // left to abort the process.
    const std::size_t n = problem->parameter_count();
    const std::size_t m = 2 * n + 1;
    const std::size_t max_rows = std::vector<double>().max_size() / std::max<std::size_t>(n, 1);
    const std::string too_large =
        "n_complexes " + std::to_string(settings.n_complexes) + " gives a population too large to allocate";
    if (settings.n_complexes > max_rows / m) return std::unexpected(invalid(too_large));
    try {
        return Sce(std::move(*problem), *obj, *tr, settings);
    } catch (const std::bad_alloc&) {
        return std::unexpected(invalid(too_large));
    } catch (const std::length_error&) {
        return std::unexpected(invalid(too_large));
    }
}

std::vector<double> Sce::draw_population(std::size_t rows) {
    std::vector<double> pop(rows * n_);
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < n_; ++j) {
            const double u = rng_.uniform52();
            pop[i * n_ + j] = u * (problem_.upper[j] - problem_.lower[j]) + problem_.lower[j];
        }
    return pop;
}

void Sce::draw_point(std::vector<double>& point) {
    for (std::size_t j = 0; j < n_; ++j) {
        const double u = rng_.uniform52();
        point[j] = u * (problem_.upper[j] - problem_.lower[j]) + problem_.lower[j];
    }
}

std::expected<void, CalibrationError> Sce::init(const Forcing& forcing) {
    if (!has_observations(forcing.observations, forcing.warmup_steps)) return std::unexpected(NoObservations{});

    prepare(problem_, forcing, transformation_, prepared_);
    scratch_.resize(std::max(scratch_.size(), pool_size() + 1));
    std::vector<double> population = draw_population(s_);
    // One cache line per result: neighbouring rows are written by different threads.
    struct alignas(64) Outcome {
        std::expected<Triple, CalibrationError> value;
    };
    std::vector<Outcome> results(s_);
    parallel_for_slots(s_, [&](std::size_t i, std::size_t slot) {
        results[i].value =
            evaluate(problem_, std::span<const double>(population).subspan(i * n_, n_), prepared_, scratch_[slot]);
    });

    std::vector<Triple> triples(s_);
    for (std::size_t i = 0; i < s_; ++i) {
        if (!results[i].value) return std::unexpected(std::move(results[i].value.error()));
        triples[i] = *results[i].value;
    }
    if (log_)
        for (std::size_t i = 0; i < s_; ++i)
            log_->add(std::span<const double>(population).subspan(i * n_, n_), triples[i]);
    sort_population(objective_, population, n_, triples);

    population_ = std::move(population);
    triples_ = std::move(triples);
    best_parameters_.assign(population_.begin(), population_.begin() + static_cast<std::ptrdiff_t>(n_));
    history_.assign(1, objective_value(objective_, triples_[0]));
    return {};
}

std::expected<StepResult, CalibrationError> Sce::step(const Forcing& forcing, bool same_forcing,
                                                     bool want_simulation) {
    if (done_) {
        auto sim = simulate_candidate(problem_, best_parameters_, forcing);
        if (!sim) return std::unexpected(std::move(sim.error()));
        return StepResult{true, best_parameters_, std::move(*sim), triples_[0]};
    }

    // The cycle works on copies and commits them only once everything has succeeded.
    const std::size_t p = static_cast<std::size_t>(settings_.n_complexes);
    std::uint64_t evaluations = evaluations_;

    std::vector<Complex> complexes(p);
    for (std::size_t k = 0; k < p; ++k) {
        Complex& c = complexes[k];
        c.rows.reserve(m_ * n_);
        c.triples.reserve(m_);
        for (std::size_t j = 0; j < m_; ++j) {
            const std::size_t row = k + j * p;
            c.rows.insert(c.rows.end(), population_.begin() + static_cast<std::ptrdiff_t>(row * n_),
                          population_.begin() + static_cast<std::ptrdiff_t>((row + 1) * n_));
            c.triples.push_back(triples_[row]);
        }
    }

    if (!same_forcing || prepared_.forcing != &forcing) prepare(problem_, forcing, transformation_, prepared_);
    if (scratch_.empty()) scratch_.resize(1);
    Scratch& scratch = scratch_[0];
    std::vector<double> centroid(n_);
    std::vector<double> point(n_);
    std::vector<std::size_t> held;
    for (Complex& c : complexes) {
        for (std::size_t e = 0; e < m_; ++e) {
            sce_detail::select_subcomplex(rng_, m_, q_, held);
            const std::size_t worst_pos = held.back();
            const double* w = c.rows.data() + worst_pos * n_;
            const double f_w = objective_value(objective_, c.triples[worst_pos]);

            for (std::size_t j = 0; j < n_; ++j) {
                double sum = 0.0;
                for (std::size_t h = 0; h + 1 < q_; ++h) sum += c.rows[held[h] * n_ + j];
                centroid[j] = sum / static_cast<double>(q_ - 1);
            }

            bool outside = false;
            for (std::size_t j = 0; j < n_; ++j) {
                point[j] = centroid[j] + (centroid[j] - w[j]);
                if (point[j] < problem_.lower[j] || point[j] > problem_.upper[j]) outside = true;
            }
            if (outside) draw_point(point);

            // One evaluation of the point, kept in the sample log when there is one. Reflection and
            // contraction only ask whether the point beats the worst of the sub-complex, so without a log
            // they may stop early; the random point is always kept, so it always runs in full.
            const auto try_point = [&](bool kept) {
                const auto cutoff =
                    kept || log_ ? std::nullopt : std::optional<Cutoff>(Cutoff{objective_, f_w});
                auto t = evaluate(problem_, point, prepared_, scratch, nullptr, nullptr, cutoff);
                if (t && log_) log_->add(point, *t);
                return t;
            };
            auto trial = try_point(false);
            if (!trial) return std::unexpected(std::move(trial.error()));
            std::uint64_t used = 1;
            if (is_worse(objective_, objective_value(objective_, *trial), f_w)) {
                for (std::size_t j = 0; j < n_; ++j) point[j] = w[j] + (centroid[j] - w[j]) * 0.5;
                trial = try_point(false);
                if (!trial) return std::unexpected(std::move(trial.error()));
                used = 2;
                if (is_worse(objective_, objective_value(objective_, *trial), f_w)) {
                    draw_point(point);
                    trial = try_point(true);
                    if (!trial) return std::unexpected(std::move(trial.error()));
                    used = 3;
                }
            }

            std::copy(point.begin(), point.end(), c.rows.begin() + static_cast<std::ptrdiff_t>(worst_pos * n_));
            c.triples[worst_pos] = *trial;
            sort_population(objective_, c.rows, n_, c.triples);
            evaluations += used;
        }
    }

    std::vector<double> population;
    std::vector<Triple> triples;
    population.reserve(s_ * n_);
    triples.reserve(s_);
    for (const Complex& c : complexes) {
        population.insert(population.end(), c.rows.begin(), c.rows.end());
        triples.insert(triples.end(), c.triples.begin(), c.triples.end());
    }
    sort_population(objective_, population, n_, triples);

    std::vector<double> history = history_;
    history.push_back(objective_value(objective_, triples[0]));
    const double d = sce_detail::criterion_d(history, settings_.k_stop);
    const double g = sce_detail::criterion_g(population, n_, problem_.lower, problem_.upper);
    const bool done = d < settings_.p_convergence_threshold || g < settings_.geometric_range_threshold ||
                      evaluations > settings_.max_evaluations;

    std::vector<double> best(population.begin(), population.begin() + static_cast<std::ptrdiff_t>(n_));
    // On a vouched-for forcing the best was evaluated, or simulated by an earlier step, on this very forcing, so
    // its simulation cannot fail: leaving it out changes no outcome.
    std::expected<std::vector<double>, CalibrationError> sim = std::vector<double>{};
    if (want_simulation || !same_forcing || done) sim = simulate_candidate(problem_, best, forcing);
    if (!sim) return std::unexpected(std::move(sim.error()));

    population_ = std::move(population);
    triples_ = std::move(triples);
    history_ = std::move(history);
    evaluations_ = evaluations;
    done_ = done;
    best_parameters_ = std::move(best);
    return StepResult{done_, best_parameters_, std::move(*sim), triples_[0]};
}

}  // namespace vardex::calibration
