// Raising Python exceptions from C++ and translating C++ exceptions back.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace algo {
namespace py = pybind11;

// Raises the Python exception `type(message)` as py::error_already_set, so
// every error in the modules travels as one C++ exception type.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// The interpreter's unbound-local error for a value a branch left unset.
[[noreturn]] void raise_unbound_local(const char* name);

// Called from a catch (...) block at the C API boundary: sets the Python
// error indicator from the exception being handled.
void set_python_error_from_current_exception();

// Called from a catch (...) block: the active exception as a Python
// exception object (pybind11 and C++ exceptions converted).
py::object current_exception_as_python();

// A value a branch may leave unset; reading it unset raises the
// unbound-local error with the variable's name, as Python code would.
class Local {
public:
    explicit Local(const char* name) : name_(name) {}
    Local& operator=(py::object v) {
        value_ = std::move(v);
        return *this;
    }
    const py::object& get() const {
        if (!value_) raise_unbound_local(name_);
        return value_;
    }
    bool is_set() const { return static_cast<bool>(value_); }
    const char* name() const { return name_; }

private:
    const char* name_;
    py::object value_;
};

}  // namespace algo
