// Argument conversion, result wrapping and the exception classes.
#include <cstdio>
#include <cstring>
#include <iterator>
#include <type_traits>
#include <new>
#include <stdexcept>

#include "module/py.hpp"

namespace vardex::py {
namespace {

void type_error(const char* name, const char* expected, PyObject* got) {
    if (PyArray_Check(got)) {
        auto* arr = reinterpret_cast<PyArrayObject*>(got);
        Ref dtype(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
        PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got a %d-D array of %s", name, expected,
                     PyArray_NDIM(arr), dtype ? PyUnicode_AsUTF8(dtype.get()) : "?");
        if (!dtype) PyErr_Clear();
    } else {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %s", name, expected, Py_TYPE(got)->tp_name);
    }
}

void memory_error(const char* name, npy_intp n, std::size_t element_size, const char* dtype) {
    const double bytes = static_cast<double>(n) * static_cast<double>(element_size);
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double shown = bytes;
    std::size_t unit = 0;
    while (shown >= 1024.0 && unit + 1 < std::size(units)) {
        shown /= 1024.0;
        ++unit;
    }
    char size[32];
    std::snprintf(size, sizeof size, "%.2f %s", shown, units[unit]);
    PyErr_Format(PyExc_MemoryError, "argument '%s': unable to allocate %s for a copy of %zd %s values", name, size,
                 static_cast<Py_ssize_t>(n), dtype);
}

// Copies a 1-D array of 8-byte elements in logical order, whatever its strides and alignment.
template <class T>
std::optional<Array<T>> array_of(PyObject* obj, const char* name, int typenum, const char* expected) {
    if (!PyArray_Check(obj)) {
        type_error(name, expected, obj);
        return std::nullopt;
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    PyArray_Descr* d = PyArray_DESCR(arr);
    if (PyArray_NDIM(arr) != 1 || !PyArray_EquivTypenums(d->type_num, typenum) || !PyArray_ISNOTSWAPPED(arr) ||
        PyDataType_ELSIZE(d) != sizeof(T)) {
        type_error(name, expected, obj);
        return std::nullopt;
    }
    const npy_intp n = PyArray_DIM(arr, 0);
    const npy_intp stride = PyArray_STRIDE(arr, 0);
    const char* base = static_cast<const char*>(PyArray_DATA(arr));
    // A view can be far larger than its data (stride 0): say which argument could not be copied.
    std::optional<Array<T>> out;
    try {
        out.emplace(static_cast<std::size_t>(n));
    } catch (const std::bad_alloc&) {
        memory_error(name, n, sizeof(T), std::is_same_v<T, double> ? "float64" : "uint64");
        return std::nullopt;
    }
    T* dst = out->data();
    if (stride == static_cast<npy_intp>(sizeof(T))) {
        if (n > 0) std::memcpy(dst, base, static_cast<std::size_t>(n) * sizeof(T));
    } else {
        for (npy_intp i = 0; i < n; ++i) std::memcpy(dst + i, base + i * stride, sizeof(T));
    }
    return out;
}

template <class T, class F>
std::optional<std::optional<T>> or_none(PyObject* obj, F convert) {
    if (obj == Py_None) return std::optional<T>{};
    auto v = convert();
    if (!v) return std::nullopt;
    return std::optional<T>{std::move(*v)};
}

// Retained storage of one thread: a request takes the smallest block that fits, a released block is kept
// within the bounds, displacing smaller ones.
class ScratchPool {
public:
    ~ScratchPool() {
        for (std::size_t i = 0; i < count_; ++i) ::operator delete(blocks_[i].storage);
        gone = true;
    }

    void* acquire(std::size_t& bytes) {
        std::size_t pick = count_;
        for (std::size_t i = 0; i < count_; ++i)
            if (blocks_[i].bytes >= bytes && (pick == count_ || blocks_[i].bytes < blocks_[pick].bytes)) pick = i;
        if (pick == count_) return ::operator new(bytes);
        bytes = blocks_[pick].bytes;
        return take(pick).storage;
    }

    void release(void* storage, std::size_t bytes) noexcept {
        while (count_ > 0 && (count_ == max_blocks || retained_ + bytes > max_retained)) {
            const std::size_t smallest = smallest_block();
            if (blocks_[smallest].bytes >= bytes) break;
            ::operator delete(take(smallest).storage);
        }
        if (count_ == max_blocks || retained_ + bytes > max_retained) {
            ::operator delete(storage);
            return;
        }
        blocks_[count_++] = {storage, bytes};
        retained_ += bytes;
    }

    // Set once the thread's pool is destroyed (thread exit), for releases that come later.
    static thread_local bool gone;

private:
    struct Block {
        void* storage;
        std::size_t bytes;
    };

    std::size_t smallest_block() const {
        std::size_t s = 0;
        for (std::size_t i = 1; i < count_; ++i)
            if (blocks_[i].bytes < blocks_[s].bytes) s = i;
        return s;
    }

    Block take(std::size_t i) {
        const Block b = blocks_[i];
        retained_ -= b.bytes;
        blocks_[i] = blocks_[--count_];
        return b;
    }

    static constexpr std::size_t max_blocks = 8;
    static constexpr std::size_t max_retained = std::size_t{8} << 20;
    Block blocks_[max_blocks];
    std::size_t count_ = 0;
    std::size_t retained_ = 0;
};

thread_local bool ScratchPool::gone = false;
thread_local ScratchPool scratch_pool;

PyObject* g_base = nullptr;
PyObject* g_numerical = nullptr;
PyObject* g_validation = nullptr;

}  // namespace

namespace scratch {
void* acquire(std::size_t& bytes) { return ScratchPool::gone ? ::operator new(bytes) : scratch_pool.acquire(bytes); }
void release(void* storage, std::size_t bytes) noexcept {
    if (ScratchPool::gone) ::operator delete(storage);
    else scratch_pool.release(storage, bytes);
}
}  // namespace scratch

std::optional<Array<double>> f64_array(PyObject* obj, const char* name) {
    return array_of<double>(obj, name, NPY_FLOAT64, "a 1-D numpy.ndarray of float64");
}

std::optional<Array<std::uint64_t>> u64_array(PyObject* obj, const char* name) {
    return array_of<std::uint64_t>(obj, name, NPY_UINT64, "a 1-D numpy.ndarray of uint64");
}

std::optional<double> f64_scalar(PyObject* obj, const char* name) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        // An interrupt, an exit or a memory failure is not a wrong argument: let it through.
        if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_SystemExit) ||
            PyErr_ExceptionMatches(PyExc_MemoryError))
            return std::nullopt;
        // Anything else becomes the argument's TypeError, with the original as its cause.
        PyObject *type, *cause, *traceback;
        PyErr_Fetch(&type, &cause, &traceback);
        PyErr_NormalizeException(&type, &cause, &traceback);
        if (cause && traceback) PyException_SetTraceback(cause, traceback);
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        type_error(name, "a float", obj);
        PyObject *error_type, *error, *error_traceback;
        PyErr_Fetch(&error_type, &error, &error_traceback);
        PyErr_NormalizeException(&error_type, &error, &error_traceback);
        if (error && cause) {
            PyException_SetContext(error, Py_NewRef(cause));
            PyException_SetCause(error, cause);  // steals
        } else {
            Py_XDECREF(cause);
        }
        PyErr_Restore(error_type, error, error_traceback);
        return std::nullopt;
    }
    return v;
}

std::optional<std::uint64_t> u64_scalar(PyObject* obj, const char* name) {
    if (!PyLong_Check(obj)) {
        type_error(name, "an int", obj);
        return std::nullopt;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError, "argument '%s': int out of range for an unsigned 64-bit integer", name);
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(v);
}

std::optional<std::string> str_arg(PyObject* obj, const char* name) {
    if (!PyUnicode_Check(obj)) {
        type_error(name, "a str", obj);
        return std::nullopt;
    }
    // surrogatepass keeps even lone surrogates, so every str reaches the option check.
    Ref bytes(PyUnicode_AsEncodedString(obj, "utf-8", "surrogatepass"));
    if (!bytes) return std::nullopt;
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

std::optional<std::optional<Array<double>>> opt_f64_array(PyObject* obj, const char* name) {
    return or_none<Array<double>>(obj, [&] { return f64_array(obj, name); });
}
std::optional<std::optional<Array<std::uint64_t>>> opt_u64_array(PyObject* obj, const char* name) {
    return or_none<Array<std::uint64_t>>(obj, [&] { return u64_array(obj, name); });
}
std::optional<std::optional<double>> opt_f64_scalar(PyObject* obj, const char* name) {
    return or_none<double>(obj, [&] { return f64_scalar(obj, name); });
}
std::optional<std::optional<std::string>> opt_str_arg(PyObject* obj, const char* name) {
    return or_none<std::string>(obj, [&] { return str_arg(obj, name); });
}

PyObject* new_array(std::span<const double> values) {
    npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    PyObject* arr = PyArray_SimpleNew(1, dims, NPY_FLOAT64);
    if (arr && !values.empty())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)), values.data(), values.size_bytes());
    return arr;
}

PyObject* new_empty_array(std::size_t n) {
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    return PyArray_SimpleNew(1, dims, NPY_FLOAT64);
}

std::span<double> array_span(PyObject* array) {
    auto* arr = reinterpret_cast<PyArrayObject*>(array);
    return {static_cast<double*>(PyArray_DATA(arr)), static_cast<std::size_t>(PyArray_SIZE(arr))};
}

PyObject* new_matrix(std::span<const double> row_major, npy_intp rows, npy_intp cols) {
    npy_intp dims[2] = {rows, cols};
    PyObject* arr = PyArray_SimpleNew(2, dims, NPY_FLOAT64);
    if (arr && !row_major.empty())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)), row_major.data(), row_major.size_bytes());
    return arr;
}

PyObject* str_list(std::span<const char* const> texts) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        PyObject* s = PyUnicode_FromString(texts[i]);
        if (!s) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
    }
    return list.release();
}

bool create_exceptions() {
    if (g_base) return true;
    PyObject* base = PyErr_NewException("vardex_rs.VardexError", nullptr, nullptr);
    if (!base) return false;
    PyObject* numerical = PyErr_NewException("vardex_rs.VardexNumericalError", base, nullptr);
    if (!numerical) {
        Py_DECREF(base);
        return false;
    }
    PyObject* validation = PyErr_NewException("vardex_rs.VardexValidationError", base, nullptr);
    if (!validation) {
        Py_DECREF(numerical);
        Py_DECREF(base);
        return false;
    }
    g_base = base;
    g_numerical = numerical;
    g_validation = validation;
    return true;
}

bool adopt_exceptions(PyObject* vardex_rs_module) {
    if (g_base) return true;
    Ref base(PyObject_GetAttrString(vardex_rs_module, "VardexError"));
    Ref numerical(PyObject_GetAttrString(vardex_rs_module, "VardexNumericalError"));
    Ref validation(PyObject_GetAttrString(vardex_rs_module, "VardexValidationError"));
    if (!base || !numerical || !validation) return false;
    g_base = base.release();
    g_numerical = numerical.release();
    g_validation = validation.release();
    return true;
}

PyObject* vardex_error() { return g_base; }
PyObject* numerical_error() { return g_numerical; }
PyObject* validation_error() { return g_validation; }

PyObject* raise(ErrorClass cls, const std::string& message) {
    PyObject* type = cls == ErrorClass::Numerical    ? g_numerical
                     : cls == ErrorClass::Validation ? g_validation
                                                     : PyExc_ValueError;
    Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "surrogatepass"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

PyObject* raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "internal error");
    }
    return nullptr;
}

PyObject* new_function(PyMethodDef* def, const void* payload, const char* capsule_name) {
    Ref capsule(PyCapsule_New(const_cast<void*>(payload), capsule_name, nullptr));
    if (!capsule) return nullptr;
    return PyCFunction_New(def, capsule.get());
}

const void* payload_of(PyObject* self, const char* capsule_name) {
    return PyCapsule_GetPointer(self, capsule_name);
}

}  // namespace vardex::py
