// SIMHYD: interception, wetness-dependent infiltration, a soil store shedding interflow and
// recharge, a linear groundwater store and a linear routing store ahead of the two-ordinate delay.
#include <cmath>

#include "hydro/model.hpp"
#include "hydro/routing.hpp"

namespace vardex::hydro {
namespace {

constexpr ParamSpec kParams[] = {
    {"x1", "Interception store capacity (mm)", "Capacité du réservoir d'interception (mm)", 0.5, 10.0},
    {"x2", "Soil moisture store capacity (mm)", "Capacité du réservoir d'eau du sol (mm)", 1.0, 500.0},
    {"x3", "Ground reservoir emptying constant (-)", "Constante de vidange du réservoir souterrain (-)", 1.0,
     1000.0},
    {"x4", "Delay (d)", "Délai (d)", 0.5, 5.0},
    {"x5", "Routing reservoir emptying constant (d)", "Constante de vidange du réservoir de routage (d)", 1.0,
     500.0},
    {"x6", "Interflow constant (-)", "Constante d'écoulement hypodermique (-)", 1.0, 1000.0},
    {"x7", "Groundwater recharge constant (-)", "Constante de recharge de la nappe (-)", 1.0, 1000.0},
    {"x8", "Maximum infiltration capacity (mm)", "Capacité maximale d'infiltration (mm)", 1.0, 500.0},
};

// Soil, groundwater and routing stores, and the water still in the delay.
constexpr const char* kStates[] = {"S", "G", "R", "b"};

// Evaporation is the intercepted rain plus what the soil gave up (its potential can exceed its
// content when x2 < 10 mm; the floor at 0 cuts it there). The runoff components are what enters
// the routing store.
constexpr FluxSpec kFluxes[] = {
    {"actual_evaporation", FluxKind::evaporation},
    {"infiltration_excess_runoff", FluxKind::runoff},
    {"interflow", FluxKind::runoff},
    {"baseflow", FluxKind::runoff},
};

template <class Rec>
void run(std::span<const double> x, std::span<const double> precipitation, std::span<const double> pet,
         std::span<double> q, Tape tape) {
    const Rec record(tape, q.size());
    const double x1 = x[0], x2 = x[1], x3 = x[2], x5 = x[4], x6 = x[5], x7 = x[6], x8 = x[7];

    DelayRouting routing(x[3]);
    double s = x2 * 0.5;
    double g = 80.0;
    double r = 1.0;
    const auto stores = [&] { return std::array{s, g, r, routing.pending()}; };
    record.start(stores);
    for (std::size_t t = 0; t < q.size(); ++t) {
        const double p = precipitation[t];
        const double e = pet[t];

        // Interception takes what it can hold of the rain, up to the day's PET. Each minimum
        // keeps its first operand when the comparison fails.
        const double a = e < x1 ? e : x1;
        const double i = a < p ? a : p;
        const double pn = i < p ? p - i : 0.0;

        // Infiltration capacity falls exponentially with soil wetness; rain above it runs off.
        // With pn = +0 both comparisons below fail for any ic >= +0 or NaN; exp skipped.
        const double ic = pn > 0.0 ? std::exp((s * -2.0) / x2) * x8 : 0.0;
        const double ri = ic < pn ? pn - ic : 0.0;
        const double f = ic < pn ? ic : pn;

        const double wet = s / x2;
        const double qi = (wet * f) / x6;
        const double rc = max_nan((wet * (f - qi)) / x7, 0.0);
        const double filled = ((f - qi) - rc) + s;
        const double s1 = x2 < filled ? x2 : filled;
        const double overflow = x2 < filled ? filled - x2 : 0.0;

        // The soil meets what interception left of the demand, at most 10 / x2 of its content.
        const double de = e - i;
        const double ep = (s1 * 10.0) / x2;
        const double et = ep < de ? ep : de;
        s = max_nan(s1 - et, 0.0);

        const double gs = (overflow + rc) + g;
        const double base = gs / (x3 * x5);
        g = gs - base;

        const double rs = ((qi + ri) + base) + r;
        const double out = rs / x5;
        r = rs - out;

        q[t] = routing.route(out);
        if (!record(t, stores)) break;
        record.fluxes(t, [&] { return std::array{i + (s1 - s), ri, qi, base}; });
    }
}

}  // namespace

extern const ModelSpec simhyd{"simhyd", "SIMHYD simulation", kParams, kStates, run<NoRecorder>, run<Watching>,
                              run<Recorder<std::size(kStates), std::size(kFluxes)>>, kFluxes};

}  // namespace vardex::hydro
