// Python submodules of the metrics, the Oudin PET formula and the CemaNeige snow model.
#include "metrics/metrics.hpp"
#include "module/bindings.hpp"
#include "pet/oudin.hpp"
#include "snow/cemaneige.hpp"

namespace vardex::py {
namespace {

using MetricFn = std::expected<double, MetricsError> (*)(std::span<const double>, std::span<const double>);

template <MetricFn Fn, const char* Format>
PyObject* metric(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"observations", "simulations", nullptr};
    PyObject *obs_obj, *sim_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, Format, const_cast<char**>(keywords), &obs_obj, &sim_obj))
        return nullptr;
    auto obs = f64_array(obs_obj, "observations");
    if (!obs) return nullptr;
    auto sim = f64_array(sim_obj, "simulations");
    if (!sim) return nullptr;
    auto result = without_gil([&] { return Fn(*obs, *sim); });
    if (!result) return raise(result.error());
    return PyFloat_FromDouble(*result);
}

constexpr char kRmseFormat[] = "OO:calculate_rmse";
constexpr char kNseFormat[] = "OO:calculate_nse";
constexpr char kKgeFormat[] = "OO:calculate_kge";

PyMethodDef rmse_def = {"calculate_rmse", guarded_cfunction<metric<metrics::rmse, kRmseFormat>>(),
                        METH_VARARGS | METH_KEYWORDS, "calculate_rmse(observations, simulations)\n--\n\n"};
PyMethodDef nse_def = {"calculate_nse", guarded_cfunction<metric<metrics::nse, kNseFormat>>(),
                       METH_VARARGS | METH_KEYWORDS, "calculate_nse(observations, simulations)\n--\n\n"};
PyMethodDef kge_def = {"calculate_kge", guarded_cfunction<metric<metrics::kge, kKgeFormat>>(),
                       METH_VARARGS | METH_KEYWORDS, "calculate_kge(observations, simulations)\n--\n\n"};

PyObject* oudin_simulate(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"temperature", "day_of_year", "latitude", nullptr};
    PyObject *temperature_obj, *doy_obj, *latitude_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:simulate", const_cast<char**>(keywords), &temperature_obj,
                                     &doy_obj, &latitude_obj))
        return nullptr;
    auto temperature = f64_array(temperature_obj, "temperature");
    if (!temperature) return nullptr;
    auto doy = u64_array(doy_obj, "day_of_year");
    if (!doy) return nullptr;
    auto latitude = f64_scalar(latitude_obj, "latitude");
    if (!latitude) return nullptr;
    return filled_array(
        temperature->size(), [&] { return pet::oudin_check(*temperature, *doy, *latitude); },
        [&](std::span<double> out) { return pet::oudin_into(*temperature, *doy, *latitude, out); });
}

PyMethodDef oudin_def = {"simulate", guarded_cfunction<oudin_simulate>(), METH_VARARGS | METH_KEYWORDS,
                         "simulate(temperature, day_of_year, latitude)\n--\n\n"};

PyObject* cemaneige_init(PyObject*, PyObject*) {
    return defaults_and_bounds(snow::cemaneige_defaults, snow::cemaneige_params);
}

PyObject* cemaneige_simulate(PyObject*, PyObject* args, PyObject* kwargs) {
    auto a = snow_args(args, kwargs, "OOOOOO:simulate");
    if (!a) return nullptr;
    return filled_array(
        a->precipitation.size(),
        [&] { return snow::cemaneige_check(a->params, a->precipitation, a->temperature, a->day_of_year,
                                           a->elevation_layers); },
        [&](std::span<double> out) {
            return snow::cemaneige_into(a->params, a->precipitation, a->temperature, a->day_of_year,
                                        a->elevation_layers, a->median_elevation, out);
        });
}

PyMethodDef cemaneige_init_def = {"init", guarded_cfunction<cemaneige_init>(), METH_NOARGS, "init()\n--\n\n"};
PyMethodDef cemaneige_simulate_def = {
    "simulate", guarded_cfunction<cemaneige_simulate>(), METH_VARARGS | METH_KEYWORDS,
    "simulate(params, precipitation, temperature, day_of_year, elevation_layers, median_elevation)\n--\n\n"};

}  // namespace

PyObject* make_metrics_module() {
    Ref module(PyModule_New("metrics"));
    if (!module || !add_function(module.get(), &rmse_def) || !add_function(module.get(), &nse_def) ||
        !add_function(module.get(), &kge_def))
        return nullptr;
    return module.release();
}

PyObject* make_oudin_module() {
    Ref module(PyModule_New("oudin"));
    if (!module || !add_function(module.get(), &oudin_def)) return nullptr;
    return module.release();
}

PyObject* make_cemaneige_module() {
    Ref module(PyModule_New("cemaneige"));
    if (!module) return nullptr;
    std::vector<const char*> names;
    for (const ParamSpec& p : snow::cemaneige_params) names.push_back(p.name);
    if (!add_owned(module.get(), "param_names", str_list(names)) ||
        !add_function(module.get(), &cemaneige_init_def) || !add_function(module.get(), &cemaneige_simulate_def))
        return nullptr;
    return module.release();
}

}  // namespace vardex::py
