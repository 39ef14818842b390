// NAM: surface and soil reservoirs, a groundwater table held as a depth, two linear-reservoir
// chains for interflow and overland flow, and the two-ordinate delay on the summed runoff.
#include <cmath>

#include "hydro/model.hpp"
#include "hydro/routing.hpp"

namespace vardex::hydro {
namespace {

constexpr ParamSpec kParams[] = {
    {"x1", "Emptying threshold of the ground reservoir (mm)", "Seuil de vidange du réservoir souterrain (mm)", 1.0,
     1000.0},
    {"x2", "Emptying constant of routing reservoirs (d)", "Constante de vidange des réservoirs de routage (d)", 1.0,
     100.0},
    {"x3", "Sub-surface flow constant (-)", "Constante d'écoulement hypodermique (-)", 1.0, 100.0},
    {"x4", "Delay (d)", "Délai (d)", 0.5, 10.0},
    {"x5", "Percolation constant (-)", "Constante de percolation (-)", 0.01, 0.99},
    {"x6", "Emptying constant of the ground reservoir (d)", "Constante de vidange du réservoir souterrain (d)", 1.0,
     500.0},
    {"x7", "Maximum capacity of the soil reservoir (mm)", "Capacité maximale du réservoir de sol (mm)", 1.0, 1000.0},
    {"x8", "Surface flow constant (-)", "Constante d'écoulement de surface (-)", 1.0, 100.0},
    {"x9", "Maximum capacity of the surface reservoir (mm)", "Capacité maximale du réservoir de surface (mm)", 1.0,
     1000.0},
    {"x10", "Capillary rise parameter (mm)", "Paramètre de remontée capillaire (mm)", 0.01, 10.0},
};

// Surface and soil reservoirs, the interflow and overland routing pairs, the groundwater depth
// and what the delay still holds.
constexpr const char* kStates[] = {"U", "L", "Ri1", "Ri2", "Ro1", "Ro2", "Dg", "b"};

// Dg is a depth below the surface: the groundwater it stands for counts with weight -1.
constexpr double kStorage[] = {1.0, 1.0, 1.0, 1.0, 1.0, 1.0, -1.0, 1.0};
static_assert(std::size(kStorage) == std::size(kStates));

// Soil water above x7 is cut off and leaves the balance, except the part that infiltration alone
// above x7 already sent on to the groundwater. Groundwater overflow is the water above the
// surface when the table rises there.
constexpr FluxSpec kFluxes[] = {
    {"actual_evaporation", FluxKind::evaporation},
    {"interflow", FluxKind::runoff},
    {"overland_flow", FluxKind::runoff},
    {"baseflow", FluxKind::runoff},
    {"groundwater_overflow", FluxKind::runoff},
    {"soil_excess_lost", FluxKind::boundary},
};

// Shallowest groundwater depth used for capillary rise, and the depth after the table reaches the surface.
constexpr double kMinDepth = 0.1;

template <class Rec>
void run(std::span<const double> x, std::span<const double> precipitation, std::span<const double> pet,
         std::span<double> q, Tape tape) {
    const Rec record(tape, q.size());
    const double x1 = x[0], x2 = x[1], x3 = x[2], x4 = x[3], x5 = x[4];
    const double x6 = x[5], x7 = x[6], x8 = x[7], x9 = x[8], x10 = x[9];

    DelayRouting routing(x4);
    double u = x9;
    double l = x7 / 2.0;
    double ri1 = 0.0, ri2 = 0.0, ro1 = 0.0, ro2 = 0.0;
    double dg = 50.0;

    const auto stores = [&] { return std::array{u, l, ri1, ri2, ro1, ro2, dg, routing.pending()}; };
    record.start(stores);
    for (std::size_t t = 0; t < q.size(); ++t) {
        const double p = precipitation[t];
        const double e = pet[t];

        const double w = p + u;
        const double qif = min_nan(w, (w * (l / x7)) / x3);
        const double up = (w - qif) - e;

        ri1 = ri1 + qif;
        const double o1 = ri1 / x2;
        ri1 = ri1 - o1;
        ri2 = ri2 + o1;
        const double qi = ri2 / x2;
        ri2 = ri2 - qi;

        // Unmet evaporation, overland flow, recharge and infiltration of the surface reservoir.
        double ed = 0.0, qof = 0.0, g = 0.0, dl = 0.0;
        double soil_to_ground = 0.0;
        if (up < 0.0) {
            u = 0.0;
            ed = -up;
        } else if (up > x9) {
            u = x9;
            const double xs = up - x9;
            if (xs > 0.0) {
                qof = ((l * xs) / x7) / x8;
                const double xr = xs - qof;
                if (l / x7 > x5) g = (l / x7 - x5) * xr / (1.0 - x5);
                dl = xr - g;
                // Infiltration beyond the soil capacity on its own goes on to the groundwater.
                if (dl > x7) {
                    soil_to_ground = l - x7 + dl;
                    g = g + soil_to_ground;
                }
            }
        } else {
            // 0 <= U' <= x9, and also a NaN U', which then reaches the output.
            u = up;
        }

        ro1 = ro1 + qof;
        const double o2 = ro1 / x2;
        ro1 = ro1 - o2;
        ro2 = ro2 + o2;
        const double qo = ro2 / x2;
        ro2 = ro2 - qo;

        const double d1 = dg - g;
        const double qb = d1 <= x1 ? (x1 - d1) / x6 : 0.0;
        const double d2 = d1 + qb;
        const double qx = d2 <= 0.0 ? kMinDepth - d2 : 0.0;

        const double l_wet = l + dl;
        double lp = max_nan((l + dl) - (ed * (l + dl)) / x7, 0.0);
        const double lp_uncut = lp;
        lp = min_nan(x7, lp);

        const double v = d2 > 0.0 ? d2 : kMinDepth;
        const double cr = min_nan(x7 - lp, (x10 / v) * (x10 / v) * std::sqrt(1.0 - lp / x7));
        l = lp + cr;
        dg = cr + v;

        const double runoff = qi + (qo + (qb + qx));
        q[t] = routing.route(runoff);
        if (!record(t, stores)) break;
        record.fluxes(t, [&] {
            // The soil loses to the atmosphere its share of the demand the surface left unmet.
            const double evaporation = (e - ed) + (l_wet - lp_uncut);
            return std::array{evaporation, qi, qo, qb, qx, soil_to_ground - (lp_uncut - lp)};
        });
    }
}

}  // namespace

extern const ModelSpec nam{"nam", "NAM simulation", kParams, kStates, run<NoRecorder>, run<Watching>,
                           run<Recorder<std::size(kStates), std::size(kFluxes)>>, kFluxes, kStorage};

}  // namespace vardex::hydro
