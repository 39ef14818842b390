// Thin RAII layer over the CPython and NumPy C APIs. Only src/module includes Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL vardex_ARRAY_API
#ifndef VARDEX_IMPORT_ARRAY_HERE
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <cxxabi.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "errors/errors.hpp"

namespace vardex::py {

// Owning reference; releases on destruction.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* p) : p_(p) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Runs f with the interpreter lock released; f must not touch Python objects.
//
// The lock is taken back by a plain call, not by a destructor: while the interpreter finalizes,
// PyEval_RestoreThread ends a daemon thread with pthread_exit, whose forced unwind must pass
// through every frame of ours, and a destructor is noexcept. No Python reference may be held
// across the call by the caller's frame either: that unwind runs destructors without the lock.
template <class F>
auto without_gil(F&& f) {
    PyThreadState* state = PyEval_SaveThread();
    auto result = [&] {
        try {
            return f();
        } catch (...) {
            PyEval_RestoreThread(state);
            throw;
        }
    }();
    PyEval_RestoreThread(state);
    return result;
}

// Like without_gil, with `owned` (a new reference, typically the result being filled) kept for the caller:
// it is dropped if f throws. Held as a plain pointer, since a forced unwind has no lock to drop it with
// (the reference then leaks, in a thread that is being ended). Unsanitized for the reason Guard::call is.
template <class F>
__attribute__((no_sanitize("undefined"))) auto without_gil_keeping(PyObject* owned, F&& f) {
    try {
        return without_gil(std::forward<F>(f));
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        Py_DECREF(owned);
        throw;
    }
}

// Storage for the copies of large arguments, kept per thread between calls: a series copied on every call
// then reuses memory already mapped instead of faulting in fresh pages each time. Bounded per thread; what
// does not fit is freed. Only 8-byte element types are stored.
namespace scratch {
// At least `bytes` (updated to the block's real size); throws std::bad_alloc.
void* acquire(std::size_t& bytes);
void release(void* storage, std::size_t bytes) noexcept;
}  // namespace scratch

// The copy of a 1-D array argument that the core reads while the lock is released: taken with the lock
// held, so it is a consistent snapshot that no other thread can change or free under the computation.
// Storage is left uninitialised (the copy writes every element); short series live inline. Destroyed on
// the thread that made it.
template <class T>
class Array {
    static_assert(sizeof(T) == 8 && std::is_trivially_copyable_v<T>);

public:
    Array() = default;
    // Throws std::bad_alloc when the storage cannot be had.
    explicit Array(std::size_t n) : size_(n) {
        if (n > inline_capacity) {
            if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
            capacity_ = n * sizeof(T);
            heap_ = static_cast<T*>(scratch::acquire(capacity_));
        }
    }
    Array(Array&& o) noexcept : size_(o.size_), capacity_(o.capacity_), heap_(std::exchange(o.heap_, nullptr)) {
        if (!heap_) std::memcpy(inline_, o.inline_, size_ * sizeof(T));
        o.size_ = 0;
    }
    Array& operator=(Array&& o) noexcept {
        if (this != &o) {
            free();
            size_ = o.size_;
            capacity_ = o.capacity_;
            heap_ = std::exchange(o.heap_, nullptr);
            if (!heap_) std::memcpy(inline_, o.inline_, size_ * sizeof(T));
            o.size_ = 0;
        }
        return *this;
    }
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    ~Array() { free(); }

    T* data() { return heap_ ? heap_ : inline_; }
    const T* data() const { return heap_ ? heap_ : inline_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T* begin() { return data(); }
    T* end() { return data() + size_; }
    const T* begin() const { return data(); }
    const T* end() const { return data() + size_; }
    const T& operator[](std::size_t i) const { return data()[i]; }

private:
    void free() noexcept {
        if (heap_) scratch::release(heap_, capacity_);
        heap_ = nullptr;
    }

    static constexpr std::size_t inline_capacity = 16;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;  // bytes of heap_
    T* heap_ = nullptr;
    T inline_[inline_capacity];
};

// --- argument conversion: on failure a TypeError (or OverflowError, or MemoryError naming the argument)
// is set and nullopt returned.
std::optional<Array<double>> f64_array(PyObject* obj, const char* name);
std::optional<Array<std::uint64_t>> u64_array(PyObject* obj, const char* name);
std::optional<double> f64_scalar(PyObject* obj, const char* name);
std::optional<std::uint64_t> u64_scalar(PyObject* obj, const char* name);
std::optional<std::string> str_arg(PyObject* obj, const char* name);

// Optional arguments: None gives an engaged outer optional holding nullopt.
std::optional<std::optional<Array<double>>> opt_f64_array(PyObject* obj, const char* name);
std::optional<std::optional<Array<std::uint64_t>>> opt_u64_array(PyObject* obj, const char* name);
std::optional<std::optional<double>> opt_f64_scalar(PyObject* obj, const char* name);
std::optional<std::optional<std::string>> opt_str_arg(PyObject* obj, const char* name);

// --- results
PyObject* new_array(std::span<const double> values);
// A new uninitialised 1-D float64 array, or nullptr with NumPy's MemoryError set.
PyObject* new_empty_array(std::size_t n);
std::span<double> array_span(PyObject* array);
PyObject* new_matrix(std::span<const double> row_major, npy_intp rows, npy_intp cols);
PyObject* str_list(std::span<const char* const> texts);

// --- errors: the exception classes live for the process once created.
bool create_exceptions();
// Takes the classes from an imported vardex_rs (for the other extension of the package).
bool adopt_exceptions(PyObject* vardex_rs_module);
PyObject* vardex_error();
PyObject* numerical_error();
PyObject* validation_error();

// Set the exception of a kind and return nullptr.
PyObject* raise(ErrorClass cls, const std::string& message);
template <class Kind>
PyObject* raise(const Kind& kind) {
    return raise(error_class(kind), message(kind));
}

// Converts the C++ exception being handled into a Python exception (MemoryError for a
// failed allocation) and returns nullptr. Call only from a catch block.
PyObject* raise_current_exception() noexcept;

// Entry points never let a C++ exception cross into the interpreter: Guard<f>::call runs f
// and turns anything it throws into a Python exception. The one exception let through is the
// forced unwind of a thread the interpreter ends (see without_gil); for it the call is not
// noexcept.
template <auto Fn>
struct Guard;
template <class... A, PyObject* (*Fn)(A...)>
struct Guard<Fn> {
    // A forced unwind carries no exception object, so the sanitizer's null-reference check would
    // flag its (documented) catch clause.
    __attribute__((no_sanitize("undefined"))) static PyObject* call(A... a) {
        try {
            return Fn(a...);
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            return raise_current_exception();
        }
    }
};

// A guarded entry point in the form a PyMethodDef holds.
template <auto Fn>
PyCFunction guarded_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Guard<Fn>::call));
}

// Function object whose self is a capsule holding `payload`; `def` must be static.
PyObject* new_function(PyMethodDef* def, const void* payload, const char* capsule_name);
const void* payload_of(PyObject* self, const char* capsule_name);

}  // namespace vardex::py
