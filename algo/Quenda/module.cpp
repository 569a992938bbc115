// PyInit_Quenda: start-up of algo.Quenda.Quenda, its imports, __all__, the
// plotting font and the function table.
#include <pybind11/pybind11.h>

#include "../common/function.h"
#include "../common/module_init.h"
#include "forecast.h"

namespace py = pybind11;

namespace {

void startup(py::module_& m) {
    // Imports first: a failing one ends the start-up before the font setting
    // and the functions.
    m.attr("pd") = py::module_::import("pandas");
    m.attr("np") = py::module_::import("numpy");
    m.attr("plt") = algo::import_from("matplotlib", "pyplot");
    // The health-index module object itself; its Health_Index is looked up
    // on it at every call.
    m.attr("Talvo") = algo::import_from("algo.Talvo", "Talvo");
    m.attr("ARIMA") = algo::import_from("statsmodels.tsa.arima.model", "ARIMA");

    py::list all;
    all.append(py::str("quenda_model"));
    all.append(py::str("quenda_calculation"));
    m.attr("__all__") = all;

    // Replaces the whole list (process-wide); importing pyplot does not pick
    // a display backend, and nothing here draws.
    py::list fonts;
    fonts.append(py::str("Microsoft YaHei"));
    m.attr("plt").attr("rcParams")[py::str("font.sans-serif")] = fonts;

    algo::add_function(m, algo::FunctionDef{"quenda_model",
                                            {"train", "max_Quenda", "deadline"},
                                            {},
                                            {},
                                            nullptr,
                                            &quenda::quenda_model});
    algo::add_function(m, algo::FunctionDef{"death_probability",
                                            {"predict", "UCL", "LCL", "deadline"},
                                            {},
                                            {},
                                            quenda::death_probability_doc,
                                            &quenda::death_probability});
    algo::add_function(m, algo::FunctionDef{"quenda_calculation",
                                            {"tsquare_df", "dictionary", "score_tightness"},
                                            {},
                                            {},
                                            nullptr,
                                            &quenda::quenda_calculation});
}

algo::ModuleStartup quenda_startup{"Quenda", "algo.Quenda.Quenda", &startup};

int quenda_exec(PyObject* module) { return algo::exec_module(module, quenda_startup); }

PyModuleDef_Slot quenda_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(&quenda_exec)},
                                   {0, nullptr}};

PyModuleDef quenda_def = {
    PyModuleDef_HEAD_INIT,
    "Quenda",
    "Remaining-life forecasting of the health score: ARIMA forecast, days or minutes\n"
    "above the failure deadline, risk band and failure risk.",
    0,
    nullptr,
    quenda_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_Quenda() { return PyModuleDef_Init(&quenda_def); }
