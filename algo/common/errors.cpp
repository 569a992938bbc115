#include "errors.h"

#include <new>
#include <stdexcept>

namespace algo {

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

void raise_unbound_local(const char* name) {
    raise(PyExc_UnboundLocalError,
          std::string("local variable '") + name + "' referenced before assignment");
}

void set_python_error_from_current_exception() {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

py::object current_exception_as_python() {
    set_python_error_from_current_exception();
    py::error_already_set e;  // fetches and normalises the indicator
    return py::reinterpret_borrow<py::object>(e.value());
}

}  // namespace algo
