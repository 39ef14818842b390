// Sacramento-style soil moisture accounting: interception, an upper tension zone percolating
// into the lower zone by its deficit, a lower tension store, base flow with deep losses, a
// direct routing reservoir fed by upper-zone spill, and the two-ordinate delay.
#include "hydro/model.hpp"
#include "hydro/routing.hpp"

namespace vardex::hydro {
namespace {

constexpr ParamSpec kParams[] = {
    {"x1", "Direct routing reservoir capacity (d)", "Capacité du réservoir de routage direct (d)", 1.0, 20.0},
    {"x2", "Upper zone free-water capacity (mm)", "Capacité en eau libre de la zone supérieure (mm)", 30.0, 1000.0},
    {"x3", "Lower zone emptying constant (d)", "Constante de vidange de la zone inférieure (d)", 10.0, 500.0},
    {"x4", "Upper zone tension-water capacity (mm)", "Capacité en eau de tension de la zone supérieure (mm)", 10.0,
     500.0},
    {"x5", "Maximum percolation rate (mm/d)", "Taux de percolation maximal (mm/d)", 0.01, 20.0},
    {"x6", "Hypodermic flow emptying constant (d)", "Constante de vidange de l'écoulement hypodermique (d)", 1.0,
     100.0},
    {"x7", "Upper zone partitioning coefficient (-)", "Coefficient de partage de la zone supérieure (-)", 0.01, 0.99},
    {"x8", "Deep percolation coefficient (-)", "Coefficient de percolation profonde (-)", 1.0, 50.0},
    {"x9", "Delay (d)", "Délai (d)", 0.5, 10.0},
};

// Interception, upper zone, lower zone, lower tension, direct routing, and the delay buffer.
constexpr const char* kStates[] = {"Si", "Su", "Sl", "St", "Sr", "b"};

// Only the 1/x8 share of the lower-zone drainage reaches the stream; the rest is a deep loss
// (signed into the model, so never positive). When the lower tension store's evaporation
// (Er St / 33) outruns what it and the lower zone above x2 - 30 hold, the unmet demand is
// dropped: evaporation counts only the water that left.
constexpr FluxSpec kFluxes[] = {
    {"actual_evaporation", FluxKind::evaporation},
    {"hypodermic_runoff", FluxKind::runoff},
    {"direct_runoff", FluxKind::runoff},
    {"baseflow", FluxKind::runoff},
    {"deep_loss", FluxKind::boundary},
};

constexpr double kInterception = 3.0;  // interception capacity (mm)
constexpr double kTension = 30.0;      // lower tension threshold (mm)
constexpr double kEvapDivisor = 33.0;  // lower tension evaporation divisor (mm)

template <class Rec>
void run(std::span<const double> x, std::span<const double> precipitation, std::span<const double> pet,
         std::span<double> q, Tape tape) {
    const Rec record(tape, q.size());
    const double x1 = x[0], x2 = x[1], x3 = x[2], x4 = x[3], x5 = x[4], x6 = x[5], x7 = x[6], x8 = x[7];
    DelayRouting routing(x[8]);

    double si = 3.0, su = 10.0, sl = 100.0, st = 0.0, sr = 0.0;
    const auto stores = [&] { return std::array{si, su, sl, st, sr, routing.pending()}; };
    record.start(stores);
    for (std::size_t t = 0; t < q.size(); ++t) {
        const double p = precipitation[t];
        const double e = pet[t];

        double w = p + si;
        const double e1 = min_nan(e, w);
        w = w - e1;
        const double pn = max_nan(w - kInterception, 0.0);
        si = w - pn;

        su = su + pn;
        double er = e - e1;

        // Percolation driven by the lower zone's deficit at the start of the day. Plain
        // comparisons: a NaN demand (after an overflow) passes through unclamped.
        double perc = (su / x4) * (x5 * (1.0 - sl / x2));
        if (perc < 0.0) perc = 0.0;
        if (perc > su) perc = su;

        su = su - perc;
        const double qh = su / x6;
        su = su - qh;

        const double e2 = min_nan(min_nan(su / x4, 1.0) * er, su);
        su = su - e2;
        er = er - e2;

        const double sx = max_nan(su - x4, 0.0);
        su = su - sx;

        st = x7 * perc + st;
        const double dx = max_nan(st - kTension, 0.0);
        st = st - dx;

        sl = ((1.0 - x7) * perc + dx) + sl;

        const double st_wet = st;
        st = (er * st) / (-kEvapDivisor) + st;

        // Lower-zone water above x2 - 30 refills a tension deficit; what it cannot cover is dropped.
        double tr = 0.0;
        if (st < 0.0) {
            tr = min_nan(-st, max_nan(sl - (x2 - kTension), 0.0));
            sl = sl - tr;
            st = max_nan(st + tr, 0.0);
        }

        // Only the 1/x8 share of the lower-zone drainage reaches the stream.
        const double ql = sl / x3;
        sl = sl - ql;
        const double qb = ql / x8;

        sr = sr + sx;
        const double qe = sr / x1;
        sr = sr - qe;

        q[t] = routing.route(qh + (qe + qb));
        if (!record(t, stores)) break;
        record.fluxes(t, [&] {
            // The lower evaporation is what St lost plus what it drew from Sl to cover it.
            return std::array{(e1 + e2) + ((st_wet - st) + tr), qh, qe, qb, qb - ql};
        });
    }
}

}  // namespace

extern const ModelSpec sacramento{"sacramento", "SACRAMENTO simulation", kParams, kStates, run<NoRecorder>,
                                  run<Watching>, run<Recorder<std::size(kStates), std::size(kFluxes)>>, kFluxes};

}  // namespace vardex::hydro
