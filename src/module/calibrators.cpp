// The calibrator classes Sce and Dds: construction, init and step with an exclusive-use claim.
#include <atomic>
#include <new>
#include <optional>
#include <vector>

#include "calibration/dds.hpp"
#include "calibration/samples.hpp"
#include "calibration/sce.hpp"
#include "module/bindings.hpp"

namespace vardex::py {
namespace {

using calibration::Dds;
using calibration::Forcing;
using calibration::Sce;

template <class Optimiser>
struct Calibrator {
    PyObject_HEAD
    Optimiser* state;
    std::atomic<bool> busy;
    calibration::SampleLog* samples;  // vardex._core's keep_samples(); nullptr until asked
};

// Owned copies of the series of one init or step call.
struct ForcingArgs {
    Array<double> precipitation;
    std::optional<Array<double>> temperature;
    Array<double> pet;
    std::optional<Array<std::uint64_t>> day_of_year;
    std::optional<Array<double>> elevation_bands;
    std::optional<double> median_elevation;
    Array<double> observations;
    std::uint64_t warmup_steps = 0;

    Forcing view() const {
        Forcing f{precipitation, std::nullopt, pet, std::nullopt, std::nullopt, median_elevation, observations,
                  warmup_steps};
        if (temperature) f.temperature = std::span<const double>(*temperature);
        if (day_of_year) f.day_of_year = std::span<const std::uint64_t>(*day_of_year);
        if (elevation_bands) f.elevation_bands = std::span<const double>(*elevation_bands);
        return f;
    }
};

std::optional<ForcingArgs> parse_forcing(PyObject* args, PyObject* kwargs, const char* format) {
    static const char* keywords[] = {"precipitation",   "temperature",      "pet",          "day_of_year",
                                     "elevation_bands", "median_elevation", "observations", "warmup_steps",
                                     nullptr};
    PyObject* o[8];
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &o[0], &o[1], &o[2],
                                     &o[3], &o[4], &o[5], &o[6], &o[7]))
        return std::nullopt;
    ForcingArgs f;
    auto precipitation = f64_array(o[0], "precipitation");
    if (!precipitation) return std::nullopt;
    f.precipitation = std::move(*precipitation);
    auto temperature = opt_f64_array(o[1], "temperature");
    if (!temperature) return std::nullopt;
    f.temperature = std::move(*temperature);
    auto pet = f64_array(o[2], "pet");
    if (!pet) return std::nullopt;
    f.pet = std::move(*pet);
    auto doy = opt_u64_array(o[3], "day_of_year");
    if (!doy) return std::nullopt;
    f.day_of_year = std::move(*doy);
    auto bands = opt_f64_array(o[4], "elevation_bands");
    if (!bands) return std::nullopt;
    f.elevation_bands = std::move(*bands);
    auto median = opt_f64_scalar(o[5], "median_elevation");
    if (!median) return std::nullopt;
    f.median_elevation = *median;
    auto observations = f64_array(o[6], "observations");
    if (!observations) return std::nullopt;
    f.observations = std::move(*observations);
    auto warmup = u64_scalar(o[7], "warmup_steps");
    if (!warmup) return std::nullopt;
    f.warmup_steps = *warmup;
    return f;
}

// Holds the object's exclusive-use flag for the duration of a call.
template <class Optimiser>
class Claim {
public:
    explicit Claim(Calibrator<Optimiser>* self) : self_(self), held_(!self->busy.exchange(true)) {}
    ~Claim() {
        if (held_) self_->busy.store(false);
    }
    // Whether this call has the object; when another one has it, RuntimeError is raised here.
    bool held() const {
        if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return held_;
    }

private:
    Calibrator<Optimiser>* self_;
    bool held_;
};

PyObject* step_tuple(const calibration::StepResult& r) {
    Ref params(new_array(r.best_parameters));
    if (!params) return nullptr;
    Ref simulation(new_array(r.best_simulation));
    if (!simulation) return nullptr;
    Ref triple(new_array(r.best_triple));
    if (!triple) return nullptr;
    return PyTuple_Pack(4, r.done ? Py_True : Py_False, params.get(), simulation.get(), triple.get());
}

// Runs `call` without the lock; a failed call leaves the sample log as it was.
template <class Optimiser, class Call>
auto logged(Calibrator<Optimiser>* self, Call call) {
    calibration::SampleLog* log = self->samples;
    const calibration::SampleLog::Mark mark = log ? log->mark() : calibration::SampleLog::Mark{};
    auto result = without_gil(call);
    if (!result && log) log->rollback(mark);
    return result;
}

template <class Optimiser>
PyObject* calibrator_init(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    auto* self = reinterpret_cast<Calibrator<Optimiser>*>(self_obj);
    Claim<Optimiser> claim(self);
    if (!claim.held()) return nullptr;
    auto forcing = parse_forcing(args, kwargs, "OOOOOOOO:init");
    if (!forcing) return nullptr;
    auto result = logged(self, [&] { return self->state->init(forcing->view()); });
    if (!result) return raise(result.error());
    Py_RETURN_NONE;
}

template <class Optimiser>
PyObject* calibrator_step(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    auto* self = reinterpret_cast<Calibrator<Optimiser>*>(self_obj);
    Claim<Optimiser> claim(self);
    if (!claim.held()) return nullptr;
    auto forcing = parse_forcing(args, kwargs, "OOOOOOOO:step");
    if (!forcing) return nullptr;
    auto result = logged(self, [&] { return self->state->step(forcing->view()); });
    if (!result) return raise(result.error());
    return step_tuple(*result);
}

// run_steps(forcing..., count): up to `count` steps on one copy of the forcing, without the lock, stopping
// early once the optimiser is done. Returns (the best triple after each step, one row per step made; the last
// step's (done, best, simulation, triple)). Each step is exactly what a step call makes; a failing step leaves
// the sample log as it was before that step and raises, the steps before it made.
template <class Optimiser>
PyObject* calibrator_run_steps(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
    auto* self = reinterpret_cast<Calibrator<Optimiser>*>(self_obj);
    Claim<Optimiser> claim(self);
    if (!claim.held()) return nullptr;
    const Py_ssize_t given = PyTuple_Size(args);
    if (given != 9) {
        PyErr_Format(PyExc_TypeError, "run_steps() takes the forcing of step and a count (9 arguments), got %zd",
                     given);
        return nullptr;
    }
    if (kwargs && PyDict_Size(kwargs) > 0) {
        PyErr_SetString(PyExc_TypeError, "run_steps() takes positional arguments only");
        return nullptr;
    }
    Ref forcing_args(PyTuple_GetSlice(args, 0, 8));
    if (!forcing_args) return nullptr;
    auto forcing = parse_forcing(forcing_args.get(), nullptr, "OOOOOOOO:run_steps");
    if (!forcing) return nullptr;
    auto count = u64_scalar(PyTuple_GET_ITEM(args, 8), "count");
    if (!count) return nullptr;
    std::vector<double> triples;
    std::optional<calibration::StepResult> last;
    std::optional<CalibrationError> failure;
    without_gil([&] {
        const Forcing view = forcing->view();
        calibration::SampleLog* log = self->samples;
        for (std::uint64_t i = 0; i < *count; ++i) {
            const calibration::SampleLog::Mark mark = log ? log->mark() : calibration::SampleLog::Mark{};
            // One forcing for the whole call; only the last step's simulation is returned.
            auto result = self->state->step(view, i > 0, i + 1 == *count);
            if (!result) {
                if (log) log->rollback(mark);
                failure = std::move(result.error());
                break;
            }
            triples.insert(triples.end(), result->best_triple.begin(), result->best_triple.end());
            const bool done = result->done;
            last = std::move(*result);
            if (done) break;
        }
        return 0;
    });
    if (failure) return raise(*failure);
    Ref history(new_matrix(triples, static_cast<npy_intp>(triples.size() / 3), 3));
    if (!history) return nullptr;
    if (!last) return PyTuple_Pack(2, history.get(), Py_None);
    Ref step(step_tuple(*last));
    if (!step) return nullptr;
    return PyTuple_Pack(2, history.get(), step.get());
}

template <class Optimiser>
void calibrator_dealloc(PyObject* self_obj) {
    auto* self = reinterpret_cast<Calibrator<Optimiser>*>(self_obj);
    PyTypeObject* type = Py_TYPE(self_obj);
    delete self->state;
    delete self->samples;
    self->busy.~atomic();
    type->tp_free(self_obj);
    Py_DECREF(type);
}

// Allocates the object around an optimiser built by `create` (run without the lock).
template <class Optimiser, class Create>
PyObject* new_calibrator(PyTypeObject* type, Create create) {
    auto made = without_gil(create);
    if (!made) return raise(ErrorClass::Value, made.error());
    auto* self = reinterpret_cast<Calibrator<Optimiser>*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    new (&self->busy) std::atomic<bool>(false);
    self->samples = nullptr;
    self->state = new (std::nothrow) Optimiser(std::move(*made));
    if (!self->state) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(self);
}

struct ModelChoice {
    std::string hydro_model;
    std::optional<std::string> snow_model;
    std::string objective;
    std::string transformation;

    std::optional<std::string_view> snow() const {
        return snow_model ? std::optional<std::string_view>(*snow_model) : std::nullopt;
    }
};

bool parse_choice(PyObject* const o[4], ModelChoice& c) {
    auto hydro = str_arg(o[0], "hydro_model");
    if (!hydro) return false;
    auto snow = opt_str_arg(o[1], "snow_model");
    if (!snow) return false;
    auto objective = str_arg(o[2], "objective");
    if (!objective) return false;
    auto transformation = str_arg(o[3], "transformation");
    if (!transformation) return false;
    c = ModelChoice{std::move(*hydro), std::move(*snow), std::move(*objective), std::move(*transformation)};
    return true;
}

PyObject* sce_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"hydro_model",
                                     "snow_model",
                                     "objective",
                                     "transformation",
                                     "n_complexes",
                                     "k_stop",
                                     "p_convergence_threshold",
                                     "geometric_range_threshold",
                                     "max_evaluations",
                                     "seed",
                                     nullptr};
    PyObject* o[10];
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOOOO:Sce", const_cast<char**>(keywords), &o[0], &o[1],
                                     &o[2], &o[3], &o[4], &o[5], &o[6], &o[7], &o[8], &o[9]))
        return nullptr;
    ModelChoice c;
    if (!parse_choice(o, c)) return nullptr;
    auto n_complexes = u64_scalar(o[4], "n_complexes");
    if (!n_complexes) return nullptr;
    auto k_stop = u64_scalar(o[5], "k_stop");
    if (!k_stop) return nullptr;
    auto p_threshold = f64_scalar(o[6], "p_convergence_threshold");
    if (!p_threshold) return nullptr;
    auto g_threshold = f64_scalar(o[7], "geometric_range_threshold");
    if (!g_threshold) return nullptr;
    auto max_evaluations = u64_scalar(o[8], "max_evaluations");
    if (!max_evaluations) return nullptr;
    auto seed = u64_scalar(o[9], "seed");
    if (!seed) return nullptr;
    const calibration::SceSettings settings{*n_complexes, *k_stop,          *p_threshold,
                                            *g_threshold, *max_evaluations, *seed};
    return new_calibrator<Sce>(type, [&] {
        return Sce::create(c.hydro_model, c.snow(), c.objective, c.transformation, settings);
    });
}

PyObject* dds_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"hydro_model", "snow_model",      "objective", "transformation", "r",
                                     "max_evaluations", "seed", nullptr};
    PyObject* o[7];
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOO:Dds", const_cast<char**>(keywords), &o[0], &o[1],
                                     &o[2], &o[3], &o[4], &o[5], &o[6]))
        return nullptr;
    ModelChoice c;
    if (!parse_choice(o, c)) return nullptr;
    auto r = f64_scalar(o[4], "r");
    if (!r) return nullptr;
    auto max_evaluations = u64_scalar(o[5], "max_evaluations");
    if (!max_evaluations) return nullptr;
    auto seed = u64_scalar(o[6], "seed");
    if (!seed) return nullptr;
    return new_calibrator<Dds>(type, [&] {
        return Dds::create(c.hydro_model, c.snow(), c.objective, c.transformation, *r, *max_evaluations, *seed);
    });
}

constexpr char kForcingSignature[] =
    "precipitation, temperature, pet, day_of_year, elevation_bands, median_elevation, observations, "
    "warmup_steps)\n--\n\n";

template <class Optimiser>
PyMethodDef* methods() {
    static const std::string init_doc = std::string("init($self, ") + kForcingSignature;
    static const std::string step_doc = std::string("step($self, ") + kForcingSignature;
    static PyMethodDef defs[] = {
        {"init", guarded_cfunction<calibrator_init<Optimiser>>(), METH_VARARGS | METH_KEYWORDS, init_doc.c_str()},
        {"step", guarded_cfunction<calibrator_step<Optimiser>>(), METH_VARARGS | METH_KEYWORDS, step_doc.c_str()},
        {nullptr, nullptr, 0, nullptr},
    };
    return defs;
}

// The evaluation count, for vardex._core's calibrators; refused while a call holds the object.
template <class Optimiser>
PyObject* calibrator_evaluations(PyObject* self_obj, void*) {
    auto* self = reinterpret_cast<Calibrator<Optimiser>*>(self_obj);
    Claim<Optimiser> claim(self);
    if (!claim.held()) return nullptr;
    return PyLong_FromUnsignedLongLong(self->state->evaluations());
}

// (evaluations stopped early as rejected, model days they did not run), for measuring the cut-off.
template <class Optimiser>
PyObject* calibrator_early_stops(PyObject* self_obj, void*) {
    auto* self = reinterpret_cast<Calibrator<Optimiser>*>(self_obj);
    Claim<Optimiser> claim(self);
    if (!claim.held()) return nullptr;
    const auto [stopped, skipped] = self->state->early_stops();
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(stopped), static_cast<unsigned long long>(skipped));
}

// keep_samples(): from now on, log every evaluated parameter set with its metric triple.
template <class Optimiser>
PyObject* calibrator_keep_samples(PyObject* self_obj, PyObject*) {
    auto* self = reinterpret_cast<Calibrator<Optimiser>*>(self_obj);
    Claim<Optimiser> claim(self);
    if (!claim.held()) return nullptr;
    if (!self->samples) {
        self->samples = new (std::nothrow) calibration::SampleLog();
        if (!self->samples) return PyErr_NoMemory();
        self->state->keep_samples(self->samples);
    }
    Py_RETURN_NONE;
}

// samples(): (parameter sets, one row per evaluation; their metric triples), or None when not kept.
template <class Optimiser>
PyObject* calibrator_samples(PyObject* self_obj, PyObject*) {
    auto* self = reinterpret_cast<Calibrator<Optimiser>*>(self_obj);
    Claim<Optimiser> claim(self);
    if (!claim.held()) return nullptr;
    if (!self->samples) Py_RETURN_NONE;
    const calibration::SampleLog& log = *self->samples;
    const auto rows = static_cast<npy_intp>(log.rows());
    const auto n = rows ? static_cast<npy_intp>(log.params.size()) / rows : 0;
    Ref params(new_matrix(log.params, rows, n));
    if (!params) return nullptr;
    Ref triples(new_matrix(log.triples, rows, 3));
    if (!triples) return nullptr;
    return PyTuple_Pack(2, params.get(), triples.get());
}

template <class Optimiser>
PyMethodDef* counted_methods() {
    static PyMethodDef defs[] = {
        methods<Optimiser>()[0],
        methods<Optimiser>()[1],
        {"keep_samples", guarded_cfunction<calibrator_keep_samples<Optimiser>>(), METH_NOARGS,
         "keep_samples($self)\n--\n\n"},
        {"samples", guarded_cfunction<calibrator_samples<Optimiser>>(), METH_NOARGS, "samples($self)\n--\n\n"},
        {"run_steps", guarded_cfunction<calibrator_run_steps<Optimiser>>(), METH_VARARGS | METH_KEYWORDS,
         "run_steps($self, precipitation, temperature, pet, day_of_year, elevation_bands, median_elevation, "
         "observations, warmup_steps, count)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };
    return defs;
}

// One type per (optimiser, counted) pair; the counted ones add the read-only `evaluations` and the sample log.
template <class Optimiser, bool Counted>
PyObject* make_type(const char* qualified_name, const char* doc, newfunc tp_new) {
    static PyGetSetDef getset[] = {
        {"evaluations", &calibrator_evaluations<Optimiser>, nullptr, nullptr, nullptr},
        {"early_stops", &calibrator_early_stops<Optimiser>, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&calibrator_dealloc<Optimiser>)},
        {Py_tp_methods, Counted ? counted_methods<Optimiser>() : methods<Optimiser>()},
        {Py_tp_doc, const_cast<char*>(doc)},
        {Counted ? Py_tp_getset : 0, Counted ? getset : nullptr},  // a 0 slot ends the plain classes here
        {0, nullptr},
    };
    static PyType_Spec type_spec = {qualified_name, sizeof(Calibrator<Optimiser>), 0, Py_TPFLAGS_DEFAULT, slots};
    Ref type(PyType_FromSpec(&type_spec));
    if (!type) return nullptr;
    // The type's doc holds only the text signature; keep __doc__ None like the functions'.
    if (PyObject_SetAttrString(type.get(), "__doc__", Py_None) < 0) return nullptr;
    return type.release();
}

template <class Optimiser>
PyObject* make_class_module(const char* module_name, const char* class_name, const char* qualified_name,
                            const char* doc, newfunc tp_new) {
    Ref type(make_type<Optimiser, false>(qualified_name, doc, tp_new));
    if (!type) return nullptr;
    Ref module(PyModule_New(module_name));
    if (!module || !add_owned(module.get(), class_name, type.release())) return nullptr;
    return module.release();
}

constexpr char kSceDoc[] =
    "Sce(hydro_model, snow_model, objective, transformation, n_complexes, k_stop, p_convergence_threshold, "
    "geometric_range_threshold, max_evaluations, seed)\n--\n\n";
constexpr char kDdsDoc[] = "Dds(hydro_model, snow_model, objective, transformation, r, max_evaluations, seed)\n--\n\n";

}  // namespace

PyObject* make_sce_module() {
    return make_class_module<Sce>("sce", "Sce", "vardex_rs.calibration.sce.Sce", kSceDoc, &Guard<sce_new>::call);
}

PyObject* make_dds_module() {
    return make_class_module<Dds>("dds", "Dds", "vardex_rs.calibration.dds.Dds", kDdsDoc, &Guard<dds_new>::call);
}

PyObject* make_counted_sce_type() {
    return make_type<Sce, true>("vardex._core.Sce", kSceDoc, &Guard<sce_new>::call);
}

PyObject* make_counted_dds_type() {
    return make_type<Dds, true>("vardex._core.Dds", kDdsDoc, &Guard<dds_new>::call);
}

}  // namespace vardex::py
