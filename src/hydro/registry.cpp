#include "hydro/registry.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "errors/format.hpp"

namespace vardex::hydro {

// One line per model, in the order of the Python `hydro` module.
#define VARDEX_HYDRO_MODELS(X) \
    X(gr4j) \
    X(bucket) \
    X(cequeau) \
    X(crec) \
    X(gardenia) \
    X(hymod) \
    X(hbv) \
    X(ihacres) \
    X(martine) \
    X(mohyse) \
    X(mordor) \
    X(nam) \
    X(pdm) \
    X(sacramento) \
    X(simhyd) \
    X(smar) \
    X(tank) \
    X(topmodel) \
    X(wageningen) \
    X(xinanjiang)

#define VARDEX_DECLARE(name) extern const ModelSpec name;
VARDEX_HYDRO_MODELS(VARDEX_DECLARE)
#undef VARDEX_DECLARE

namespace {
#define VARDEX_ENTRY(name) &name,
constexpr const ModelSpec* kModels[] = {VARDEX_HYDRO_MODELS(VARDEX_ENTRY)};
#undef VARDEX_ENTRY

}  // namespace

std::optional<HydroError> check_params(const ModelSpec& m, std::span<const double> params) {
    if (auto e = check_param_count(m.params.size(), params)) return *e;
    if (auto e = check_bounds(params, m.params)) return *e;
    return std::nullopt;
}

std::optional<HydroError> check_inputs(const ModelSpec& m, std::span<const double> params,
                                       std::span<const double> precipitation, std::span<const double> pet) {
    if (auto e = check_params(m, params)) return e;
    return check_series(precipitation, pet);
}

std::optional<HydroError> check_series(std::span<const double> precipitation, std::span<const double> pet) {
    if (precipitation.size() != pet.size()) return HydroLengthMismatch{precipitation.size(), pet.size()};
    if (precipitation.empty()) return EmptyInput{"precipitation"};
    if (auto e = scan_non_finite(precipitation, "precipitation")) return *e;
    if (auto e = scan_non_finite(pet, "pet")) return *e;
    if (auto e = scan_negative(precipitation, "precipitation")) return *e;
    if (auto e = scan_negative(pet, "pet")) return *e;
    return std::nullopt;
}

std::span<const ModelSpec* const> models() { return kModels; }

const ModelSpec* find_model(std::string_view name) {
    for (const ModelSpec* m : kModels)
        if (name == m->name) return m;
    return nullptr;
}

std::vector<double> defaults(const ModelSpec& m) {
    std::vector<double> out;
    out.reserve(m.params.size());
    for (const ParamSpec& p : m.params) out.push_back((p.lower + p.upper) * 0.5);
    return out;
}

std::optional<HydroError> simulate_into(const ModelSpec& m, std::span<const double> params,
                                        std::span<const double> precipitation, std::span<const double> pet,
                                        std::span<double> q) {
    if (auto e = check_inputs(m, params, precipitation, pet)) return e;
    return run_into(m, params, precipitation, pet, q);
}

std::optional<HydroError> run_into(const ModelSpec& m, std::span<const double> params,
                                   std::span<const double> precipitation, std::span<const double> pet,
                                   std::span<double> q) {
    std::fill(q.begin(), q.end(), 0.0);  // the model loops start from zeros
    m.run(params, precipitation, pet, q, Tape{});
    if (auto e = scan_result(q, m.context)) return std::move(*e);
    return std::nullopt;
}

std::optional<HydroError> watch_into(const ModelSpec& m, std::span<const double> params,
                                     std::span<const double> precipitation, std::span<const double> pet,
                                     std::span<double> q, Watch& watch) {
    std::fill(q.begin(), q.end(), 0.0);
    watch.q = q;
    if (watch.ahead != nullptr && !q.empty() && !watch.make_input()) return std::nullopt;
    m.watch(params, precipitation, pet, q, Tape{{}, {}, {}, &watch});
    if (watch.failed) return std::nullopt;
    const std::size_t ran = watch.stopped ? watch.last + 1 : q.size();
    if (auto e = scan_result(q.first(ran), m.context)) return std::move(*e);
    return std::nullopt;
}

std::expected<std::vector<double>, HydroError> simulate(const ModelSpec& m, std::span<const double> params,
                                                        std::span<const double> precipitation,
                                                        std::span<const double> pet) {
    if (auto e = check_inputs(m, params, precipitation, pet)) return std::unexpected(std::move(*e));
    std::vector<double> q(precipitation.size(), 0.0);
    m.run(params, precipitation, pet, q, Tape{});
    if (auto e = scan_result(q, m.context)) return std::unexpected(std::move(*e));
    return q;
}

std::expected<Recording, HydroError> record_states(const ModelSpec& m, std::span<const double> params,
                                                   std::span<const double> precipitation,
                                                   std::span<const double> pet) {
    if (auto e = check_inputs(m, params, precipitation, pet)) return std::unexpected(std::move(*e));
    const std::size_t days = precipitation.size();
    Recording out{std::vector<double>(days, 0.0), std::vector<double>(m.states.size() * days, 0.0),
                  std::vector<double>(m.states.size(), 0.0), std::vector<double>(m.fluxes.size() * days, 0.0)};
    m.record(params, precipitation, pet, out.q, Tape{out.states, out.initial, out.fluxes});
    if (auto e = scan_result(out.q, m.context)) return std::unexpected(std::move(*e));
    return out;
}

std::expected<Recording, HydroError> record_fluxes(const ModelSpec& m, std::span<const double> params,
                                                   std::span<const double> precipitation,
                                                   std::span<const double> pet) {
    auto out = record_states(m, params, precipitation, pet);
    if (!out) return out;
    const std::size_t days = out->q.size();
    // The result scan over one column (its index is the day), naming the column.
    const auto scan = [&](std::span<const double> columns, std::size_t k, const char* name) {
        auto e = scan_result(columns.subspan(k * days, days), m.context);
        if (e) e->detail += std::string(" (") + name + ")";
        return e;
    };
    for (std::size_t k = 0; k < m.fluxes.size(); ++k)
        if (auto e = scan(out->fluxes, k, m.fluxes[k].name)) return std::unexpected(std::move(*e));
    for (std::size_t k = 0; k < m.states.size(); ++k)
        if (auto e = scan(out->states, k, m.states[k])) return std::unexpected(std::move(*e));
    return out;
}

std::expected<std::vector<BalanceTerm>, HydroError> water_balance(const ModelSpec& m, const Recording& r,
                                                                 std::span<const double> precipitation,
                                                                 std::size_t first) {
    const std::size_t days = r.q.size();
    const auto total = [&](std::span<const double> v) {
        double sum = 0.0;
        for (const double x : v.subspan(first)) sum = sum + x;
        return sum;
    };
    const auto column = [&](std::size_t k) { return std::span<const double>(r.fluxes).subspan(k * days, days); };
    // A store's content when day `first` starts: its initial value, or the end of the day before.
    const auto start = [&](std::size_t k) { return first == 0 ? r.initial[k] : r.states[k * days + first - 1]; };

    std::vector<BalanceTerm> out;
    const double rain = total(precipitation);
    double evaporation = 0.0, boundary = 0.0;
    out.push_back({"precipitation", rain});
    out.push_back({"actual_evaporation", 0.0});
    const double streamflow = total(r.q);
    out.push_back({"streamflow", streamflow});
    for (std::size_t k = 0; k < m.fluxes.size(); ++k) {
        if (m.fluxes[k].kind == FluxKind::evaporation) {
            evaporation = total(column(k));
            out[1].total = evaporation;
        } else if (m.fluxes[k].kind == FluxKind::boundary) {
            const double b = total(column(k));
            boundary = boundary + b;
            out.push_back({m.fluxes[k].name, b});
        }
    }
    double change = 0.0;
    for (std::size_t k = 0; k < m.states.size(); ++k) {
        const double weight = m.storage.empty() ? 1.0 : m.storage[k];
        change = change + weight * (r.states[k * days + days - 1] - start(k));
    }
    out.push_back({"storage_change", change});
    const double residual = (((rain + boundary) - evaporation) - streamflow) - change;
    out.push_back({"residual", residual});

    // Rounding moves a balance by a few ulps of the water that passed through and of every day's stores;
    // 1e-10 of their sum is far above that and far below any water a model could lose.
    double scale = 0.0;
    for (const BalanceTerm& term : out) scale = scale + std::fabs(term.total);
    for (std::size_t k = 0; k < m.states.size(); ++k) {
        const double weight = std::fabs(m.storage.empty() ? 1.0 : m.storage[k]);
        scale = scale + weight * std::fabs(start(k));
        for (std::size_t i = first; i < days; ++i) scale = scale + weight * std::fabs(r.states[k * days + i]);
    }
    for (const BalanceTerm& term : out)
        if (!std::isfinite(term.total))
            return std::unexpected(NumericalError{"water balance", std::string(term.name) + " total is not finite"});
    if (!std::isfinite(scale) || std::fabs(residual) > 1e-10 * scale)
        return std::unexpected(NumericalError{
            "water balance", "the balance does not close (residual " + format_f64(residual) +
                                 " mm): the inputs are beyond what the model's arithmetic can account for"});
    return out;
}

}  // namespace vardex::hydro
