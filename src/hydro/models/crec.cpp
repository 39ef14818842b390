// CREC: rain split between a surface and a production store by a logistic function of the
// production store's level, exponential evaporation, a quadratic surface store percolating into a
// linear routing store, and the two-ordinate delay on the summed outflow.
#include <cmath>

#include "hydro/model.hpp"
#include "hydro/routing.hpp"

namespace vardex::hydro {
namespace {

constexpr ParamSpec kParams[] = {
    {"x1", "Surface reservoir emptying constant (d)", "Constante de vidange du réservoir de surface (d)", 1.0,
     1000.0},
    {"x2", "Linear percolation parameter (-)", "Paramètre de percolation linéaire (-)", 1.0, 1000.0},
    {"x3", "Splitting parameter for raw rainfall (-)", "Paramètre de partage de la pluie brute (-)", 0.0, 1000.0},
    {"x4", "Splitting parameter for PET production (-)", "Paramètre de partage pour la production d'ETP (-)", 1.0,
     500.0},
    {"x5", "Linear emptying parameter of soil reservoir (-)",
     "Paramètre de vidange linéaire du réservoir de sol (-)", 1.0, 1000.0},
    {"x6", "Delay parameter (d)", "Paramètre de délai (d)", 0.5, 5.0},
};

// Production, surface and routing stores, and the water in the routing buffer.
constexpr const char* kStates[] = {"Sp", "Ss", "Sr", "b"};

// Evaporation is what left the production store: the curve's demand, or all the store held when
// the floor at 0 cuts it short.
constexpr FluxSpec kFluxes[] = {
    {"actual_evaporation", FluxKind::evaporation},
    {"surface_runoff", FluxKind::runoff},
    {"routed_runoff", FluxKind::runoff},
};

template <class Rec>
void run(std::span<const double> x, std::span<const double> precipitation, std::span<const double> pet,
         std::span<double> q, Tape tape) {
    const Rec record(tape, q.size());
    const double x1 = x[0], x2 = x[1], x3 = x[2], x4 = x[3], x5 = x[4];
    DelayRouting routing(x[5]);

    double sp = 250.0, ss = 10.0, sr = 100.0;
    const auto stores = [&] { return std::array{sp, ss, sr, routing.pending()}; };
    record.start(stores);
    for (std::size_t t = 0; t < q.size(); ++t) {
        const double p = precipitation[t];
        const double e = pet[t];

        // The fuller the production store, the more rain goes to the surface. The exponential may
        // overflow to inf on a nearly empty store, which sends no rain to the surface.
        // sp is never NaN, so the divisor lies in [1, inf] and a zero p divided by it is p; exp skipped.
        const double d = p == 0.0 ? p : p / (std::exp((x3 - sp) / x4) + 1.0);
        const double w = (p - d) + sp;
        // w >= +0 puts the factor in [+0, 1], so with e = ±0 the product is e; exp skipped.
        const double ea = e == 0.0 ? e : (1.0 - std::exp(-w / 245.0)) * e;
        sp = max_nan(w - ea, 0.0);

        const double ss1 = d + ss;
        const double qs = (ss1 * ss1) / (x1 + ss1);
        const double pr = (ss1 - qs) / x5;
        ss = (ss1 - qs) - pr;

        const double sr1 = pr + sr;
        const double qr = sr1 / x2;
        sr = sr1 - qr;

        q[t] = routing.route(qs + qr);
        if (!record(t, stores)) break;
        record.fluxes(t, [&] { return std::array{w - sp, qs, qr}; });
    }
}

}  // namespace

extern const ModelSpec crec{"crec", "CREC simulation", kParams, kStates, run<NoRecorder>, run<Watching>,
                            run<Recorder<std::size(kStates), std::size(kFluxes)>>, kFluxes};

}  // namespace vardex::hydro
