// Multi-phase initialisation shared by both extension modules.
#pragma once

#include <pybind11/pybind11.h>

namespace algo {
namespace py = pybind11;

// One module's start-up state. Each extension module owns one instance
// (a static in its own shared library).
struct ModuleStartup {
    const char* short_name;  // "Talvo": used in the re-initialisation text
    const char* full_name;   // "algo.Talvo.Talvo": used in the version warning
    void (*body)(py::module_&);  // imports, __all__, functions
    bool done = false;
    long long interpreter_id = -1;
};

// The Py_mod_exec slot body: refuses a second interpreter and a second
// initialisation, warns about an interpreter version other than the one the
// module was compiled for, then runs `startup.body`. Returns 0 or -1 with
// the Python error set.
int exec_module(PyObject* module, ModuleStartup& startup);

// `from <module> import <name>` as the interpreter performs it: the
// attribute of the imported module, or for a submodule the entry in
// sys.modules; ImportError when neither exists.
py::object import_from(const char* module, const char* name);

}  // namespace algo
