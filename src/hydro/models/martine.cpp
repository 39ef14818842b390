// MARTINE: a surface store of fixed capacity whose overflow is split between a quadratic routing
// store and an intermediate store; the intermediate store meets the demand the surface store left,
// drains linearly and spills above its capacity into a linear groundwater store. The quadratic and
// groundwater outflows go through the two-ordinate delay.
#include <cmath>

#include "hydro/model.hpp"
#include "hydro/routing.hpp"

namespace vardex::hydro {
namespace {

constexpr ParamSpec kParams[] = {
    {"x1", "Surface reservoir capacity (mm)", "Capacité du réservoir de surface (mm)", 1.0, 2000.0},
    {"x2", "Intermediate reservoir capacity (mm)", "Capacité du réservoir intermédiaire (mm)", 1.0, 2000.0},
    {"x3", "Quadratic routing reservoir capacity (mm)", "Capacité du réservoir de routage quadratique (mm)", 0.01,
     1000.0},
    {"x4", "Groundwater emptying constant (d)", "Constante de vidange de la nappe (d)", 1.0, 500.0},
    {"x5", "Distribution coefficient (-)", "Coefficient de répartition (-)", 0.01, 0.99},
    {"x6", "Delay (d)", "Délai (d)", 0.5, 5.0},
    {"x7", "Intermediate reservoir emptying constant (d)", "Constante de vidange du réservoir intermédiaire (d)", 1.0,
     500.0},
};

// Surface, intermediate, groundwater and quadratic stores, and the water in the routing buffer.
constexpr const char* kStates[] = {"S", "I", "G", "R", "b"};

// Evaporation is the surface store's plus what the intermediate store gave up to the rest of the
// demand (at most its water). The intermediate store's drainage and overflow feed the groundwater.
constexpr FluxSpec kFluxes[] = {
    {"actual_evaporation", FluxKind::evaporation},
    {"quick_runoff", FluxKind::runoff},
    {"baseflow", FluxKind::runoff},
};

template <class Rec>
void run(std::span<const double> x, std::span<const double> precipitation, std::span<const double> pet,
         std::span<double> q, Tape tape) {
    const Rec record(tape, q.size());
    const double x1 = x[0], x2 = x[1], x3 = x[2], x4 = x[3], x5 = x[4], x7 = x[6];
    DelayRouting routing(x[5]);

    double s = x1, i = x2 * 0.5, g = 5.0, r = x3 * 0.1;
    const auto stores = [&] { return std::array{s, i, g, r, routing.pending()}; };
    record.start(stores);
    for (std::size_t t = 0; t < q.size(); ++t) {
        const double p = precipitation[t];
        const double e = pet[t];

        // The surface store keeps what fits and passes the rest on.
        const double s1 = p + s;
        const double overflow = max_nan(s1 - x1, 0.0);
        const double s2 = s1 - overflow;
        // Plain comparison: should the minimum be NaN, the store's own value is kept.
        const double es = e < s2 ? e : s2;
        s = s2 - es;

        const double r1 = x5 * overflow + r;
        const double qr = (r1 * r1) / (r1 + x3);
        r = r1 - qr;

        // The intermediate store meets the demand the surface store could not.
        const double i0 = i;
        const double i1 = max_nan(i - (e - es), 0.0);
        const double i2 = (1.0 - x5) * overflow + i1;
        const double qi = max_nan(i2 / x7, 0.0);
        const double i3 = i2 - qi;
        const double oi = max_nan(i3 - x2, 0.0);
        i = i3 - oi;

        const double g1 = (oi + qi) + g;
        const double qg = g1 / x4;
        g = g1 - qg;

        q[t] = routing.route(qr + qg);
        if (!record(t, stores)) break;
        record.fluxes(t, [&] { return std::array{es + (i0 - i1), qr, qg}; });
    }
}

}  // namespace

extern const ModelSpec martine{"martine", "MARTINE simulation", kParams, kStates, run<NoRecorder>, run<Watching>,
                               run<Recorder<std::size(kStates), std::size(kFluxes)>>, kFluxes};

}  // namespace vardex::hydro
