// Tuple unpacking with the interpreter's own error texts.
#include <string>

#include "../../common/errors.h"
#include "purging.h"

namespace talvo::purging {

std::vector<py::object> unpack(py::handle value, size_t n) {
    PyObject* it = PyObject_GetIter(value.ptr());
    if (!it) {
        PyTypeObject* type = Py_TYPE(value.ptr());
        if (PyErr_ExceptionMatches(PyExc_TypeError) && type->tp_iter == nullptr &&
            !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            algo::raise(PyExc_TypeError,
                        std::string("cannot unpack non-iterable ") + type->tp_name + " object");
        }
        throw py::error_already_set();
    }
    py::object iter = py::reinterpret_steal<py::object>(it);
    std::vector<py::object> out;
    out.reserve(n);
    // One item more than wanted tells "too many" from "exactly n".
    while (out.size() <= n) {
        PyObject* item = PyIter_Next(iter.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw py::error_already_set();
            break;
        }
        if (out.size() == n) {
            Py_DECREF(item);
            algo::raise(PyExc_ValueError,
                        "too many values to unpack (expected " + std::to_string(n) + ")");
        }
        out.push_back(py::reinterpret_steal<py::object>(item));
    }
    if (out.size() < n)
        algo::raise(PyExc_ValueError, "not enough values to unpack (expected " + std::to_string(n) +
                                          ", got " + std::to_string(out.size()) + ")");
    return out;
}

}  // namespace talvo::purging
