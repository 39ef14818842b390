#include "hydro/registry.hpp"

namespace vardex::hydro {

// One line per model, in the order of the Python `hydro` module.
#define VARDEX_HYDRO_MODELS(X) \
    X(gr4j)

#define VARDEX_DECLARE(name) extern const ModelSpec name;
VARDEX_HYDRO_MODELS(VARDEX_DECLARE)
#undef VARDEX_DECLARE

namespace {
#define VARDEX_ENTRY(name) &name,
constexpr const ModelSpec* kModels[] = {VARDEX_HYDRO_MODELS(VARDEX_ENTRY)};
#undef VARDEX_ENTRY
}  // namespace

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

std::expected<std::vector<double>, HydroError> simulate(const ModelSpec& m, std::span<const double> params,
                                                        std::span<const double> precipitation,
                                                        std::span<const double> pet) {
    if (auto e = check_param_count(m.params.size(), params)) return std::unexpected(*e);
    if (auto e = check_bounds(params, m.params)) return std::unexpected(*e);
    if (precipitation.size() != pet.size())
        return std::unexpected(HydroLengthMismatch{precipitation.size(), pet.size()});
    if (precipitation.empty()) return std::unexpected(EmptyInput{"precipitation"});
    if (auto e = scan_non_finite(precipitation, "precipitation")) return std::unexpected(*e);
    if (auto e = scan_non_finite(pet, "pet")) return std::unexpected(*e);
    if (auto e = scan_negative(precipitation, "precipitation")) return std::unexpected(*e);
    if (auto e = scan_negative(pet, "pet")) return std::unexpected(*e);

    std::vector<double> q(precipitation.size(), 0.0);
    m.run(params, precipitation, pet, q);
    if (auto e = scan_result(q, m.context)) return std::unexpected(std::move(*e));
    return q;
}

}  // namespace vardex::hydro
