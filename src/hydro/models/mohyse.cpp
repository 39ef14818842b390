// MOHYSE: vadose-zone and aquifer stores draining to the river, routed through an
// 80-ordinate gamma-shaped unit hydrograph.
#include <array>
#include <cmath>
#include <cstddef>

#include "hydro/model.hpp"
#include "hydro/routing.hpp"

namespace vardex::hydro {
namespace {

constexpr ParamSpec kParams[] = {
    {"x1", "Transpiration coefficient (-)", "Coefficient de transpiration (-)", 0.01, 1.0},
    {"x2", "Maximum infiltration capacity (mm)", "Capacité maximale d'infiltration (mm)", 1.0, 2000.0},
    {"x3", "Emptying coefficient of aquifer vadose zone (-)",
     "Coefficient de vidange de la zone vadose vers l'aquifère (-)", 0.001, 1.0},
    {"x4", "Emptying coefficient of river vadose zone (-)",
     "Coefficient de vidange de la zone vadose vers la rivière (-)", 0.001, 1.0},
    {"x5", "Aquifer to river emptying coefficient (-)", "Coefficient de vidange de l'aquifère vers la rivière (-)",
     0.001, 1.0},
    {"x6", "Unit hydrograph shape parameter (-)", "Paramètre de forme de l'hydrogramme unitaire (-)", 1.0, 5.0},
    {"x7", "Unit hydrograph scale parameter (-)", "Paramètre d'échelle de l'hydrogramme unitaire (-)", 0.5, 5.0},
};

// Vadose zone, aquifer, and what the unit hydrograph still holds.
constexpr const char* kStates[] = {"V", "A", "b"};

// The vadose store's drainages and transpiration are taken from its start-of-day content in full,
// so when they exceed it the clamp at 0 adds the shortfall: `vadose_floor`. The aquifer loses at
// most its content (x5 <= 1) and its clamp never acts.
constexpr FluxSpec kFluxes[] = {
    {"actual_evaporation", FluxKind::evaporation},
    {"surface_runoff", FluxKind::runoff},
    {"interflow", FluxKind::runoff},
    {"baseflow", FluxKind::runoff},
    {"vadose_floor", FluxKind::boundary},
};

constexpr std::size_t kOrdinates = 80;

// k^(s-1) e^(-k/h) for k = 1 ... 80, divided by its sum when that is positive.
std::array<double, kOrdinates> gamma_ordinates(double s, double h) {
    std::array<double, kOrdinates> w{};
    for (std::size_t k = 1; k <= kOrdinates; ++k) {
        const double kd = static_cast<double>(k);
        w[k - 1] = std::pow(kd, s + (-1.0)) * std::exp((-kd) / h);
    }
    double total = 0.0;
    for (const double u : w) total = total + u;
    if (total > 0.0)
        for (double& u : w) u = u / total;
    return w;
}

template <class Rec>
void run(std::span<const double> x, std::span<const double> precipitation, std::span<const double> pet,
         std::span<double> q, Tape tape) {
    const Rec record(tape, q.size());
    const double x1 = x[0], x2 = x[1], x3 = x[2], x4 = x[3], x5 = x[4];

    alignas(64) const std::array<double, kOrdinates> w = gamma_ordinates(x[5], x[6]);
    alignas(64) std::array<double, kOrdinates> b{};

    double v = 40.0;
    double a = 30.0;
    const auto stores = [&] { return std::array{v, a, pending(b)}; };
    record.start(stores);
    for (std::size_t t = 0; t < q.size(); ++t) {
        const double p = precipitation[t];
        const double e = pet[t];

        // Both minima fall back on their first operand when the comparison fails.
        const double e1 = e < p ? e : p;
        const double demand = e - e1;
        const double e2 = demand < x1 * v ? demand : x1 * v;
        const double n = p - e1;
        const double infiltration = v < x2 ? (1.0 - v / x2) * n : 0.0;
        const double runoff = n - infiltration;

        // The drainages use the start-of-day contents even when the clamp empties the store.
        const double interflow = x4 * v;
        const double baseflow = x5 * a;
        const double v_raw = (((infiltration + v) - e2) - x3 * v) - interflow;
        const double v_next = max_nan(v_raw, 0.0);
        const double a_next = max_nan((x3 * v + a) - baseflow, 0.0);
        const double inflow = (interflow + runoff) + baseflow;
        v = v_next;
        a = a_next;

        q[t] = route(b, w, inflow);
        if (!record(t, stores)) break;
        record.fluxes(t, [&] { return std::array{e1 + e2, runoff, interflow, baseflow, v_next - v_raw}; });
    }
}

}  // namespace

extern const ModelSpec mohyse{"mohyse", "MOHYSE simulation", kParams, kStates, run<NoRecorder>, run<Watching>,
                              run<Recorder<std::size(kStates), std::size(kFluxes)>>, kFluxes};

}  // namespace vardex::hydro
