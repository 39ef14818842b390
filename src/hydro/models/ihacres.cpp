// IHACRES: a wetness index driven by rain and dried with a PET-dependent time constant turns
// rain into effective rainfall, split between a quick and a slow linear store (explicit Euler
// steps); their summed outflow goes through the two-ordinate pure delay.
#include <cmath>

#include "hydro/model.hpp"
#include "hydro/routing.hpp"

namespace vardex::hydro {
namespace {

constexpr ParamSpec kParams[] = {
    {"x1", "Mass-balance forcing parameter 1/C (-)", "Paramètre de forçage du bilan de masse 1/C (-)", 1.0, 1000.0},
    {"x2", "Fast-flow fraction of effective rainfall (-)", "Fraction d'écoulement rapide de la pluie efficace (-)",
     0.01, 0.99},
    {"x3", "Fast routing reservoir time constant; >= 1 d for stable Euler scheme (d)",
     "Constante de temps du réservoir de routage rapide; >= 1 d pour un schéma d'Euler stable (d)", 1.0, 100.0},
    {"x4", "Slow routing multiplier; slow time constant = x3*x4 (-)",
     "Multiplicateur de routage lent; constante de temps lente = x3*x4 (-)", 1.0, 1000.0},
    {"x5", "Pure delay (d)", "Délai pur (d)", 0.5, 5.0},
    {"x6", "PET modulation factor f (-)", "Facteur de modulation de l'ETP f (-)", 0.1, 10.0},
    {"x7", "Characteristic catchment drying constant Tw (-)", "Constante caractéristique d'assèchement du bassin Tw (-)",
     0.1, 10.0},
};

// Wetness index (dimensionless), quick and slow stores, and the flow still in the routing buffer.
constexpr const char* kStates[] = {"s", "Fq", "Fs", "b"};
constexpr double kStorage[] = {0.0, 1.0, 1.0, 1.0};  // the index holds no water

// The model's only loss is the rain that does not become effective rainfall; it has no other
// evaporation. While the mean wetness index exceeds 1 the effective rainfall exceeds the rain:
// the loss is then 0 and the surplus is water the loss module creates.
constexpr FluxSpec kFluxes[] = {
    {"actual_evaporation", FluxKind::evaporation},
    {"quick_runoff", FluxKind::runoff},
    {"slow_runoff", FluxKind::runoff},
    {"effective_rainfall_excess", FluxKind::boundary},
};

template <class Rec>
void run(std::span<const double> x, std::span<const double> precipitation, std::span<const double> pet,
         std::span<double> q, Tape tape) {
    const Rec record(tape, q.size());
    const double x1 = x[0], x2 = x[1], x3 = x[2], x4 = x[3], x6 = x[5], x7 = x[6];
    DelayRouting routing(x[4]);

    double s = 0.5;
    double fq = 5.0;
    double fs = 50.0;
    const auto stores = [&] { return std::array{s, fq, fs, routing.pending()}; };
    record.start(stores);
    for (std::size_t t = 0; t < q.size(); ++t) {
        const double p = precipitation[t];
        const double e = pet[t];

        // Drying time >= 1: high demand dries the index faster; no clamp on the index itself.
        const double tau = std::exp(max_nan(x7 - e / x6, 0.0));
        const double s_new = (p / x1 + s) - s / tau;
        // Effective rainfall uses the mean of the old and new index.
        const double u = ((s_new + s) * 0.5) * p;
        s = s_new;

        const double f = x2 * u + fq;
        const double qq = f / x3;
        fq = f - qq;

        const double g = (1.0 - x2) * u + fs;
        const double qs = g / (x4 * x3);
        fs = g - qs;

        q[t] = routing.route(qs + qq);
        if (!record(t, stores)) break;
        record.fluxes(t, [&] { return std::array{max_nan(p - u, 0.0), qq, qs, max_nan(u - p, 0.0)}; });
    }
}

}  // namespace

extern const ModelSpec ihacres{"ihacres", "IHACRES simulation", kParams, kStates, run<NoRecorder>, run<Watching>,
                               run<Recorder<std::size(kStates), std::size(kFluxes)>>, kFluxes, kStorage};

}  // namespace vardex::hydro
