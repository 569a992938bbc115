// Module-level functions that look and behave like Python functions.
//
// pybind11's own function objects have no __defaults__, no __code__ and their
// own argument-binding messages, so every module function of both extension
// modules is an instance of the small type defined here: it binds arguments
// with the interpreter's texts, carries the attributes inspect/pickle/pydoc
// read, and hands the bound arguments to a C++ body.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace algo {
namespace py = pybind11;

// The bound arguments of one call plus the namespace the function lives in.
class Call {
public:
    Call(PyObject* globals, std::vector<py::object> args)
        : globals_(globals), args_(std::move(args)) {}

    // Bound argument i, in parameter order (defaults already applied).
    const py::object& operator[](size_t i) const { return args_[i]; }
    size_t size() const { return args_.size(); }

    // Late-bound name lookup: the module namespace first, then builtins, as a
    // Python function body would do. Raises NameError when neither has it.
    py::object global(const char* name) const;
    py::object operator()(const char* name) const { return global(name); }

    PyObject* globals() const { return globals_; }

private:
    PyObject* globals_;  // borrowed; the function object keeps it alive
    std::vector<py::object> args_;
};

using Body = py::object (*)(const Call&);

// What a module needs to define one function.
struct FunctionDef {
    const char* name;
    std::vector<const char*> params;   // all positional-or-keyword
    std::vector<py::object> defaults;  // for the trailing parameters
    std::vector<std::pair<const char*, const char*>> annotations;  // text values
    const char* doc;                   // may be nullptr
    Body body;
};

// Creates the function object and binds it as module attribute `def.name`.
// The module's __name__ becomes the function's __module__.
py::object add_function(py::module_& module, const FunctionDef& def);

// The Python type object of module functions (for tests and isinstance).
PyTypeObject* function_type();

}  // namespace algo
