// vardex._core: the compiled part of the pure-Python package `vardex`, built on the same
// core and raising the same exception classes as vardex_rs: daily states, and the calibrators
// with their evaluation count.
#define VARDEX_IMPORT_ARRAY_HERE
#include <initializer_list>
#include <string>

#include "calibration/problem.hpp"
#include "hydro/registry.hpp"
#include "module/bindings.hpp"
#include "snow/cemaneige.hpp"

namespace vardex::py {
namespace {

// {name: column} for columns of `days` values laid one after the other in `values`.
PyObject* columns_dict(std::span<const std::string> names, std::span<const double> values, std::size_t days) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t k = 0; k < names.size(); ++k) {
        Ref column(new_array(values.subspan(k * days, days)));
        if (!column || PyDict_SetItemString(dict.get(), names[k].c_str(), column.get()) < 0) return nullptr;
    }
    return dict.release();
}

// The model of that name, or nullptr with the hydro error of an unknown name raised.
const hydro::ModelSpec* model_arg(const std::string& model) {
    const hydro::ModelSpec* m = hydro::find_model(model);
    if (!m) raise(HydroError{HydroWrongModel{model}});
    return m;
}

// The shared body of model_states, model_fluxes and water_balance: parse, check, record without
// the lock, then `make` the result from the recording.
template <bool NeedsFluxes, class Make>
PyObject* recorded(PyObject* args, PyObject* kwargs, const char* format, Make make) {
    static const char* keywords[] = {"model", "params", "precipitation", "pet", nullptr};
    PyObject *model_obj, *params_obj, *precipitation_obj, *pet_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &model_obj, &params_obj,
                                     &precipitation_obj, &pet_obj))
        return nullptr;
    auto model = str_arg(model_obj, "model");
    if (!model) return nullptr;
    auto a = model_args(params_obj, precipitation_obj, pet_obj);
    if (!a) return nullptr;
    const hydro::ModelSpec* m = model_arg(*model);
    if (!m) return nullptr;
    auto result = without_gil([&] {
        return (NeedsFluxes ? hydro::record_fluxes : hydro::record_states)(*m, a->params, a->precipitation, a->pet);
    });
    if (!result) return raise(result.error());
    return make(*m, *result, a->precipitation);
}

PyObject* model_states(PyObject*, PyObject* args, PyObject* kwargs) {
    return recorded<false>(args, kwargs, "OOOO:model_states",
                           [](const hydro::ModelSpec& m, const hydro::Recording& r, std::span<const double>) {
                               const std::vector<std::string> names(m.states.begin(), m.states.end());
                               return columns_dict(names, r.states, r.q.size());
                           });
}

PyObject* model_fluxes(PyObject*, PyObject* args, PyObject* kwargs) {
    return recorded<true>(args, kwargs, "OOOO:model_fluxes",
                          [](const hydro::ModelSpec& m, const hydro::Recording& r, std::span<const double>) {
                              std::vector<std::string> names;
                              for (const hydro::FluxSpec& f : m.fluxes) names.emplace_back(f.name);
                              return columns_dict(names, r.fluxes, r.q.size());
                          });
}

// Totals over the days from `first` (default 0, the whole run).
PyObject* water_balance(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"model", "params", "precipitation", "pet", "first", nullptr};
    PyObject *model_obj, *params_obj, *precipitation_obj, *pet_obj, *first_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|O:water_balance", const_cast<char**>(keywords), &model_obj,
                                     &params_obj, &precipitation_obj, &pet_obj, &first_obj))
        return nullptr;
    std::uint64_t first = 0;
    if (first_obj) {
        auto value = u64_scalar(first_obj, "first");
        if (!value) return nullptr;
        first = *value;
    }
    Ref forwarded(PyTuple_Pack(4, model_obj, params_obj, precipitation_obj, pet_obj));
    if (!forwarded) return nullptr;
    return recorded<true>(
        forwarded.get(), nullptr, "OOOO:water_balance",
        [first](const hydro::ModelSpec& m, const hydro::Recording& r,
                std::span<const double> precipitation) -> PyObject* {
            if (first > r.q.size()) {
                PyErr_Format(PyExc_ValueError, "first (%llu) is beyond the run's %zu days",
                             static_cast<unsigned long long>(first), r.q.size());
                return nullptr;
            }
            const auto terms = without_gil([&] { return hydro::water_balance(m, r, precipitation, first); });
            if (!terms) return raise(terms.error());
            Ref dict(PyDict_New());
            if (!dict) return nullptr;
            for (const hydro::BalanceTerm& term : *terms) {
                Ref value(PyFloat_FromDouble(term.total));
                if (!value || PyDict_SetItemString(dict.get(), term.name, value.get()) < 0) return nullptr;
            }
            return dict.release();
        });
}

// The shared body of cemaneige_states and cemaneige_fluxes: one column per prefix and layer, in that order.
template <class Pick>
PyObject* snow_recorded(PyObject* args, PyObject* kwargs, const char* format,
                        std::initializer_list<const char*> prefixes, Pick pick) {
    auto a = snow_args(args, kwargs, format);
    if (!a) return nullptr;
    auto result = without_gil([&] {
        return snow::cemaneige_states(a->params, a->precipitation, a->temperature, a->day_of_year,
                                      a->elevation_layers, a->median_elevation);
    });
    if (!result) return raise(result.error());
    std::vector<std::string> names;
    for (const char* prefix : prefixes)
        for (std::size_t j = 0; j < a->elevation_layers.size(); ++j) names.push_back(prefix + std::to_string(j));
    return columns_dict(names, pick(*result), result->liquid.size());
}

PyObject* cemaneige_states(PyObject*, PyObject* args, PyObject* kwargs) {
    return snow_recorded(args, kwargs, "OOOOOO:cemaneige_states", {"G_", "e_"},
                         [](const auto& r) -> const std::vector<double>& { return r.states; });
}

PyObject* cemaneige_fluxes(PyObject*, PyObject* args, PyObject* kwargs) {
    return snow_recorded(args, kwargs, "OOOOOO:cemaneige_fluxes",
                         {"liquid_precipitation_", "solid_precipitation_", "melt_", "outflow_"},
                         [](const auto& r) -> const std::vector<double>& { return r.fluxes; });
}

// [rmse, nse, kge] of a simulation against observations, by the calibrators' own rule: days without an
// observation skipped, both transformed, worst values for a non-finite simulation or a degenerate metric.
PyObject* score(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"observations", "simulation", "transformation", nullptr};
    PyObject *observations_obj, *simulation_obj, *transformation_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:score", const_cast<char**>(keywords), &observations_obj,
                                     &simulation_obj, &transformation_obj))
        return nullptr;
    auto observations = f64_array(observations_obj, "observations");
    if (!observations) return nullptr;
    auto simulation = f64_array(simulation_obj, "simulation");
    if (!simulation) return nullptr;
    auto text = str_arg(transformation_obj, "transformation");
    if (!text) return nullptr;
    auto transformation = calibration::parse_transformation(*text);
    if (!transformation) {
        PyErr_SetString(PyExc_ValueError, transformation.error().c_str());
        return nullptr;
    }
    auto triple = without_gil([&] { return calibration::score(std::span<const double>(observations->data(), observations->size()),
                                std::span<const double>(simulation->data(), simulation->size()), *transformation, 0); });
    if (!triple) return raise(triple.error());
    return new_array(std::span<const double>(*triple));
}

PyMethodDef methods[] = {
    {"score", guarded_cfunction<score>(), METH_VARARGS | METH_KEYWORDS,
     "score(observations, simulation, transformation)\n--\n\n"},
    {"model_states", guarded_cfunction<model_states>(), METH_VARARGS | METH_KEYWORDS,
     "model_states(model, params, precipitation, pet)\n--\n\n"},
    {"model_fluxes", guarded_cfunction<model_fluxes>(), METH_VARARGS | METH_KEYWORDS,
     "model_fluxes(model, params, precipitation, pet)\n--\n\n"},
    {"water_balance", guarded_cfunction<water_balance>(), METH_VARARGS | METH_KEYWORDS,
     "water_balance(model, params, precipitation, pet, first=0)\n--\n\n"},
    {"cemaneige_states", guarded_cfunction<cemaneige_states>(), METH_VARARGS | METH_KEYWORDS,
     "cemaneige_states(params, precipitation, temperature, day_of_year, elevation_layers, median_elevation)\n"
     "--\n\n"},
    {"cemaneige_fluxes", guarded_cfunction<cemaneige_fluxes>(), METH_VARARGS | METH_KEYWORDS,
     "cemaneige_fluxes(params, precipitation, temperature, day_of_year, elevation_layers, median_elevation)\n"
     "--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef core_def = {PyModuleDef_HEAD_INIT, "vardex._core", nullptr, -1, methods,
                        nullptr,               nullptr,        nullptr, nullptr};

}  // namespace
}  // namespace vardex::py

PyMODINIT_FUNC PyInit__core(void) {
    if (PyArray_ImportNumPyAPI() < 0) return nullptr;
    // Errors must be catchable as vardex_rs's own classes, so take them from that module.
    vardex::py::Ref rs(PyImport_ImportModule("vardex_rs"));
    if (!rs || !vardex::py::adopt_exceptions(rs.get())) return nullptr;
    vardex::py::Ref module(PyModule_Create(&vardex::py::core_def));
    if (!module || !vardex::py::add_owned(module.get(), "Sce", vardex::py::make_counted_sce_type()) ||
        !vardex::py::add_owned(module.get(), "Dds", vardex::py::make_counted_dds_type()))
        return nullptr;
    return module.release();
}
