// TOPMODEL: an interception store, a groundwater storage index whose level sets through two
// logistic curves the saturation-excess share of effective rain and a groundwater evaporation
// term, an exponential base flow, a quadratic routing store, and the two-ordinate delay.
#include <cmath>

#include "hydro/model.hpp"
#include "hydro/routing.hpp"

namespace vardex::hydro {
namespace {

constexpr ParamSpec kParams[] = {
    {"x1", "Quadratic routing reservoir capacity (mm)", "Capacité du réservoir de routage quadratique (mm)", 1.0,
     1000.0},
    {"x2", "Exponential groundwater drainage parameter (mm)", "Paramètre de drainage exponentiel de la nappe (mm)",
     0.1, 50.0},
    {"x3", "Interception reservoir capacity (mm)", "Capacité du réservoir d'interception (mm)", 0.1, 100.0},
    {"x4", "Routing delay (d)", "Délai de routage (d)", 0.5, 10.0},
    {"x5", "Topographic index distribution scale parameter (mm)",
     "Paramètre d'échelle de la distribution de l'indice topographique (mm)", 1.0, 200.0},
    {"x6", "Topographic index sigmoid offset (-)", "Décalage de la sigmoïde de l'indice topographique (-)", -10.0,
     10.0},
    {"x7", "Groundwater PET sigmoid offset (-)", "Décalage de la sigmoïde d'ETP de la nappe (-)", -10.0, 10.0},
};

// Interception store, groundwater storage index (negative is a deficit), quadratic routing
// store, and the water still in the delay.
constexpr const char* kStates[] = {"A", "B", "R", "b"};

// B is water above a reference level: recharge raises it, base flow lowers it, so it counts as
// stored water (weight 1) whatever its sign. The groundwater evaporation term is added to B, so
// that water enters the model; the only evaporation is the interception store's.
constexpr FluxSpec kFluxes[] = {
    {"actual_evaporation", FluxKind::evaporation},
    {"quick_runoff", FluxKind::runoff},
    {"baseflow", FluxKind::runoff},
    {"groundwater_evaporation_gain", FluxKind::boundary},
};

template <class Rec>
void run(std::span<const double> x, std::span<const double> precipitation, std::span<const double> pet,
         std::span<double> q, Tape tape) {
    const Rec record(tape, q.size());
    const double x1 = x[0], x2 = x[1], x3 = x[2], x5 = x[4], x6 = x[5], x7 = x[6];

    DelayRouting routing(x[3]);
    double a = 10.0;
    double b = -50.0;
    double r = x1 * 0.2;
    const auto stores = [&] { return std::array{a, b, r, routing.pending()}; };
    record.start(stores);
    for (std::size_t t = 0; t < q.size(); ++t) {
        const double p = precipitation[t];
        const double e = pet[t];

        // Interception meets the demand first; what exceeds its capacity is effective rain.
        // The minimum keeps the store's water when the comparison fails.
        const double a1 = p + a;
        const double ei = e < a1 ? e : a1;
        const double a2 = a1 - ei;
        const double pe = max_nan(a2 - x3, 0.0);
        a = a2 - pe;
        const double er = e - ei;

        // The start-of-day index sets the saturated share; the rest recharges the index.
        // b and b1 are never NaN (nor +inf), so both divisors lie in [1, inf]: a zero pe or er
        // divided by one is that same zero, and the exp is skipped.
        const double qs = pe == 0.0 ? pe : pe / (std::exp(x6 - b / x5) + 1.0);
        const double b1 = (pe - qs) + b;
        // The evaporation term is added to the index, as calibrated parameter sets expect.
        const double gain = er == 0.0 ? er : er / (std::exp(x7 - b1 / x5) + 1.0);
        const double b2 = gain + b1;

        const double r1 = qs + r;
        const double qr = (r1 * r1) / (x1 + r1);
        r = r1 - qr;

        const double qb = std::exp(b2 / x2) * x2;
        b = b2 - qb;

        q[t] = routing.route(qr + qb);
        if (!record(t, stores)) break;
        record.fluxes(t, [&] { return std::array{ei, qr, qb, gain}; });
    }
}

}  // namespace

extern const ModelSpec topmodel{"topmodel", "TOPMODEL simulation", kParams, kStates, run<NoRecorder>, run<Watching>,
                                run<Recorder<std::size(kStates), std::size(kFluxes)>>, kFluxes};

}  // namespace vardex::hydro
