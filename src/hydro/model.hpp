// What a rainfall-runoff model file provides: its parameter table and its time loop.
#pragma once

#include <span>

#include "errors/checks.hpp"

namespace vardex::hydro {

// Runs the model over the whole series. Inputs have passed every check; q is
// zero-initialised and as long as p. Nothing may be allocated inside the loop.
using RunFn = void (*)(std::span<const double> x, std::span<const double> p, std::span<const double> e,
                       std::span<double> q);

struct ModelSpec {
    const char* name;     // lower-case name, also the Python submodule name
    const char* context;  // result-scan context, e.g. "GR4J simulation"
    std::span<const ParamSpec> params;
    RunFn run;
};

}  // namespace vardex::hydro
