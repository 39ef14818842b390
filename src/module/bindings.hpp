// Builders of the submodules; each returns a new module or nullptr with an exception set.
#pragma once

#include "errors/checks.hpp"
#include "module/py.hpp"

namespace vardex::py {

// Adds `value` (a new reference, or nullptr after a failure) as an attribute of `module`.
bool add_owned(PyObject* module, const char* name, PyObject* value);

// The (defaults, bounds) tuple of an init(): a 1-D array and an N x 2 array.
PyObject* defaults_and_bounds(std::span<const double> defaults, std::span<const ParamSpec> params);

// Adds a function whose self is `module` (def must be static).
bool add_function(PyObject* module, PyMethodDef* def);

// The converted arguments of a model's simulate (params, precipitation, pet), in signature order.
struct ModelArgs {
    Array<double> params, precipitation, pet;
};
std::optional<ModelArgs> model_args(PyObject* params, PyObject* precipitation, PyObject* pet);

// The arguments of CemaNeige's simulate, parsed from (args, kwargs) under `format` ("OOOOOO:<name>").
struct SnowArgs {
    Array<double> params, precipitation, temperature;
    Array<std::uint64_t> day_of_year;
    Array<double> elevation_layers;
    double median_elevation;
};
std::optional<SnowArgs> snow_args(PyObject* args, PyObject* kwargs, const char* format);

// A new float64 array of n values that fill(span) writes without the lock; fill and check return an
// optional error kind. The array is allocated first, so the result needs no copy; if that allocation fails,
// a failing check() still wins over the MemoryError, as when results were allocated after the checks.
template <class Check, class Fill>
PyObject* filled_array(std::size_t n, Check check, Fill fill) {
    PyObject* out = new_empty_array(n);
    if (!out) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        auto error = without_gil(check);
        if (error) {
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(traceback);
            return raise(*error);
        }
        PyErr_Restore(type, value, traceback);
        return nullptr;
    }
    auto error = without_gil_keeping(out, [&, span = array_span(out)] { return fill(span); });
    if (error) {
        Py_DECREF(out);
        return raise(*error);
    }
    return out;
}

PyObject* make_model_module(std::size_t model_index);
PyObject* make_metrics_module();
PyObject* make_oudin_module();
PyObject* make_cemaneige_module();
PyObject* make_sce_module();
PyObject* make_dds_module();

// vardex._core's Sce and Dds: the same classes with a read-only `evaluations` count.
PyObject* make_counted_sce_type();
PyObject* make_counted_dds_type();

}  // namespace vardex::py
