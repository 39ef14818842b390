// What a rainfall-runoff model file provides: its parameter table, its state names and its
// time loop. Checks, the result scan, registration and Python wrapping are shared code.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <span>

#include "errors/checks.hpp"

namespace vardex::hydro {

// Where a recording run writes: `states` one column of q.size() values per state name, `initial`
// the stores before the first day (one value per state name), `fluxes` one column per flux name.
// All three are empty for simulate.
struct Tape {
    std::span<double> states;
    std::span<double> initial;
    std::span<double> fluxes;
};

// The time loop of a model, instantiated twice: with NoRecorder for simulate (the recording
// lambdas are never called, so the loop compiles as if they did not exist) and with
// Recorder<K, F> for the daily states and fluxes. Inputs have passed every check; q is
// zero-initialised and as long as p. Nothing may be allocated inside the loop.
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
    void operator()(std::size_t, F&&) const {}
    template <class F>
    void fluxes(std::size_t, F&&) const {}
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
    void operator()(std::size_t t, G&& states) const {
        const std::array<double, K> v = states();
        for (std::size_t k = 0; k < K; ++k) states_[k * days_ + t] = v[k];
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
