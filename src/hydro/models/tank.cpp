// Tank: four tanks in series, side outlets on the upper three, evaporation from the top down.
#include "hydro/model.hpp"
#include "hydro/routing.hpp"

namespace vardex::hydro {
namespace {

constexpr ParamSpec kParams[] = {
    {"x1", "Upper outflow threshold of surface reservoir (mm)",
     "Seuil de vidange supérieur du réservoir de surface (mm)", 1.0, 1000.0},
    {"x2", "Lower outflow threshold (mm)", "Seuil de vidange inférieur (mm)", 1.0, 1000.0},
    {"x3", "Fast emptying constant of surface reservoir (d)",
     "Constante de vidange rapide du réservoir de surface (d)", 1.0, 100.0},
    {"x4", "Intermediate emptying multiplier of upper soil reservoir (-)",
     "Multiplicateur de vidange intermédiaire du réservoir de sol supérieur (-)", 1.0, 100.0},
    {"x5", "Delay (d)", "Délai (d)", 0.5, 5.0},
    {"x6", "PET correction coefficient (-)", "Coefficient de correction de l'ETP (-)", 0.1, 2.0},
    {"x7", "Slow emptying multiplier of lower soil reservoir (-)",
     "Multiplicateur de vidange lente du réservoir de sol inférieur (-)", 1.0, 100.0},
};

// The four tanks from the top down, and the water still in the delay.
constexpr const char* kStates[] = {"T1", "T2", "T3", "T4", "b"};

// The side outlets of the upper three tanks and the bottom tank's outlet, from the top down.
constexpr FluxSpec kFluxes[] = {
    {"actual_evaporation", FluxKind::evaporation},
    {"upper_surface_runoff", FluxKind::runoff},
    {"lower_surface_runoff", FluxKind::runoff},
    {"intermediate_runoff", FluxKind::runoff},
    {"sub_base_runoff", FluxKind::runoff},
    {"baseflow", FluxKind::runoff},
};

template <class Rec>
void run(std::span<const double> x, std::span<const double> precipitation, std::span<const double> pet,
         std::span<double> q, Tape tape) {
    const Rec record(tape, q.size());
    const double x1 = x[0], x2 = x[1], x6 = x[5], x7 = x[6];
    // Each lower tank drains more slowly than the one above it.
    const double k1 = x[2];
    const double k2 = k1 * x[3];
    const double k3 = k2 * x7;
    const double k4 = k3 * x7;
    const double upper = x1 + x2;  // the top tank's upper side outlet

    DelayRouting routing(x[4]);
    double t1 = 10.0, t2 = 10.0, t3 = 10.0, t4 = 10.0;
    const auto stores = [&] { return std::array{t1, t2, t3, t4, routing.pending()}; };
    record.start(stores);
    for (std::size_t t = 0; t < q.size(); ++t) {
        // Demand still unmet, passed down from tank to tank.
        const double demand = pet[t] * x6;
        double ec = demand;

        // Every outlet acts on what the outlets above it left; evaporation on what all of them left.
        double h = precipitation[t] + t1;
        const double y1 = max_nan((h - upper) / k1, 0.0);
        h = h - y1;
        const double y2 = max_nan((h - x2) / k1, 0.0);
        h = h - y2;
        const double z1 = h / k1;
        h = h - z1;
        double ev = min_nan(ec, h);
        t1 = h - ev;
        ec = ec - ev;

        h = z1 + t2;
        const double y3 = max_nan((h - x2) / k2, 0.0);
        h = h - y3;
        const double z2 = h / k2;
        h = h - z2;
        ev = min_nan(ec, h);
        t2 = h - ev;
        ec = ec - ev;

        h = z2 + t3;
        const double y4 = max_nan((h - x2) / k3, 0.0);
        h = h - y4;
        const double z3 = h / k3;
        h = h - z3;
        ev = min_nan(ec, h);
        t3 = h - ev;
        ec = ec - ev;

        // Demand the bottom tank cannot meet is dropped.
        h = z3 + t4;
        const double y5 = h / k4;
        h = h - y5;
        const double ev4 = min_nan(ec, h);
        t4 = h - ev4;

        q[t] = routing.route((((y2 + y1) + y3) + y4) + y5);
        if (!record(t, stores)) break;
        record.fluxes(t, [&] { return std::array{(demand - ec) + ev4, y1, y2, y3, y4, y5}; });
    }
}

}  // namespace

extern const ModelSpec tank{"tank", "TANK simulation", kParams, kStates, run<NoRecorder>, run<Watching>,
                            run<Recorder<std::size(kStates), std::size(kFluxes)>>, kFluxes};

}  // namespace vardex::hydro
