// What a rainfall-runoff model file provides: its parameter table, its state names and its
// time loop. Checks, the result scan, registration and Python wrapping are shared code.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <span>

#include "errors/checks.hpp"

namespace vardex::hydro {

// The time loop of a model, instantiated twice: with NoRecorder for simulate (the state
// lambda is never called, so the loop compiles as if it did not exist) and with
// Recorder<K> for the daily states. Inputs have passed every check; q is zero-initialised
// and as long as p; `states` holds one column of q.size() values per state name (empty
// for NoRecorder). Nothing may be allocated inside the loop.
using RunFn = void (*)(std::span<const double> x, std::span<const double> p, std::span<const double> e,
                       std::span<double> q, std::span<double> states);

struct ModelSpec {
    const char* name;     // lower-case name, also the Python submodule name
    const char* context;  // result-scan context, e.g. "GR4J simulation"
    std::span<const ParamSpec> params;
    std::span<const char* const> states;  // names of the recorded stores, in column order
    RunFn run;     // simulate
    RunFn record;  // simulate, recording the stores at the end of every day
};

struct NoRecorder {
    NoRecorder(std::span<double>, std::size_t) {}
    template <class F>
    void operator()(std::size_t, F&&) const {}
};

// Writes the K values the lambda returns at the end of day t into column k, row t. A model
// whose lambda returns another count than its state names does not compile.
template <std::size_t K>
class Recorder {
public:
    Recorder(std::span<double> out, std::size_t days) : out_(out.data()), days_(days) {}
    template <class F>
    void operator()(std::size_t t, F&& states) const {
        const std::array<double, K> v = states();
        for (std::size_t k = 0; k < K; ++k) out_[k * days_ + t] = v[k];
    }

private:
    double* out_;
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
