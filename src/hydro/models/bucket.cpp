// Bucket: one soil bucket that spills over its capacity and evaporates exponentially, two linear
// routing stores sharing the spill (the second also takes a fixed fraction of the rain), and a
// short two-ordinate unit hydrograph on their summed outflow.
#include <cmath>
#include <vector>

#include "hydro/model.hpp"
#include "hydro/routing.hpp"

namespace vardex::hydro {
namespace {

constexpr ParamSpec kParams[] = {
    {"x1", "Soil reservoir capacity (mm)", "Capacité du réservoir de sol (mm)", 10.0, 1000.0},
    {"x2", "Evapotranspiration fraction (-)", "Fraction d'évapotranspiration (-)", 0.0, 1.0},
    {"x3", "Runoff delay constant (d)", "Constante de délai du ruissellement (d)", 1.0, 200.0},
    {"x4", "Non-linearity exponent (-)", "Exposant de non-linéarité (-)", 2.0, 10.0},
    {"x5", "Percolation fraction (-)", "Fraction de percolation (-)", 0.0, 1.0},
    {"x6", "Transfer delay constant (d)", "Constante de délai de transfert (d)", 1.0, 400.0},
};

// Soil bucket, the two routing stores, and the water still in the unit hydrograph.
constexpr const char* kStates[] = {"S", "R1", "R2", "b"};

// On a day whose net rain is below the demand, that rain evaporates as well as what the
// bucket loses. The first store releases over x3 x6 days, the second over x6.
constexpr FluxSpec kFluxes[] = {
    {"actual_evaporation", FluxKind::evaporation},
    {"slow_runoff", FluxKind::runoff},
    {"fast_runoff", FluxKind::runoff},
};


template <class Rec>
void run(std::span<const double> x, std::span<const double> precipitation, std::span<const double> pet,
         std::span<double> q, Tape tape) {
    const Rec record(tape, q.size());
    const double x1 = x[0], x2 = x[1], x3 = x[2], x4 = x[3], x5 = x[4], x6 = x[5];

    // Not DelayRouting's ordinates: n = ceil(d) of them instead of ceil(d) + 1, so the same split
    // of the runoff arrives one day earlier, with the weight v = 1 / ((d - (n - 1)) + 1) on the
    // second-to-last. The routing step is the shared one. x4 >= 2, so n >= 2.
    const auto n = static_cast<std::size_t>(std::ceil(x4));
    std::vector<double> w(n, 0.0), b(n, 0.0);
    w[n - 2] = 1.0 / ((x4 - static_cast<double>(n - 1)) + 1.0);
    w[n - 1] = 1.0 - w[n - 2];

    double s = x1 * 0.5;
    double r1 = 10.0, r2 = 5.0;
    const auto stores = [&] { return std::array{s, r1, r2, pending(b)}; };
    record.start(stores);
    for (std::size_t t = 0; t < q.size(); ++t) {
        const double p = precipitation[t];
        const double e = pet[t];

        // Net rain at least the demand fills the bucket and spills over its top; otherwise the
        // bucket empties exponentially (a NaN comparison also lands there).
        const double net = (1.0 - x5) * p;
        double spill = 0.0;
        const double s_start = s;
        if (net >= e) {
            spill = max_nan(((net - e) + s) - x1, 0.0);
            s = ((net - e) + s) - spill;
        } else {
            s = std::exp((net - e) / x1) * s;
        }

        const double r1_in = (1.0 - x2) * spill + r1;
        const double q1 = r1_in / (x3 * x6);
        r1 = r1_in - q1;

        // The second store also takes the rain that bypassed the bucket.
        const double r2_in = (x2 * spill + p * x5) + r2;
        const double q2 = r2_in / x6;
        r2 = r2_in - q2;

        q[t] = route(b, w, q1 + q2);
        if (!record(t, stores)) break;
        record.fluxes(t, [&] { return std::array{net >= e ? e : net + (s_start - s), q1, q2}; });
    }
}

}  // namespace

extern const ModelSpec bucket{"bucket", "Bucket simulation", kParams, kStates, run<NoRecorder>, run<Watching>,
                              run<Recorder<std::size(kStates), std::size(kFluxes)>>, kFluxes};

}  // namespace vardex::hydro
