// GARDENIA: a surface store of fixed capacity that evaporates and overflows into an intermediate
// store, which drains quadratically to the river and percolates into a linear underground store;
// both river flows go through the two-ordinate delay.
#include <cmath>

#include "hydro/model.hpp"
#include "hydro/routing.hpp"

namespace vardex::hydro {
namespace {

constexpr ParamSpec kParams[] = {
    {"x1", "Surface reservoir capacity (mm)", "Capacité du réservoir de surface (mm)", 1.0, 1000.0},
    {"x2", "Linear percolation constant (-)", "Constante de percolation linéaire (-)", 1.0, 1000.0},
    {"x3", "Lateral emptying parameter of soil reservoir (-)",
     "Paramètre de vidange latérale du réservoir de sol (-)", 0.01, 1000.0},
    {"x4", "Linear emptying constant of underground reservoir (d)",
     "Constante de vidange linéaire du réservoir souterrain (d)", 1.0, 500.0},
    {"x5", "PET correction coefficient (-)", "Coefficient de correction de l'ETP (-)", 0.1, 2.0},
    {"x6", "Delay (d)", "Délai (d)", 0.5, 5.0},
};

// Surface, intermediate and underground stores, and the water still in the delay.
constexpr const char* kStates[] = {"S", "H", "G", "b"};

// Evaporation is what the corrected demand took from the surface store (at most its water); the
// intermediate store's percolation feeds the underground store.
constexpr FluxSpec kFluxes[] = {
    {"actual_evaporation", FluxKind::evaporation},
    {"quick_runoff", FluxKind::runoff},
    {"baseflow", FluxKind::runoff},
};

template <class Rec>
void run(std::span<const double> x, std::span<const double> precipitation, std::span<const double> pet,
         std::span<double> q, Tape tape) {
    const Rec record(tape, q.size());
    const double x1 = x[0], x2 = x[1], x3 = x[2], x4 = x[3], x5 = x[4];

    DelayRouting routing(x[5]);
    double s = x1;  // starts full: the first rain overflows at once
    double h = 10.0;
    double g = 80.0;
    const auto stores = [&] { return std::array{s, h, g, routing.pending()}; };
    record.start(stores);
    for (std::size_t t = 0; t < q.size(); ++t) {
        const double p = precipitation[t];
        const double e = pet[t];

        const double s1 = p + s;
        const double overflow = max_nan(s1 - x1, 0.0);
        const double s2 = s1 - overflow;
        // The corrected demand only takes what the surface store holds.
        s = max_nan(s2 - e * x5, 0.0);

        const double h1 = overflow + h;
        const double qh = (h1 * h1) / ((x3 * x2) + h1);
        const double h2 = h1 - qh;
        const double perc = h2 / x2;
        h = h2 - perc;

        const double g1 = perc + g;
        const double qg = g1 / x4;
        g = g1 - qg;

        q[t] = routing.route(qh + qg);
        if (!record(t, stores)) break;
        record.fluxes(t, [&] { return std::array{s2 - s, qh, qg}; });
    }
}

}  // namespace

extern const ModelSpec gardenia{"gardenia", "GARDENIA simulation", kParams, kStates, run<NoRecorder>, run<Watching>,
                                run<Recorder<std::size(kStates), std::size(kFluxes)>>, kFluxes};

}  // namespace vardex::hydro
