// Module initialiser: builds the submodule tree and registers it in sys.modules.
#define VARDEX_IMPORT_ARRAY_HERE
#include "hydro/registry.hpp"
#include "module/bindings.hpp"

namespace vardex::py {
namespace {

// m_size 0 rather than -1: the interpreter then calls the initialiser again for another
// interpreter instead of copying this module's dict there, so it can be refused.
PyModuleDef root_def = {PyModuleDef_HEAD_INIT, "vardex_rs", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// Every submodule under its dotted name, kept for the process so that the entries can be put
// back into sys.modules whenever the module is handed out again (someone may have deleted them).
std::vector<std::pair<std::string, PyObject*>>& submodules() {
    static auto* const all = new std::vector<std::pair<std::string, PyObject*>>();
    return *all;
}

bool store_in_sys_modules(const std::string& full, PyObject* module) {
    Ref sys(PyImport_ImportModule("sys"));
    if (!sys) return false;
    Ref modules(PyObject_GetAttrString(sys.get(), "modules"));
    return modules && PyMapping_SetItemString(modules.get(), full.c_str(), module) == 0;
}

// Sets `child` (a new reference, consumed) as an attribute of `parent` under its own
// short name, and stores it in sys.modules under "<parent_qualname>.<name>".
bool register_child(PyObject* parent, const std::string& parent_qualname, PyObject* child_ref) {
    Ref child(child_ref);
    if (!child) return false;
    Ref name(PyModule_GetNameObject(child.get()));
    if (!name || PyObject_SetAttr(parent, name.get(), child.get()) < 0) return false;
    const char* short_name = PyUnicode_AsUTF8(name.get());
    if (!short_name) return false;
    const std::string full = parent_qualname + "." + short_name;
    if (!store_in_sys_modules(full, child.get())) return false;
    submodules().emplace_back(full, Py_NewRef(child.get()));
    return true;
}

bool restore_sys_modules() {
    for (const auto& [full, module] : submodules())
        if (!store_in_sys_modules(full, module)) return false;
    return true;
}

PyObject* build_calibration() {
    Ref calibration(PyModule_New("calibration"));
    const std::string qual = "vardex_rs.calibration";
    if (!calibration || !register_child(calibration.get(), qual, make_dds_module()) ||
        !register_child(calibration.get(), qual, make_sce_module()))
        return nullptr;
    return calibration.release();
}

PyObject* build_hydro() {
    Ref hydro(PyModule_New("hydro"));
    if (!hydro) return nullptr;
    for (std::size_t i = 0; i < hydro::models().size(); ++i)
        if (!register_child(hydro.get(), "vardex_rs.hydro", make_model_module(i))) return nullptr;
    return hydro.release();
}

PyObject* build_parent(const char* name, PyObject* (*make_child)()) {
    Ref parent(PyModule_New(name));
    if (!parent || !register_child(parent.get(), std::string("vardex_rs.") + name, make_child())) return nullptr;
    return parent.release();
}

PyObject* build_root() {
    Ref root(PyModule_Create(&root_def));
    if (!root || !create_exceptions()) return nullptr;
    if (PyModule_AddObjectRef(root.get(), "VardexError", vardex_error()) < 0 ||
        PyModule_AddObjectRef(root.get(), "VardexNumericalError", numerical_error()) < 0 ||
        PyModule_AddObjectRef(root.get(), "VardexValidationError", validation_error()) < 0)
        return nullptr;
    const std::string qual = "vardex_rs";
    if (!register_child(root.get(), qual, build_calibration()) || !register_child(root.get(), qual, build_hydro()) ||
        !register_child(root.get(), qual, make_metrics_module()) ||
        !register_child(root.get(), qual, build_parent("pet", make_oudin_module)) ||
        !register_child(root.get(), qual, build_parent("snow", make_cemaneige_module)))
        return nullptr;
    if (!add_owned(root.get(), "__version__", PyUnicode_FromString("0.7.0"))) return nullptr;
    return root.release();
}

}  // namespace
}  // namespace vardex::py

PyMODINIT_FUNC PyInit_vardex_rs(void) {
    // The module keeps process-wide objects (exception classes, module definitions), so it
    // belongs to the first interpreter that imports it; a second initialisation there returns
    // the module built the first time, with its submodules back in sys.modules. The owner is
    // known by its ID: a later interpreter may reuse the address of a destroyed one.
    static std::int64_t owner = -1;
    static PyObject* root = nullptr;
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current < 0) return nullptr;
    if (owner >= 0 && owner != current) {
        PyErr_SetString(PyExc_ImportError, "vardex_rs cannot be imported in more than one interpreter per process");
        return nullptr;
    }
    if (root) {
        if (!vardex::py::restore_sys_modules()) return nullptr;
        return Py_NewRef(root);
    }
    if (PyArray_ImportNumPyAPI() < 0) return nullptr;
    root = vardex::py::build_root();
    if (!root) {
        for (auto& entry : vardex::py::submodules()) Py_DECREF(entry.second);
        vardex::py::submodules().clear();
        return nullptr;
    }
    owner = current;
    return Py_NewRef(root);
}
