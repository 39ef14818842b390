// GR4J: production store, two unit hydrographs, routing store and groundwater exchange.
#include <algorithm>
#include <array>
#include <cmath>
#include <span>

#include "hydro/model.hpp"

namespace vardex::hydro {
namespace {

constexpr ParamSpec kParams[] = {
    {"x1", "Production store capacity (mm)", "Capacité du réservoir de production (mm)", 10.0, 1500.0},
    {"x2", "Groundwater exchange coefficient (mm/d)", "Coefficient d'échanges souterrains (mm/d)", -5.0, 3.0},
    {"x3", "Routing store capacity (mm)", "Capacité du réservoir de routage (mm)", 10.0, 400.0},
    {"x4", "Unit hydrograph time base (d)", "Temps de base de l'hydrogramme unitaire (d)", 0.8, 10.0},
};

// Production store, routing store, and what the two unit hydrographs still hold.
constexpr const char* kStates[] = {"S", "R", "U1", "U2"};

// Exchange is what the groundwater term actually moved (into the routing store, and into the
// direct branch as far as its clamp at 0 let it); the floor of the routing store at 0.001 x3
// adds water of its own.
constexpr FluxSpec kFluxes[] = {
    {"actual_evaporation", FluxKind::evaporation},
    {"routed_runoff", FluxKind::runoff},
    {"direct_runoff", FluxKind::runoff},
    {"exchange", FluxKind::boundary},
    {"routing_floor", FluxKind::boundary},
};

// The two S-curves at t. Below x4 the second is half the first, so they share its power.
struct SCurves {
    double sh1, sh2;
};

SCurves s_curves(double t, double x4) {
    if (t < x4) {
        const double p = std::pow(t / x4, 1.25);
        return {p, 0.5 * p};
    }
    if (t < 2.0 * x4) return {1.0, 1.0 - 0.5 * std::pow(2.0 - t / x4, 1.25)};
    return {1.0, 1.0};
}

// The unit hydrographs span at most ceil(x4) and ceil(2 x4) days: x4's upper bound sizes them,
// so that a call allocates nothing.
constexpr std::size_t kMaxL1 = 10, kMaxL2 = 2 * kMaxL1;
static_assert(kParams[3].upper <= static_cast<double>(kMaxL1));

// Shift the pending outflows one day and add this day's input spread over the ordinates.
void convolve(std::span<double> u, std::span<const double> o, double input) {
    const std::size_t last = u.size() - 1;
    for (std::size_t i = 0; i < last; ++i) u[i] = u[i + 1] + o[i] * input;
    u[last] = input * o[last];
}

template <class Rec>
void run(std::span<const double> x, std::span<const double> precipitation, std::span<const double> pet,
         std::span<double> q, Tape tape) {
    const Rec record(tape, q.size());
    const double x1 = x[0], x2 = x[1], x3 = x[2], x4 = x[3];

    const auto l1 = static_cast<std::size_t>(std::ceil(x4));
    const auto l2 = static_cast<std::size_t>(std::ceil(2.0 * x4));
    std::array<double, kMaxL1> o1_buf{}, u1_buf{};
    std::array<double, kMaxL2> o2_buf{}, u2_buf{};
    const std::span<double> o1(o1_buf.data(), l1), u1(u1_buf.data(), l1);
    const std::span<double> o2(o2_buf.data(), l2), u2(u2_buf.data(), l2);
    // Each ordinate is the rise of its S-curve over the day; S(0) = 0, and l2 >= l1. Ordinate j
    // reaches the outlet on day j - 1 at the earliest, so a run of n days that reads only the
    // outlet needs the first n; the others stay 0 (the recorder, which reports what the buffers
    // hold, builds them all).
    const std::size_t built = Rec::records ? l2 : std::min(l2, q.size());
    SCurves prev{0.0, 0.0};
    for (std::size_t j = 1; j <= built; ++j) {
        const SCurves cur = s_curves(static_cast<double>(j), x4);
        if (j <= l1) o1[j - 1] = cur.sh1 - prev.sh1;
        o2[j - 1] = cur.sh2 - prev.sh2;
        prev = cur;
    }

    double s = 0.5 * x1;
    double r = 0.5 * x3;
    const auto stores = [&] { return std::array{s, r, pending(u1), pending(u2)}; };
    record.start(stores);
    for (std::size_t t = 0; t < q.size(); ++t) {
        const double p = precipitation[t];
        const double e = pet[t];

        double pn = 0.0, ps = 0.0, es = 0.0;
        if (p > e) {
            pn = p - e;
            const double ws = std::tanh(pn / x1);
            const double sr = s / x1;
            ps = x1 * (1.0 - sr * sr) * ws / (1.0 + sr * ws);
            s = s + ps;
        } else if (p < e) {
            const double en = e - p;
            const double ws = std::tanh(en / x1);
            es = s * (2.0 - s / x1) * ws / (1.0 + (1.0 - s / x1) * ws);
            s = s - es;
        }

        // Percolation; the fourth power is formed by squaring twice.
        const double ps_ratio = s * 0.19047619047619047 / x1;
        const double ps_sq = ps_ratio * ps_ratio;
        const double perc = s * (1.0 - std::pow(1.0 + ps_sq * ps_sq, -0.25));
        s = s - perc;

        const double pr = (pn - ps) + perc;
        convolve(u1, o1, pr * 0.9);
        convolve(u2, o2, pr * 0.1);

        const double f = x2 * std::pow(r / x3, 3.5);
        const double r_in = (r + u1[0]) + f;
        r = r_in;
        if (r <= 0.001 * x3) r = 0.001 * x3;
        const double r_floored = r;

        const double rr = r / x3;
        const double rr_sq = rr * rr;
        const double qr = r * (1.0 - std::pow(1.0 + rr_sq * rr_sq, -0.25));
        r = r - qr;

        double qd = u2[0] + f;
        if (qd <= 0.0) qd = 0.0;
        q[t] = qd + qr;
        if (!record(t, stores)) break;
        record.fluxes(t, [&] {
            const double evaporation = p > e ? e : p + es;
            return std::array{evaporation, qr, qd, f + (qd - u2[0]), r_floored - r_in};
        });
    }
}

}  // namespace

extern const ModelSpec gr4j{"gr4j", "GR4J simulation", kParams, kStates, run<NoRecorder>, run<Watching>,
                            run<Recorder<std::size(kStates), std::size(kFluxes)>>, kFluxes};

}  // namespace vardex::hydro
