// What a rainfall-runoff model file provides: its parameter table, its state names and its
// time loop. Checks, the result scan, registration and Python wrapping are shared code.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <span>

#include "errors/checks.hpp"
#include "metrics/metrics.hpp"

namespace vardex::hydro {

// A calibration run that scores its streamflow as the loop makes it, and stops on a scored day where the
// RMSE or NSE formed from the squared errors so far is already worse than `threshold`. The
// sum only grows, so the full run's score would be worse still: the candidate is rejected either way,
// and the days after the stop are not run. The sum is formed exactly as the full scoring forms it.
struct Watch {
    std::span<const double> q;             // the run's streamflow
    std::size_t first = 0;                 // day of scored index 0
    std::span<const std::size_t> days;     // scored days, from `first`, ascending
    std::span<const double> observations;  // their transformed observations
    std::span<double> scored;              // out: their transformed simulation, as far as the run went
    metrics::Transformation transformation = metrics::Transformation::NoTransform;
    bool rmse = false;        // RMSE (lower is better), else NSE
    double n = 0.0;           // number of scored days
    double deviations = 0.0;  // NSE's denominator, at least metrics::zero_threshold
    double threshold = 0.0;
    // With a model in front (snow): makes the model's input of days [first, last) before the loop reads them
    // (the loop reads day t's input on day t only), a block at a time from before the first day; false when
    // some of it is unusable, and the run stops, `failed` set. `ready`: the days made so far.
    static constexpr std::size_t ahead_block = 64;
    bool (*ahead)(void*, std::size_t, std::size_t) = nullptr;
    void* ahead_context = nullptr;
    std::size_t ready = 0;
    std::size_t next = 0;  // scored days seen so far
    double squared_errors = 0.0;
    bool stopped = false;
    bool failed = false;
    std::size_t last = 0;  // the day it stopped on
    double partial = 0.0;  // the score then

    // False when the run stops after day t.
    bool day(std::size_t t) {
        if (!score(t)) return false;
        if (t + 1 == ready && ready < q.size() && ahead != nullptr) return make_input();
        return true;
    }

    // The next block of input from day `ready` on.
    bool make_input() {
        const std::size_t last = std::min(ready + ahead_block, q.size());
        if (!ahead(ahead_context, ready, last)) {
            failed = true;
            return false;
        }
        ready = last;
        return true;
    }

    // False when day t's score says stop.
    bool score(std::size_t t) {
        if (next == days.size() || t != first + days[next]) return true;
        const double s = metrics::transform(transformation, q[t]);
        scored[next] = s;
        const double d = observations[next] - s;
        squared_errors = squared_errors + d * d;
        ++next;
        // The score is formed every 16th scored day only: a later stop changes no decision, and the
        // division (and RMSE's root) would cost cheap models a quarter of their time if formed daily.
        if ((next & 15) != 0) return true;
        const double v = rmse ? metrics::rmse_value(n, squared_errors)
                              : metrics::nse_value(squared_errors, deviations);
        if (!metrics::is_worse(rmse, v, threshold)) return true;
        stopped = true;
        last = t;
        partial = v;
        return false;
    }
};

// Where a recording run writes: `states` one column of q.size() values per state name, `initial`
// the stores before the first day (one value per state name), `fluxes` one column per flux name.
// All three are empty for simulate. `watch` is set for a watching run only.
struct Tape {
    std::span<double> states;
    std::span<double> initial;
    std::span<double> fluxes;
    Watch* watch = nullptr;
};

// The time loop of a model, instantiated three times: with NoRecorder for simulate (the recording
// lambdas are never called, so the loop compiles as if they did not exist), with Watching for a
// calibration run that may stop early, and with Recorder<K, F> for the daily states and fluxes. The
// loop ends each day, once q[t] is set, with `if (!record(t, stores)) break;`: only Watching ever
// says stop. Inputs have passed every check; q is zero-initialised and as long as p. Nothing may be
// allocated inside the loop.
using RunFn = void (*)(std::span<const double> x, std::span<const double> p, std::span<const double> e,
                       std::span<double> q, Tape tape);

// What a daily flux is to the water balance. Every model has exactly one `evaporation` flux,
// named "actual_evaporation" (mm/day, what left the model to the atmosphere). `runoff` fluxes
// are the components that make up the streamflow before any routing buffer (informative: the
// balance takes the streamflow itself). `boundary` fluxes are every other way water enters or
// leaves the model (exchange, deep losses, supply from outside the stores, water a clamp creates
// or discards); they are signed, positive INTO the model, so that over any run
//   precipitation + sum(boundary) - actual_evaporation - streamflow = change of all stores.
// Names are lower-case snake case and say what the water is, e.g. "exchange", "deep_loss".
//
// A model gets its fluxes (see gr4j.cpp, wageningen.cpp): a kFluxes table next to kStates; a
// `stores` lambda built before the loop, given to record.start(stores) and then to
// record(t, stores) every day; record.fluxes(t, lambda) returning the day's values in table
// order, computed from values the loop already has (keep the model's arithmetic untouched, name
// an intermediate if needed: unused, it costs nothing); Recorder<size(kStates), size(kFluxes)>
// and kFluxes (and `storage`, if a state is not a plain store) in its ModelSpec.
enum class FluxKind { evaporation, runoff, boundary };

struct FluxSpec {
    const char* name;
    FluxKind kind;
};

struct ModelSpec {
    const char* name;     // lower-case name, also the Python submodule name
    const char* context;  // result-scan context, e.g. "GR4J simulation"
    std::span<const ParamSpec> params;
    std::span<const char* const> states;  // names of the recorded stores (mm of water), in column order
    RunFn run;     // simulate
    RunFn watch;   // simulate into tape.watch->q, stopping when the watch says so
    RunFn record;  // simulate, recording the stores at the end of every day and the fluxes
    std::span<const FluxSpec> fluxes;  // names of the daily fluxes, in column order
    // Weight of each state in the water balance's storage: 1 for a store of water (the default when
    // empty), -1 for a deficit or depth below full, 0 for a state that is not an amount of water.
    std::span<const double> storage = {};
};

struct NoRecorder {
    static constexpr bool records = false;  // only the streamflow is read
    NoRecorder(Tape, std::size_t) {}
    template <class F>
    void start(F&&) const {}
    template <class F>
    bool operator()(std::size_t, F&&) const { return true; }
    template <class F>
    void fluxes(std::size_t, F&&) const {}
};

class Watching {
public:
    static constexpr bool records = false;
    Watching(Tape tape, std::size_t) : watch_(tape.watch) {}
    template <class F>
    void start(F&&) const {}
    template <class F>
    bool operator()(std::size_t t, F&&) const { return watch_->day(t); }
    template <class F>
    void fluxes(std::size_t, F&&) const {}

private:
    Watch* watch_;
};

// Writes the K values the state lambda returns at the end of day t into column k, row t, and
// the F values the flux lambda returns into the flux columns; `start` takes the state lambda
// once before the first day. A model whose lambdas return another count than its tables do
// not compile.
template <std::size_t K, std::size_t F>
class Recorder {
public:
    static constexpr bool records = true;
    Recorder(Tape tape, std::size_t days)
        : states_(tape.states.data()), initial_(tape.initial.data()), fluxes_(tape.fluxes.data()), days_(days) {}
    template <class G>
    void start(G&& states) const {
        const std::array<double, K> v = states();
        for (std::size_t k = 0; k < K; ++k) initial_[k] = v[k];
    }
    template <class G>
    bool operator()(std::size_t t, G&& states) const {
        const std::array<double, K> v = states();
        for (std::size_t k = 0; k < K; ++k) states_[k * days_ + t] = v[k];
        return true;
    }
    template <class G>
    void fluxes(std::size_t t, G&& fluxes) const {
        const std::array<double, F> v = fluxes();
        for (std::size_t k = 0; k < F; ++k) fluxes_[k * days_ + t] = v[k];
    }

private:
    double* states_;
    double* initial_;
    double* fluxes_;
    std::size_t days_;
};

// Minimum and maximum of two values where a NaN operand is ignored (NaN only when both are).
inline double min_nan(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return b < a ? b : a;
}
inline double max_nan(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return b > a ? b : a;
}

// Water still in a routing buffer after the day: everything but the head, which left today.
inline double pending(std::span<const double> buffer) {
    double sum = 0.0;
    for (std::size_t i = 1; i < buffer.size(); ++i) sum = sum + buffer[i];
    return sum;
}

}  // namespace vardex::hydro
