// Wageningen: soil reservoir with percolation above a threshold and capillary rise below it,
// cosine-reduced evaporation, fast and slow linear reservoirs split by the slow store's filling.
#include <cmath>

#include "hydro/model.hpp"
#include "hydro/routing.hpp"

namespace vardex::hydro {
namespace {

constexpr ParamSpec kParams[] = {
    {"x1", "Percolation emptying threshold (mm)", "Seuil de vidange par percolation (mm)", 1.0, 500.0},
    {"x2", "Maximum soil reservoir capacity (mm)", "Capacité maximale du réservoir de sol (mm)", 10.0, 2000.0},
    {"x3", "Infiltration emptying constant (mm)", "Constante de vidange par infiltration (mm)", 0.1, 1000.0},
    {"x4", "Capillary rise parameter (d)", "Paramètre de remontée capillaire (d)", 1.0, 1000.0},
    {"x5", "Flow dissociation parameter (mm)", "Paramètre de dissociation des écoulements (mm)", 0.1, 500.0},
    {"x6", "Fast routing emptying constant (d)", "Constante de vidange du routage rapide (d)", 0.5, 50.0},
    {"x7", "Slow routing emptying multiplier (-)", "Multiplicateur de vidange du routage lent (-)", 1.0, 50.0},
    {"x8", "Delay (d)", "Délai (d)", 0.5, 5.0},
};

// Soil, fast and slow routing reservoirs, and the runoff still in the routing buffer.
constexpr const char* kStates[] = {"S", "Rf", "Rs", "b"};

// Capillary rise feeds the soil from the slow store without taking the water out of it: that
// water comes from outside the stores.
constexpr FluxSpec kFluxes[] = {
    {"actual_evaporation", FluxKind::evaporation},
    {"fast_runoff", FluxKind::runoff},
    {"slow_runoff", FluxKind::runoff},
    {"capillary_supply", FluxKind::boundary},
};

constexpr double kHalfPi = 1.5707963267948966;

template <class Rec>
void run(std::span<const double> x, std::span<const double> precipitation, std::span<const double> pet,
         std::span<double> q, Tape tape) {
    const Rec record(tape, q.size());
    const double x1 = x[0], x2 = x[1], x3 = x[2], x4 = x[3], x5 = x[4], x6 = x[5], x7 = x[6];
    DelayRouting routing(x[7]);

    double s = 30.0;
    double rf = 0.0;
    double rs = 200.0;
    const auto stores = [&] { return std::array{s, rf, rs, routing.pending()}; };
    record.start(stores);
    for (std::size_t t = 0; t < q.size(); ++t) {
        const double p = precipitation[t];
        const double e = pet[t];

        // Drainage above the threshold takes at most the water there is; below it the slow
        // store feeds the soil by capillary rise without losing that water itself.
        double b = p + s;
        double dn = 0.0, cr = 0.0;
        if (b >= x1) {
            dn = ((b - x1) / x3) * (b / x2);
            if (dn > b) dn = b;
        } else {
            cr = (x1 - b) * (rs / x4);
        }
        b = (b + cr) - dn;

        const double evap = b >= x1 ? e : e * std::cos(((x1 - b) / x1) * kHalfPi);
        s = max_nan(b - evap, 0.0);  // what evaporated is b - s

        // The split uses the slow store as it was at the start of the day.
        const double f = min_nan(rs / x5, 1.0);
        rs = (1.0 - f) * dn + rs;

        rf = f * dn + rf;
        // Neither linear store releases more than it holds (x6 and x7 x6 may be below a day).
        double qf = rf / x6;
        if (qf > rf) qf = rf;
        rf = rf - qf;

        double qs = rs / (x7 * x6);
        if (qs > rs) qs = rs;
        rs = rs - qs;

        q[t] = routing.route(qf + qs);
        if (!record(t, stores)) break;
        record.fluxes(t, [&] { return std::array{b - s, qf, qs, cr}; });
    }
}

}  // namespace

extern const ModelSpec wageningen{"wageningen", "WAGENINGEN simulation", kParams, kStates, run<NoRecorder>,
                                  run<Watching>, run<Recorder<std::size(kStates), std::size(kFluxes)>>, kFluxes};

}  // namespace vardex::hydro
