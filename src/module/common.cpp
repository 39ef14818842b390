// Helpers shared by the builders of both extension modules.
#include "module/bindings.hpp"

namespace vardex::py {

bool add_owned(PyObject* module, const char* name, PyObject* value) {
    Ref owned(value);
    return owned && PyModule_AddObjectRef(module, name, owned.get()) == 0;
}

PyObject* defaults_and_bounds(std::span<const double> defaults, std::span<const ParamSpec> params) {
    std::vector<double> bounds;
    for (const ParamSpec& p : params) {
        bounds.push_back(p.lower);
        bounds.push_back(p.upper);
    }
    Ref d(new_array(defaults));
    if (!d) return nullptr;
    Ref b(new_matrix(bounds, static_cast<npy_intp>(params.size()), 2));
    if (!b) return nullptr;
    return PyTuple_Pack(2, d.get(), b.get());
}

bool add_function(PyObject* module, PyMethodDef* def) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return false;
    Ref name(module_name);
    return add_owned(module, def->ml_name, PyCFunction_NewEx(def, module, name.get()));
}

std::optional<ModelArgs> model_args(PyObject* params_obj, PyObject* precipitation_obj, PyObject* pet_obj) {
    auto params = f64_array(params_obj, "params");
    if (!params) return std::nullopt;
    auto precipitation = f64_array(precipitation_obj, "precipitation");
    if (!precipitation) return std::nullopt;
    auto pet = f64_array(pet_obj, "pet");
    if (!pet) return std::nullopt;
    return ModelArgs{std::move(*params), std::move(*precipitation), std::move(*pet)};
}

std::optional<SnowArgs> snow_args(PyObject* args, PyObject* kwargs, const char* format) {
    static const char* keywords[] = {"params",           "precipitation",    "temperature", "day_of_year",
                                     "elevation_layers", "median_elevation", nullptr};
    PyObject *params_obj, *precipitation_obj, *temperature_obj, *doy_obj, *layers_obj, *median_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &params_obj,
                                     &precipitation_obj, &temperature_obj, &doy_obj, &layers_obj, &median_obj))
        return std::nullopt;
    auto params = f64_array(params_obj, "params");
    if (!params) return std::nullopt;
    auto precipitation = f64_array(precipitation_obj, "precipitation");
    if (!precipitation) return std::nullopt;
    auto temperature = f64_array(temperature_obj, "temperature");
    if (!temperature) return std::nullopt;
    auto doy = u64_array(doy_obj, "day_of_year");
    if (!doy) return std::nullopt;
    auto layers = f64_array(layers_obj, "elevation_layers");
    if (!layers) return std::nullopt;
    auto median = f64_scalar(median_obj, "median_elevation");
    if (!median) return std::nullopt;
    return SnowArgs{std::move(*params), std::move(*precipitation), std::move(*temperature),
                    std::move(*doy),    std::move(*layers),        *median};
}

}  // namespace vardex::py
