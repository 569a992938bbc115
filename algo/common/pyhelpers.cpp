#include "pyhelpers.h"

#include <cstring>

namespace algo {

namespace {
bool compare(py::handle a, py::handle b, int op) { return truthy(rich_compare(a, b, op)); }

py::object builtin(const char* name) {
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* f = builtins ? PyDict_GetItemString(builtins, name) : nullptr;
    if (!f) raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
    return py::reinterpret_borrow<py::object>(f);
}
}  // namespace

py::object rich_compare(py::handle a, py::handle b, int op) {
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

bool truthy(py::handle x) {
    int r = PyObject_IsTrue(x.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool py_eq(py::handle a, py::handle b) { return compare(a, b, Py_EQ); }
bool py_ne(py::handle a, py::handle b) { return compare(a, b, Py_NE); }
bool py_lt(py::handle a, py::handle b) { return compare(a, b, Py_LT); }
bool py_le(py::handle a, py::handle b) { return compare(a, b, Py_LE); }
bool py_gt(py::handle a, py::handle b) { return compare(a, b, Py_GT); }
bool py_ge(py::handle a, py::handle b) { return compare(a, b, Py_GE); }

bool native_byte_order(const py::dtype& dt) {
    const char order = dt.byteorder();
    return order == '=' || order == '|' || order == (PY_LITTLE_ENDIAN ? '<' : '>');
}

bool is_native_float64(const py::dtype& dt) {
    return dt.num() == py::detail::npy_api::NPY_DOUBLE_ && native_byte_order(dt);
}

bool numeric_kind(const py::dtype& dt, NumKind& kind) {
    const char k = dt.kind();
    const auto size = dt.itemsize();
    if (k == 'f' && (size == 8 || size == 4)) {
        kind = size == 8 ? NumKind::f64 : NumKind::f32;
        return true;
    }
    if (k != 'i' && k != 'u') return false;
    const bool s = k == 'i';
    switch (size) {
        case 1:
            kind = s ? NumKind::i8 : NumKind::u8;
            return true;
        case 2:
            kind = s ? NumKind::i16 : NumKind::u16;
            return true;
        case 4:
            kind = s ? NumKind::i32 : NumKind::u32;
            return true;
        case 8:
            kind = s ? NumKind::i64 : NumKind::u64;
            return true;
        default:
            return false;
    }
}

py::array native_contiguous(py::handle values, NumKind kind) {
    return visit_kind(kind, [&](auto tag) -> py::array {
        using T = typename decltype(tag)::type;
        auto a = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(values);
        if (!a) throw py::error_already_set();
        if (a.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) return std::move(a);
        py::array_t<T> copy(a.size());  // a fresh array is aligned
        std::memcpy(copy.mutable_data(), a.data(), static_cast<std::size_t>(a.size()) * sizeof(T));
        return std::move(copy);
    });
}

bool masked_numeric(py::handle pd, py::handle array, NumKind& kind, py::array& values,
                    py::array& mask) {
    py::object arrays = pd.attr("arrays");
    if (!py::isinstance(array, arrays.attr("IntegerArray")) &&
        !py::isinstance(array, arrays.attr("FloatingArray")))
        return false;
    py::object data = array.attr("_data");
    if (!py::isinstance<py::array>(data) ||
        !numeric_kind(py::reinterpret_borrow<py::array>(data).dtype(), kind))
        return false;
    values = native_contiguous(data, kind);
    auto m =
        py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(array.attr("_mask"));
    if (!m) throw py::error_already_set();
    if (m.ndim() != 1 || values.ndim() != 1 || m.shape(0) != values.shape(0)) return false;
    mask = std::move(m);
    return true;
}

bool plain_int(py::handle x, py::handle numpy_type, long long& out) {
    const bool is_int =
        (PyLong_Check(x.ptr()) && !PyBool_Check(x.ptr())) || py::isinstance(x, numpy_type);
    if (!is_int) return false;
    py::object as_int = py::reinterpret_steal<py::object>(PyNumber_Index(x.ptr()));
    if (!as_int) throw py::error_already_set();
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
    if (overflow != 0 || (out == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    return true;
}

bool pandas_uses_numexpr() {
    py::object expressions = py::module_::import("pandas.core.computation.expressions");
    return truthy(expressions.attr("USE_NUMEXPR"));
}

bool eq_text(py::handle a, const char* text) { return py_eq(a, py::str(text)); }

bool py_contains(py::handle container, py::handle x) {
    int r = PySequence_Contains(container.ptr(), x.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

std::string to_str(py::handle x) { return py::cast<std::string>(py::str(x)); }

void print_line(const py::args& items) { builtin("print")(*items); }
void print_line(const std::string& text) { builtin("print")(py::str(text)); }

py::object py_round(py::handle x, int ndigits) { return builtin("round")(x, ndigits); }

py::object py_float(py::handle x) {
    PyObject* r = PyNumber_Float(x.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

Py_ssize_t py_len(py::handle x) {
    Py_ssize_t n = PyObject_Length(x.ptr());
    if (n < 0) throw py::error_already_set();
    return n;
}

py::object getitem(py::handle obj, py::handle key) {
    PyObject* r = PyObject_GetItem(obj.ptr(), key.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

void setitem(py::handle obj, py::handle key, py::handle value) {
    if (PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

py::object loc_columns(py::handle df, py::handle columns) {
    PyObject* all = PySlice_New(nullptr, nullptr, nullptr);
    if (!all) throw py::error_already_set();
    py::object rows = py::reinterpret_steal<py::object>(all);
    return getitem(df.attr("loc"), py::make_tuple(rows, columns));
}

py::object getitem(py::handle obj, const char* key) { return getitem(obj, py::str(key)); }

std::vector<py::object> unpack(py::handle value, size_t n) {
    PyObject* it = PyObject_GetIter(value.ptr());
    if (!it) {
        PyTypeObject* type = Py_TYPE(value.ptr());
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !type->tp_iter &&
            !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            raise(PyExc_TypeError,
                  std::string("cannot unpack non-iterable ") + type->tp_name + " object");
        }
        throw py::error_already_set();
    }
    py::object iter = py::reinterpret_steal<py::object>(it);
    std::vector<py::object> items;
    while (true) {
        PyObject* item = PyIter_Next(iter.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw py::error_already_set();
            break;
        }
        py::object owned = py::reinterpret_steal<py::object>(item);
        if (items.size() == n)
            raise(PyExc_ValueError,
                  "too many values to unpack (expected " + std::to_string(n) + ")");
        items.push_back(std::move(owned));
    }
    if (items.size() < n)
        raise(PyExc_ValueError, "not enough values to unpack (expected " + std::to_string(n) +
                                    ", got " + std::to_string(items.size()) + ")");
    return items;
}

py::list str_list(const std::vector<std::string>& items) {
    py::list out;
    for (const auto& s : items) out.append(py::str(s));
    return out;
}

std::vector<std::string> to_strings(py::handle iterable) {
    std::vector<std::string> out;
    for (py::handle item : iterable) out.push_back(to_str(item));
    return out;
}

py::list concat_lists(py::handle a, py::handle b) {
    py::list out;
    for (py::handle x : a) out.append(x);
    for (py::handle x : b) out.append(x);
    return out;
}

py::object strftime(py::handle value, const char* fmt) { return value.attr("strftime")(fmt); }

}  // namespace algo
