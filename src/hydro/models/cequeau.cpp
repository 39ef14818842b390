// CEQUEAU: a soil store that evaporates, infiltrates above a threshold, drains through an upper
// (threshold) and a lower (linear) lateral outlet and overflows above its capacity; a groundwater
// store with a threshold and a linear outlet that evaporates what demand the soil left. The five
// drainage flows go through the two-ordinate delay.
#include <cmath>

#include "hydro/model.hpp"
#include "hydro/routing.hpp"

namespace vardex::hydro {
namespace {

constexpr ParamSpec kParams[] = {
    {"x1", "Infiltration threshold (mm)", "Seuil d'infiltration (mm)", 0.0, 3000.0},
    {"x2", "Soil reservoir drainage threshold (mm)", "Seuil de drainage du réservoir de sol (mm)", 1.0, 3000.0},
    {"x3", "Infiltration constant (-)", "Constante d'infiltration (-)", 1.0, 100.0},
    {"x4", "Upper lateral drainage constant (-)", "Constante de drainage latéral supérieur (-)", 1.0, 50.0},
    {"x5", "Max soil reservoir capacity (mm)", "Capacité maximale du réservoir de sol (mm)", 1.0, 8000.0},
    {"x6", "Delay (days)", "Délai (days)", 0.1, 20.0},
    {"x7", "Groundwater drainage threshold (mm)", "Seuil de drainage de la nappe (mm)", 0.01, 500.0},
    {"x8", "Lower lateral drainage constant (-)", "Constante de drainage latéral inférieur (-)", 1.0, 1000.0},
    {"x9", "Lower groundwater drainage constant (-)", "Constante de drainage inférieur de la nappe (-)", 1.0,
     3000.0},
};

// Soil store, groundwater store, and the runoff still in the routing buffer.
constexpr const char* kStates[] = {"S", "N", "b"};

// Evaporation is what the soil and then the groundwater gave up; the five drainage flows as they
// leave their stores. Every draw is limited by the water there is, so nothing enters or leaves
// any other way.
constexpr FluxSpec kFluxes[] = {
    {"actual_evaporation", FluxKind::evaporation},
    {"overflow", FluxKind::runoff},
    {"upper_lateral_drainage", FluxKind::runoff},
    {"lower_lateral_drainage", FluxKind::runoff},
    {"upper_groundwater_drainage", FluxKind::runoff},
    {"lower_groundwater_drainage", FluxKind::runoff},
};

template <class Rec>
void run(std::span<const double> x, std::span<const double> precipitation, std::span<const double> pet,
         std::span<double> q, Tape tape) {
    const Rec record(tape, q.size());
    const double x1 = x[0], x2 = x[1], x3 = x[2], x4 = x[3], x5 = x[4], x7 = x[6], x8 = x[7], x9 = x[8];
    DelayRouting routing(x[5]);

    // The soil store starts at 500 mm whatever its capacity; a smaller x5 overflows on day one.
    double s = 500.0;
    double n = x5 * 0.2;
    const auto stores = [&] { return std::array{s, n, routing.pending()}; };
    record.start(stores);
    for (std::size_t t = 0; t < q.size(); ++t) {
        const double p = precipitation[t];
        const double e = pet[t];

        // Soil evaporation reaches the full demand once the store is half full.
        const double s1 = p + s;
        const double es = min_nan((s1 + s1) / x5, 1.0) * e;
        const double e1 = s1 < es ? s1 : es;  // the demand when the comparison fails
        const double s2 = s1 - e1;

        const double infil = max_nan(s2 - x1, 0.0) / x3;
        const double s3 = s2 - infil;
        const double qu = max_nan(s3 - x2, 0.0) / x4;
        const double s4 = s3 - qu;
        const double ql = s4 / (x8 * x4);
        const double s5 = s4 - ql;
        const double qo = max_nan(s5 - x5, 0.0);
        s = s5 - qo;

        const double n1 = infil + n;
        const double qnu = max_nan(n1 - x7, 0.0) / (x4 * x9);
        const double n2 = n1 - qnu;
        const double qnl = n2 / (((x8 * x4) * x9) * x9);
        const double n3 = n2 - qnl;

        // The groundwater only sees the demand the soil did not meet.
        const double en = min_nan(n3 / x7, 1.0) * (e - e1);
        const double e2 = n3 < en ? n3 : en;
        n = n3 - e2;

        q[t] = routing.route((((qo + qu) + ql) + qnu) + qnl);
        if (!record(t, stores)) break;
        record.fluxes(t, [&] { return std::array{e1 + e2, qo, qu, ql, qnu, qnl}; });
    }
}

}  // namespace

extern const ModelSpec cequeau{"cequeau", "CEQUEAU simulation", kParams, kStates, run<NoRecorder>, run<Watching>,
                               run<Recorder<std::size(kStates), std::size(kFluxes)>>, kFluxes};

}  // namespace vardex::hydro
