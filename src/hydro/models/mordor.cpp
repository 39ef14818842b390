// MORDOR: a surface store splitting corrected rain, an intermediate store draining linearly, a
// 90 mm evaporation store and a ground store with a cubic outflow; direct runoff, part of the
// intermediate drainage and the ground outflow each go through the same unit hydrograph.
#include <cmath>
#include <vector>

#include "hydro/model.hpp"
#include "hydro/routing.hpp"

namespace vardex::hydro {
namespace {

constexpr ParamSpec kParams[] = {
    {"x1", "Rain correction coefficient (-)", "Coefficient de correction de la pluie (-)", 0.5, 2.0},
    {"x2", "Emptying constant of reservoir L (d)", "Constante de vidange du réservoir L (d)", 1.0, 1000.0},
    {"x3", "Emptying constant of reservoir N (-)", "Constante de vidange du réservoir N (-)", 0.01, 100.0},
    {"x4", "Response time of unit hydrograph UH2 (d)", "Temps de réponse de l'hydrogramme unitaire UH2 (d)", 0.5,
     10.0},
    {"x5", "Capacity of reservoir U (mm)", "Capacité du réservoir U (mm)", 1.0, 1000.0},
    {"x6", "Capacity of reservoir L (mm)", "Capacité du réservoir L (mm)", 1.0, 1000.0},
};

// The four stores, and the water still in transit in each of the three routing buffers.
constexpr const char* kStates[] = {"U", "L", "Z", "N", "b1", "b2", "b3"};

// The correction x1 adds rain (or removes it, below 1): `rain_correction` is the corrected rain
// minus the rain. Whatever would fill the evaporation store above 90 mm is dropped:
// `evaporation_store_cap` (never positive).
constexpr FluxSpec kFluxes[] = {
    {"actual_evaporation", FluxKind::evaporation},
    {"direct_runoff", FluxKind::runoff},
    {"intermediate_runoff", FluxKind::runoff},
    {"baseflow", FluxKind::runoff},
    {"rain_correction", FluxKind::boundary},
    {"evaporation_store_cap", FluxKind::boundary},
};

constexpr double kZmax = 90.0;

// S-curve of the unit hydrograph: a symmetric S over [0, 2x] with exponent 2.5.
double sh(double t, double x) {
    if (t <= 0.0) return 0.0;
    if (t <= x) return std::pow(t / x, 2.5) * 0.5;
    if (t <= 2.0 * x) return std::pow(2.0 - t / x, 2.5) * (-0.5) + 1.0;
    return 1.0;
}

template <class Rec>
void run(std::span<const double> x, std::span<const double> precipitation, std::span<const double> pet,
         std::span<double> q, Tape tape) {
    const Rec record(tape, q.size());
    const double x1 = x[0], x2 = x[1], x3 = x[2], x4 = x[3], x5 = x[4], x6 = x[5];

    // x4 >= 0.5, so n >= 1.
    const auto n = static_cast<std::size_t>(std::ceil(x4 + x4));
    std::vector<double> w(n), b1(n, 0.0), b2(n, 0.0), b3(n, 0.0);
    // Each S-curve value once: an ordinate is the rise since the previous day's.
    double prev = sh(0.0, x4);
    for (std::size_t i = 1; i <= n; ++i) {
        const double cur = sh(static_cast<double>(i), x4);
        w[i - 1] = cur - prev;
        prev = cur;
    }

    double u = x5 * 0.5;
    double l = x6 * 0.5;
    double z = 50.0;
    double nn = 0.5;
    const auto stores = [&] { return std::array{u, l, z, nn, pending(b1), pending(b2), pending(b3)}; };
    record.start(stores);
    for (std::size_t t = 0; t < q.size(); ++t) {
        const double p = precipitation[t];
        const double pc = p * x1;
        const double e = pet[t];

        // Surface store: the fuller it is, the more of the rain runs off; what tops it spills.
        const double f = (u / x5) * pc;
        const double u_in = (pc - f) + u;
        const double r = max_nan(u_in - x5, 0.0) + f;
        const double u1 = x5 < u_in ? x5 : u_in;  // a NaN level stays NaN

        const double eu = max_nan((e * u1) / x5, 0.0);
        const double etu = u1 < eu ? u1 : eu;
        u = u1 - etu;

        // The intermediate store takes a share of the runoff, as far as it has room.
        const double room = max_nan(x6 - l, 0.0);
        const double a = max_nan(1.0 - l / x6, 0.0) * r;
        const double il = a < room ? a : room;
        const double l_in = l + il;
        const double ql = l_in / x2;
        l = l_in - ql;

        // The evaporation store takes the drainage in proportion to its deficit at the start of the
        // day; the rest is split 0.8 / 0.2 between the ground store and direct routing.
        const double z0 = z;
        const double z_in = (1.0 - z0 / kZmax) * ql + z0;
        const double d = max_nan(e - etu, 0.0);
        const double ez = (d * z_in) / kZmax;
        const double etz = ez < z_in ? ez : z_in;  // a NaN demand takes the whole store
        const double z_left = max_nan(z_in - etz, 0.0);
        z = min_nan(kZmax, z_left);

        const double n_in = ((ql * 0.8) * (z0 / kZmax)) + nn;
        const double ratio = n_in / x3;
        const double cube = (ratio * ratio) * ratio;
        const double qn = cube < n_in ? cube : n_in;
        nn = max_nan(n_in - qn, 0.0);

        // Three buffers with the same ordinates; each head is clamped before the sum.
        const double direct = max_nan(r - il, 0.0);
        const double drained = (z0 / kZmax) * (ql * 0.2);
        const double out1 = route(b1, w, direct);
        const double out2 = route(b2, w, drained);
        const double out3 = route(b3, w, qn);
        q[t] = (out1 + out2) + out3;
        if (!record(t, stores)) break;
        record.fluxes(t, [&] { return std::array{etu + etz, direct, drained, qn, pc - p, z - z_left}; });
    }
}

}  // namespace

extern const ModelSpec mordor{"mordor", "MORDOR simulation", kParams, kStates, run<NoRecorder>, run<Watching>,
                              run<Recorder<std::size(kStates), std::size(kFluxes)>>, kFluxes};

}  // namespace vardex::hydro
