// PDM: Pareto-distributed soil storage capacities, drainage into a cubic groundwater store, two
// linear reservoirs for the surface runoff, then the two-ordinate delay.
#include <cmath>

#include "hydro/model.hpp"
#include "hydro/routing.hpp"

namespace vardex::hydro {
namespace {

constexpr ParamSpec kParams[] = {
    {"x1", "Maximum capacity of production reservoir (mm)", "Capacité maximale du réservoir de production (mm)",
     10.0, 2000.0},
    {"x2", "Spatial variability of soil moisture capacity (-)",
     "Variabilité spatiale de la capacité en eau du sol (-)", 0.01, 2.0},
    {"x3", "Drainage threshold as a fraction of maximum storage (-)",
     "Seuil de drainage en fraction du stockage maximal (-)", 0.01, 0.99},
    {"x4", "Routing delay (d)", "Délai de routage (d)", 0.5, 5.0},
    {"x5", "Cubic ground reservoir characteristic storage (mm)",
     "Stockage caractéristique du réservoir souterrain cubique (mm)", 1.0, 2000.0},
    {"x6", "Linear routing reservoirs emptying constant (d)",
     "Constante de vidange des réservoirs de routage linéaires (d)", 1.0, 30.0},
    {"x7", "Rainfall correction factor (-)", "Facteur de correction de la pluie (-)", 0.5, 1.5},
    {"x8", "Drainage time constant (d)", "Constante de temps de drainage (d)", 1.0, 100.0},
};

// Soil storage, groundwater, the two surface reservoirs, and what the delay still holds.
constexpr const char* kStates[] = {"S", "G", "R1", "R2", "b"};

// The rainfall correction x7 adds (or, below 1, removes) water: rain_correction is Pc - P.
// Evaporation is what the storage gave up, at most the water it held after the rain.
constexpr FluxSpec kFluxes[] = {
    {"actual_evaporation", FluxKind::evaporation},
    {"surface_runoff", FluxKind::runoff},
    {"baseflow", FluxKind::runoff},
    {"rain_correction", FluxKind::boundary},
};

template <class Rec>
void run(std::span<const double> x, std::span<const double> precipitation, std::span<const double> pet,
         std::span<double> q, Tape tape) {
    const Rec record(tape, q.size());
    const double x1 = x[0], x2 = x[1], x3 = x[2], x5 = x[4], x6 = x[5], x7 = x[6], x8 = x[7];

    const double b1 = x2 + 1.0;
    const double inv_b1 = 1.0 / b1;
    const double smax = x1 / b1;  // mean storage capacity
    const double st = x3 * smax;  // drainage threshold
    DelayRouting routing(x[3]);

    double s = min_nan(0.2 * x1, smax);
    double g = 20.0;
    double r1 = 30.0, r2 = 30.0;
    const auto stores = [&] { return std::array{s, g, r1, r2, routing.pending()}; };
    record.start(stores);
    for (std::size_t t = 0; t < q.size(); ++t) {
        const double pc = precipitation[t] * x7;
        const double e = pet[t];

        // Critical capacity: the point capacity below which every store is full.
        const double cs = (1.0 - std::pow(max_nan(1.0 - (b1 * s) / x1, 0.0), inv_b1)) * x1;

        // Rain beyond the largest capacity runs off whatever the storage.
        const double v1 = max_nan((pc - x1) + cs, 0.0);
        const double pc_rest = pc - v1;

        const double u = min_nan((cs + pc_rest) / x1, 1.0);
        const double sn = (1.0 - std::pow(1.0 - u, b1)) * smax;

        const double y = 1.0 - (sn / x1) * b1;  // relative storage deficit
        const double ea = (1.0 - y * y) * e;
        const double s1 = max_nan(sn - ea, 0.0);

        const double dr = s1 > st ? (s1 - st) / x8 : 0.0;

        // Rain on the saturated fraction; the clamp only absorbs rounding.
        const double v2 = max_nan(pc_rest - (sn - s), 0.0);
        s = s1 - dr;

        r1 = (v1 + v2) + r1;
        const double o = r1 / x6;
        r1 = r1 - o;
        r2 = o + r2;
        const double qs = r2 / x6;
        r2 = r2 - qs;

        const double gd = dr + g;
        const double gr = gd / x5;
        const double qb = (1.0 - std::pow(1.0 + gr * gr, -0.5)) * gd;
        g = gd - qb;

        q[t] = routing.route(qs + qb);
        if (!record(t, stores)) break;
        record.fluxes(t, [&] { return std::array{sn - s1, qs, qb, pc - precipitation[t]}; });
    }
}

}  // namespace

extern const ModelSpec pdm{"pdm", "PDM simulation", kParams, kStates, run<NoRecorder>, run<Watching>,
                           run<Recorder<std::size(kStates), std::size(kFluxes)>>, kFluxes};

}  // namespace vardex::hydro
