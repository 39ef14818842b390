// HYMOD: a Pareto-distributed soil store, a slow linear reservoir and a cascade of three fast ones.
#include <cmath>

#include "hydro/model.hpp"
#include "hydro/routing.hpp"

namespace vardex::hydro {
namespace {

constexpr ParamSpec kParams[] = {
    {"x1", "Maximum capacity of soil reservoir (mm)", "Capacité maximale du réservoir de sol (mm)", 1.0, 1500.0},
    {"x2", "Spatial variability of soil moisture capacity (-)",
     "Variabilité spatiale de la capacité en eau du sol (-)", 0.1, 2.0},
    {"x3", "Distribution factor of fast/slow flows (-)",
     "Facteur de répartition des écoulements rapides/lents (-)", 0.01, 0.99},
    {"x4", "Delay (d)", "Délai (d)", 0.1, 5.0},
    {"x5", "Emptying constant of slow routing reservoir (-)",
     "Constante de vidange du réservoir de routage lent (-)", 1.0, 1000.0},
    {"x6", "Emptying constant of fast routing reservoir (d)",
     "Constante de vidange du réservoir de routage rapide (d)", 1.0, 10.0},
};

// Soil store, the three fast reservoirs, the slow one, and the water still in the delay.
constexpr const char* kStates[] = {"S", "F1", "F2", "F3", "L", "b"};

// Evaporation takes the full PET from the storage after the rain, at most what it holds.
constexpr FluxSpec kFluxes[] = {
    {"actual_evaporation", FluxKind::evaporation},
    {"slow_runoff", FluxKind::runoff},
    {"fast_runoff", FluxKind::runoff},
};

template <class Rec>
void run(std::span<const double> x, std::span<const double> precipitation, std::span<const double> pet,
         std::span<double> q, Tape tape) {
    const Rec record(tape, q.size());
    const double x1 = x[0], x2 = x[1], x3 = x[2], x5 = x[4], x6 = x[5];
    const double b1 = x2 + 1.0;
    const double inv_b1 = 1.0 / b1;
    const double smax = x1 / b1;
    const double slow_k = x5 * x6;  // the slow constant is a multiple of the fast one

    DelayRouting routing(x[3]);
    double s = min_nan(0.2 * x1, smax);
    double f1 = 1.0, f2 = 1.0, f3 = 1.0;
    double l = 300.0;
    const auto stores = [&] { return std::array{s, f1, f2, f3, l, routing.pending()}; };
    record.start(stores);
    for (std::size_t t = 0; t < q.size(); ++t) {
        const double p = precipitation[t];
        const double e = pet[t];

        // Capacity below which every point is full, from the storage (inverse of the Pareto curve).
        const double cs = (1.0 - std::pow(max_nan(1.0 - (b1 * s) / x1, 0.0), inv_b1)) * x1;
        // Rain beyond the largest capacity runs off at once; the rest fills the soil up to
        // Smax, and what the filled points cannot hold runs off too.
        const double er1 = max_nan((p - x1) + cs, 0.0);
        const double u = min_nan((cs + (p - er1)) / x1, 1.0);
        const double sn = (1.0 - std::pow(1.0 - u, b1)) * smax;
        const double er2 = max_nan((p - er1) - (sn - s), 0.0);
        s = max_nan(sn - e, 0.0);

        l = (1.0 - x3) * er2 + l;
        const double qs = l / slow_k;
        l = l - qs;

        f1 = (x3 * er2 + er1) + f1;
        const double o1 = f1 / x6;
        f1 = f1 - o1;
        f2 = o1 + f2;
        const double o2 = f2 / x6;
        f2 = f2 - o2;
        f3 = o2 + f3;
        const double qf = f3 / x6;
        f3 = f3 - qf;

        q[t] = routing.route(qs + qf);
        if (!record(t, stores)) break;
        record.fluxes(t, [&] { return std::array{sn - s, qs, qf}; });
    }
}

}  // namespace

extern const ModelSpec hymod{"hymod", "HYMOD simulation", kParams, kStates, run<NoRecorder>, run<Watching>,
                             run<Recorder<std::size(kStates), std::size(kFluxes)>>, kFluxes};

}  // namespace vardex::hydro
