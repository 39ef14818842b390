// Python submodules of the rainfall-runoff models, all driven by the model registry.
#include "hydro/registry.hpp"
#include "module/bindings.hpp"

namespace vardex::py {
namespace {

using hydro::ModelSpec;

const ModelSpec& spec_of(PyObject* module) {
    return **static_cast<const ModelSpec**>(PyModule_GetState(module));
}

PyObject* model_init(PyObject* self, PyObject*) {
    const ModelSpec& m = spec_of(self);
    return defaults_and_bounds(hydro::defaults(m), m.params);
}

PyObject* model_simulate(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"params", "precipitation", "pet", nullptr};
    PyObject *params_obj, *precipitation_obj, *pet_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:simulate", const_cast<char**>(keywords), &params_obj,
                                     &precipitation_obj, &pet_obj))
        return nullptr;
    auto a = model_args(params_obj, precipitation_obj, pet_obj);
    if (!a) return nullptr;

    const ModelSpec& m = spec_of(self);
    return filled_array(
        a->precipitation.size(), [&] { return hydro::check_inputs(m, a->params, a->precipitation, a->pet); },
        [&](std::span<double> q) { return hydro::simulate_into(m, a->params, a->precipitation, a->pet, q); });
}

PyMethodDef init_def = {"init", guarded_cfunction<model_init>(), METH_NOARGS, "init()\n--\n\n"};
PyMethodDef simulate_def = {"simulate", guarded_cfunction<model_simulate>(), METH_VARARGS | METH_KEYWORDS,
                            "simulate(params, precipitation, pet)\n--\n\n"};

bool add_texts(PyObject* module, const char* attr, const ModelSpec& m, const char* ParamSpec::*field) {
    std::vector<const char*> texts;
    for (const ParamSpec& p : m.params) texts.push_back(p.*field);
    return add_owned(module, attr, str_list(texts));
}

}  // namespace

PyObject* make_model_module(std::size_t model_index) {
    const auto all = hydro::models();
    // Module definitions must outlive their modules: one per model, kept for the process.
    static PyModuleDef* const defs = new PyModuleDef[all.size()];
    const ModelSpec& m = *all[model_index];
    PyModuleDef& def = defs[model_index];
    def = PyModuleDef{PyModuleDef_HEAD_INIT, m.name, nullptr, sizeof(const ModelSpec*),
                      nullptr,               nullptr, nullptr, nullptr, nullptr};

    Ref module(PyModule_Create(&def));
    if (!module) return nullptr;
    *static_cast<const ModelSpec**>(PyModule_GetState(module.get())) = &m;
    if (!add_texts(module.get(), "param_names", m, &ParamSpec::name) ||
        !add_texts(module.get(), "param_descriptions", m, &ParamSpec::description) ||
        !add_texts(module.get(), "param_descriptions_fr", m, &ParamSpec::description_fr) ||
        !add_function(module.get(), &init_def) || !add_function(module.get(), &simulate_def))
        return nullptr;
    return module.release();
}

}  // namespace vardex::py
