// HBV: soil reservoir with power-law recharge in five sub-steps, intermediate and ground
// reservoirs, and a triangular unit hydrograph.
#include <cmath>
#include <vector>

#include "hydro/model.hpp"
#include "hydro/routing.hpp"

namespace vardex::hydro {
namespace {

constexpr ParamSpec kParams[] = {
    {"x1", "Soil reservoir capacity (mm)", "Capacité du réservoir de sol (mm)", 100.0, 1000.0},
    {"x2", "PET threshold (mm)", "Seuil d'ETP (mm)", 1.0, 1000.0},
    {"x3", "Upper emptying constant of intermediate reservoir (d)",
     "Constante de vidange supérieure du réservoir intermédiaire (d)", 1.0, 20.0},
    {"x4", "Ground reservoir emptying constant (d)", "Constante de vidange du réservoir souterrain (d)", 1.0,
     100.0},
    {"x5", "Percolation coefficient (mm/d)", "Coefficient de percolation (mm/d)", 1.0, 20.0},
    {"x6", "Triangular unit hydrograph time base (d)", "Temps de base de l'hydrogramme unitaire triangulaire (d)",
     2.0, 40.0},
    {"x7", "Soil nonlinearity exponent (-)", "Exposant de non-linéarité du sol (-)", 0.0, 50.0},
    {"x8", "Flow threshold of intermediate reservoir (mm)", "Seuil d'écoulement du réservoir intermédiaire (mm)",
     0.0, 100.0},
    {"x9", "Lower emptying constant of intermediate reservoir (-)",
     "Constante de vidange inférieure du réservoir intermédiaire (-)", 1.0, 20.0},
};

// Soil, intermediate and ground reservoirs, and what the unit hydrograph still holds.
constexpr const char* kStates[] = {"S", "I", "G", "b"};

constexpr FluxSpec kFluxes[] = {
    {"actual_evaporation", FluxKind::evaporation},
    {"quick_runoff", FluxKind::runoff},
    {"intermediate_runoff", FluxKind::runoff},
    {"baseflow", FluxKind::runoff},
};

// Triangular ordinates over ceil(x6) days, normalised by their sum. When x6 has a fractional
// part below 0.5 the last raw ordinate would be negative and the outlet's clamp at 0 would
// release more water than fell; it is 0 instead.
std::vector<double> triangle(double x6) {
    const auto m = static_cast<std::size_t>(std::floor(x6 / 2.0));
    const auto n = static_cast<std::size_t>(std::ceil(x6));
    std::vector<double> w(n);
    for (std::size_t k = 1; k <= n; ++k) {
        const double kd = static_cast<double>(k);
        double v = k <= m ? kd - 0.5 : x6 + 0.5 - kd;
        if (v < 0.0) v = 0.0;
        w[k - 1] = v;
    }
    double sum = 0.0;
    for (const double v : w) sum = sum + v;
    for (double& v : w) v = v / sum;
    return w;
}

template <class Rec>
void run(std::span<const double> x, std::span<const double> precipitation, std::span<const double> pet,
         std::span<double> q, Tape tape) {
    const Rec record(tape, q.size());
    const double x1 = x[0], x2 = x[1], x3 = x[2], x4 = x[3], x5 = x[4], x7 = x[6], x8 = x[7], x9 = x[8];

    const std::vector<double> w = triangle(x[5]);
    std::vector<double> b(w.size(), 0.0);

    double s = x1;
    double i_store = 1.0;
    double g = 10.0;
    const auto stores = [&] { return std::array{s, i_store, g, pending(b)}; };
    record.start(stores);
    for (std::size_t t = 0; t < q.size(); ++t) {
        const double p = precipitation[t] / 5.0;
        const double e = pet[t] / 5.0;

        double recharge = 0.0, evaporation = 0.0;
        for (int k = 0; k < 5; ++k) {
            // s stays >= +0 (or NaN) and x7 >= 0, so the power lies in [+0, 1]; times p = ±0 that
            // is p itself, and a dry sub-step skips the pow.
            const double r = p == 0.0 ? p : std::pow(min_nan(s / x1, 1.0), x7) * p;
            recharge = recharge + r;
            s = (p - r) + s;
            // Not capped at e: above x2 the soil evaporates more than the sub-step's PET.
            const double a = e * s / x2;
            const double ea = min_nan(a, s);
            evaporation = evaporation + ea;
            s = s - ea;
        }

        i_store = i_store + recharge;
        const double q0 = max_nan((i_store - x8) / x3, 0.0);
        const double q1 = (i_store - q0) / (x9 * x3);
        i_store = i_store - q0 - q1;
        const double perc = min_nan(i_store, x5);
        i_store = i_store - perc;

        g = g + perc;
        const double q2 = g / x4;
        g = g - q2;

        const double runoff = (q1 + q0) + q2;

        // The shared routing step, over the triangular ordinates.
        q[t] = route(b, w, runoff);
        if (!record(t, stores)) break;
        record.fluxes(t, [&] { return std::array{evaporation, q0, q1, q2}; });
    }
}

}  // namespace

extern const ModelSpec hbv{"hbv", "HBV simulation", kParams, kStates, run<NoRecorder>, run<Watching>,
                           run<Recorder<std::size(kStates), std::size(kFluxes)>>, kFluxes};

}  // namespace vardex::hydro
