// Owning reference to a Python object: the one place where a new reference is
// given back, so that every exit path releases it exactly once.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (which may be null).
    explicit PyRef(PyObject* owned) noexcept : obj_(owned) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    // A new reference to a borrowed object.
    static PyRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to the caller (usually the interpreter).
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = std::exchange(obj_, owned);
        Py_XDECREF(old);
    }

private:
    PyObject* obj_ = nullptr;
};
