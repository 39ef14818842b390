// Xinanjiang: banded soil evaporation, tension-water and free-water capacity curves, a fast
// and a slow linear reservoir for the drainage, and the two-ordinate delay on the sum.
#include <cmath>

#include "hydro/model.hpp"
#include "hydro/routing.hpp"

namespace vardex::hydro {
namespace {

constexpr ParamSpec kParams[] = {
    {"x1", "Flow partitioning coefficient between fast and slow routing (-)",
     "Coefficient de partage des écoulements entre routage rapide et lent (-)", 0.01, 0.99},
    {"x2", "Fast routing reservoir emptying constant (d)", "Constante de vidange du réservoir de routage rapide (d)",
     1.0, 20.0},
    {"x3", "Slow routing reservoir emptying multiplier (-)",
     "Multiplicateur de vidange du réservoir de routage lent (-)", 1.0, 50.0},
    {"x4", "Free-water reservoir capacity (mm)", "Capacité du réservoir d'eau libre (mm)", 1.0, 500.0},
    {"x5", "Soil reservoir capacity (mm)", "Capacité du réservoir de sol (mm)", 1.0, 2000.0},
    {"x6", "Unit hydrograph delay (d)", "Délai de l'hydrogramme unitaire (d)", 0.5, 10.0},
    {"x7", "Free-water reservoir emptying constant (d)", "Constante de vidange du réservoir d'eau libre (d)", 1.0,
     50.0},
    {"x8", "Free-water saturation-excess distribution exponent (-)",
     "Exposant de distribution de l'excès de saturation en eau libre (-)", 0.01, 5.0},
};

// Soil, free water, fast and slow routing reservoirs, and the water still in the delay.
constexpr const char* kStates[] = {"Ss", "Sf", "Rf", "Rs", "b"};

// On a day whose PET exceeds the rain, the rain evaporates and the soil gives up the rest of
// its banded demand; otherwise the PET is met in full. The capacity curves take in at most the
// net rain, so no term but rounding is left between them.
constexpr FluxSpec kFluxes[] = {
    {"actual_evaporation", FluxKind::evaporation},
    {"surface_runoff", FluxKind::runoff},
    {"fast_runoff", FluxKind::runoff},
    {"slow_runoff", FluxKind::runoff},
};

template <class Rec>
void run(std::span<const double> x, std::span<const double> precipitation, std::span<const double> pet,
         std::span<double> q, Tape tape) {
    const Rec record(tape, q.size());
    const double x1 = x[0], x2 = x[1], x3 = x[2], x4 = x[3], x5 = x[4], x6 = x[5], x7 = x[6], x8 = x[7];
    DelayRouting routing(x6);

    double ss = x5;  // the soil starts full
    double sf = 1.0;
    double rf = 5.0;
    double rs = 400.0;
    const auto stores = [&] { return std::array{ss, sf, rf, rs, routing.pending()}; };
    record.start(stores);
    for (std::size_t t = 0; t < q.size(); ++t) {
        const double p = precipitation[t];
        const double e = pet[t];
        const double ss_start = ss;

        double qr = 0.0;  // surface runoff
        double j = 0.0;   // drainage of the free water, only on days with net rainfall
        const double h = max_nan(e - p, 0.0);
        if (h > 0.0) {
            // Evaporation in three bands of relative filling; the free water is left alone.
            const double r = ss / x5;
            const double demand = r >= 0.9 ? h : r < 0.09 ? 0.1 * h : (h * ss) / (x5 * 0.9);
            ss = ss - min_nan(ss, demand);
        } else {
            const double pn = max_nan(p - e, 0.0);
            if (pn > 0.0) {
                // Tension-water capacity curve, maximum point capacity 1.25 x5.
                const double a =
                    max_nan(std::pow(max_nan(1.0 - ss / x5, 0.0), 0.8) - pn / (x5 * 1.25), 0.0);
                const double infiltration = max_nan((x5 - ss) - std::pow(a, 1.25) * x5, 0.0);
                ss = min_nan(ss + infiltration, x5);
                const double pe = max_nan(pn - infiltration, 0.0);

                // Free-water capacity curve with exponent x8.
                const double g = max_nan(
                    std::pow(max_nan(1.0 - sf / x4, 0.0), 1.0 / (x8 + 1.0)) - pe / (x4 * (x8 + 1.0)), 0.0);
                const double rw = max_nan((x4 - sf) - std::pow(g, x8 + 1.0) * x4, 0.0);
                sf = min_nan(sf + rw, x4);
                qr = max_nan(pe - rw, 0.0);
                j = sf / x7;
            }
        }
        sf = sf - j;

        rf = x1 * j + rf;
        const double qf = rf / x2;
        rf = rf - qf;

        rs = (1.0 - x1) * j + rs;
        const double qs = rs / (x3 * x2);
        rs = rs - qs;

        q[t] = routing.route((qf + qr) + qs);
        if (!record(t, stores)) break;
        record.fluxes(t, [&] {
            const double evaporation = h > 0.0 ? p + (ss_start - ss) : e;
            return std::array{evaporation, qr, qf, qs};
        });
    }
}

}  // namespace

extern const ModelSpec xinanjiang{"xinanjiang", "XINANJIANG simulation", kParams, kStates, run<NoRecorder>,
                                  run<Watching>, run<Recorder<std::size(kStates), std::size(kFluxes)>>, kFluxes};

}  // namespace vardex::hydro
