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

}  // namespace vardex::py
