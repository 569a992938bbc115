// The guard of the pipelines: one `except Exception as e` around the work.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "errors.h"

namespace algo {
namespace py = pybind11;

// Runs `work()`. Returns a null object when it finished, or the exception
// object when it raised anything Python's `except Exception` catches (C++
// exceptions are converted first). KeyboardInterrupt, SystemExit and other
// BaseExceptions propagate unchanged.
template <class F>
py::object run_guarded(F&& work) {
    try {
        std::forward<F>(work)();
        return py::object();
    } catch (...) {
        set_python_error_from_current_exception();
        py::error_already_set e;
        if (!e.matches(PyExc_Exception)) throw e;
        return py::reinterpret_borrow<py::object>(e.value());
    }
}

// The stage and code variables of a guarded pipeline: the stage names the
// step about to run, the code keeps the last diagnostic message recorded.
struct PipelineFlags {
    py::str stage{"init"};
    py::str code{"None"};

    void enter(const char* s) { stage = py::str(s); }
    void record(const char* message) { code = py::str(message); }
};

}  // namespace algo
