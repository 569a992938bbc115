#include "module_init.h"

#include <string>

#include "errors.h"

namespace algo {

int exec_module(PyObject* module, ModuleStartup& startup) {
    // Checked with the plain C API: pybind11 itself must not run in a second
    // interpreter (its GIL handling is tied to the first one).
    PyInterpreterState* interp = PyThreadState_GetInterpreter(PyThreadState_Get());
    const long long id = static_cast<long long>(PyInterpreterState_GetID(interp));
    if (startup.interpreter_id == -1) {
        startup.interpreter_id = id;
    } else if (startup.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    try {
        if (startup.done) {
            raise(PyExc_RuntimeError, std::string("Module '") + startup.short_name +
                                          "' has already been imported. Re-initialisation is "
                                          "not supported.");
        }
        py::object info = py::module_::import("sys").attr("version_info");
        const int major = py::cast<int>(info.attr("major"));
        const int minor = py::cast<int>(info.attr("minor"));
        if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
            const std::string text = "compile time Python version " +
                                     std::to_string(PY_MAJOR_VERSION) + "." +
                                     std::to_string(PY_MINOR_VERSION) + " of module '" +
                                     startup.full_name + "' does not match runtime version " +
                                     std::to_string(major) + "." + std::to_string(minor);
            if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) < 0)
                throw py::error_already_set();
        }
        py::module_ m = py::reinterpret_borrow<py::module_>(module);
        startup.body(m);
        // Only a finished start-up counts: a failed one may be retried.
        startup.done = true;
        return 0;
    } catch (...) {
        set_python_error_from_current_exception();
        return -1;
    }
}

py::object import_from(const char* module, const char* name) {
    py::tuple fromlist = py::make_tuple(py::str(name));
    PyObject* mod = PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.ptr(), 0);
    if (!mod) throw py::error_already_set();
    py::object m = py::reinterpret_steal<py::object>(mod);
    PyObject* attr = PyObject_GetAttrString(m.ptr(), name);
    if (attr) return py::reinterpret_steal<py::object>(attr);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    const std::string full = std::string(module) + "." + name;
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* sub = PyDict_GetItemString(modules, full.c_str());
    if (sub) return py::reinterpret_borrow<py::object>(sub);
    raise(PyExc_ImportError,
          std::string("cannot import name '") + name + "' from '" + module + "'");
}

}  // namespace algo
