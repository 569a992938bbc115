#include "function.h"

#include <structmember.h>

#include "errors.h"

namespace algo {

namespace {

struct FunctionObject {
    PyObject ob_base;       // PyObject_HEAD
    PyObject* name;         // str
    PyObject* qualname;     // str
    PyObject* module;       // str
    PyObject* doc;          // str or None
    PyObject* defaults;     // tuple or None
    PyObject* annotations;  // dict
    PyObject* code;         // code object describing the parameters
    PyObject* globals;      // the module's namespace
    PyObject* dict;         // __dict__
    PyObject* weakrefs;
    PyObject* params;  // tuple of str, parameter names
    Py_ssize_t n_required;
    Body body;
};

FunctionObject* as_fn(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
void raise_count(FunctionObject* f, Py_ssize_t n_params, Py_ssize_t found, bool too_few) {
    const bool exact = f->n_required == n_params;
    const Py_ssize_t expected = too_few ? f->n_required : n_params;
    const char* more_or_less = exact ? "exactly" : (too_few ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 PyUnicode_AsUTF8(f->name), more_or_less, expected, expected == 1 ? "" : "s",
                 found);
}

// Binds positional and keyword arguments the way the interpreter's own
// functions do; returns false with a TypeError set on a binding error.
// Keyword errors come before a missing required argument.
bool bind(FunctionObject* f, PyObject* args, PyObject* kwargs, std::vector<py::object>& out) {
    const Py_ssize_t n_params = PyTuple_GET_SIZE(f->params);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > n_params) {
        raise_count(f, n_params, nargs, false);
        return false;
    }
    out.assign(static_cast<size_t>(n_params), py::object());
    for (Py_ssize_t i = 0; i < nargs; ++i)
        out[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(args, i));

    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (kwargs && PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                         PyUnicode_AsUTF8(f->name));
            return false;
        }
        Py_ssize_t found = -1;
        for (Py_ssize_t i = 0; i < n_params; ++i) {
            PyObject* pname = PyTuple_GET_ITEM(f->params, i);
            if (pname == key) {
                found = i;
                break;
            }
            int same = PyUnicode_Compare(pname, key) == 0;
            if (PyErr_Occurred()) return false;
            if (same) {
                found = i;
                break;
            }
        }
        if (found < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         PyUnicode_AsUTF8(f->name), key);
            return false;
        }
        if (out[found]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         PyUnicode_AsUTF8(f->name), key);
            return false;
        }
        out[found] = py::reinterpret_borrow<py::object>(value);
    }

    for (Py_ssize_t i = 0; i < n_params; ++i) {
        if (out[i]) continue;
        if (i < f->n_required) {
            // The count reported is the number of parameters bound before it.
            raise_count(f, n_params, i, true);
            return false;
        }
        out[i] =
            py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(f->defaults, i - f->n_required));
    }
    return true;
}

// A plain tp_call, no vectorcall slot: with one, the interpreter unpacks a
// keyword dictionary itself and rejects a non-text key with its own bare text
// before the function could name itself in the error.
PyObject* fn_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    FunctionObject* f = as_fn(self);
    try {
        std::vector<py::object> bound;
        if (!bind(f, args, kwargs, bound)) return nullptr;
        Call call(f->globals, std::move(bound));
        py::object result = f->body(call);
        return result.release().ptr();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

PyObject* fn_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self);
}

// Pickled by reference: the module attribute of the same name.
PyObject* fn_reduce(PyObject* self, PyObject*) {
    Py_INCREF(as_fn(self)->qualname);
    return as_fn(self)->qualname;
}

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_fn(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    Py_VISIT(f->params);
    return 0;
}

int fn_clear(PyObject* self) {
    FunctionObject* f = as_fn(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->code);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->params);
    return 0;
}

void fn_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_fn(self)->weakrefs) PyObject_ClearWeakRefs(self);
    fn_clear(self);
    Py_TYPE(self)->tp_free(self);
}

// Setters that keep the attribute types a function has.
int set_str(PyObject** slot, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*slot, value);
    return 0;
}

PyObject* get_name(PyObject* s, void*) { return Py_NewRef(as_fn(s)->name); }
int set_name(PyObject* s, PyObject* v, void*) { return set_str(&as_fn(s)->name, v, "__name__"); }
PyObject* get_qualname(PyObject* s, void*) { return Py_NewRef(as_fn(s)->qualname); }
int set_qualname(PyObject* s, PyObject* v, void*) {
    return set_str(&as_fn(s)->qualname, v, "__qualname__");
}
PyObject* get_module(PyObject* s, void*) { return Py_NewRef(as_fn(s)->module); }
int set_module(PyObject* s, PyObject* v, void*) {
    Py_XSETREF(as_fn(s)->module, Py_NewRef(v ? v : Py_None));
    return 0;
}
PyObject* get_doc(PyObject* s, void*) { return Py_NewRef(as_fn(s)->doc); }
int set_doc(PyObject* s, PyObject* v, void*) {
    Py_XSETREF(as_fn(s)->doc, Py_NewRef(v ? v : Py_None));
    return 0;
}
PyObject* get_defaults(PyObject* s, void*) { return Py_NewRef(as_fn(s)->defaults); }
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_annotations(PyObject* s, void*) { return Py_NewRef(as_fn(s)->annotations); }
PyObject* get_code(PyObject* s, void*) { return Py_NewRef(as_fn(s)->code); }
PyObject* get_globals(PyObject* s, void*) { return Py_NewRef(as_fn(s)->globals); }

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef fn_methods[] = {{"__reduce__", fn_reduce, METH_NOARGS, nullptr},
                            {nullptr, nullptr, 0, nullptr}};

PyTypeObject make_type() {
    // Zero-filled, then the header a static type starts with (one reference).
    PyTypeObject t{};
    Py_SET_REFCNT(&t, 1);
    t.tp_name = "algo_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = fn_dealloc;
    t.tp_repr = fn_repr;
    t.tp_call = fn_call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "Module-level function of the algo extension modules.";
    t.tp_traverse = fn_traverse;
    t.tp_clear = fn_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    t.tp_methods = fn_methods;
    t.tp_getset = fn_getset;
    t.tp_descr_get = fn_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}

PyTypeObject function_type_object = make_type();

// A code object that describes the parameters, so inspect.signature() and
// pydoc treat the function like a Python function.
py::object make_code(const FunctionDef& def, const py::tuple& params, const py::str& module_name) {
    std::string file = py::cast<std::string>(module_name);
    for (char& c : file)
        if (c == '.') c = '/';
    PyCodeObject* empty = PyCode_NewEmpty(file.c_str(), def.name, 1);
    if (!empty) throw py::error_already_set();
    py::object code = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(empty));
    const auto n = static_cast<int>(params.size());
    return code.attr("replace")(py::arg("co_argcount") = n, py::arg("co_nlocals") = n,
                                py::arg("co_varnames") = params,
                                py::arg("co_flags") = CO_OPTIMIZED | CO_NEWLOCALS,
                                py::arg("co_qualname") = py::str(def.name));
}

}  // namespace

PyTypeObject* function_type() {
    if (!(function_type_object.tp_flags & Py_TPFLAGS_READY)) {
        if (PyType_Ready(&function_type_object) < 0) throw py::error_already_set();
    }
    return &function_type_object;
}

py::object add_function(py::module_& module, const FunctionDef& def) {
    PyTypeObject* type = function_type();
    if (def.defaults.size() > def.params.size())
        throw std::logic_error(std::string("more defaults than parameters: ") + def.name);

    py::tuple params(def.params.size());
    for (size_t i = 0; i < def.params.size(); ++i) {
        py::str s(def.params[i]);
        PyUnicode_InternInPlace(&s.ptr());  // fast identity match for keywords
        params[i] = s;
    }
    py::object defaults = py::none();
    if (!def.defaults.empty()) {
        py::tuple d(def.defaults.size());
        for (size_t i = 0; i < def.defaults.size(); ++i) d[i] = def.defaults[i];
        defaults = d;
    }
    py::dict annotations;
    for (const auto& [k, v] : def.annotations) annotations[py::str(k)] = py::str(v);
    py::str module_name = module.attr("__name__");
    py::object code = make_code(def, params, module_name);

    PyObject* raw = type->tp_alloc(type, 0);
    if (!raw) throw py::error_already_set();
    py::object obj = py::reinterpret_steal<py::object>(raw);
    FunctionObject* f = as_fn(raw);
    f->name = py::str(def.name).release().ptr();
    f->qualname = py::str(def.name).release().ptr();
    f->module = module_name.release().ptr();
    f->doc = def.doc ? py::str(def.doc).release().ptr() : py::none().release().ptr();
    f->defaults = defaults.release().ptr();
    f->annotations = annotations.release().ptr();
    f->code = code.release().ptr();
    f->globals = py::object(module.attr("__dict__")).release().ptr();
    f->params = params.release().ptr();
    f->n_required = static_cast<Py_ssize_t>(def.params.size() - def.defaults.size());
    f->body = def.body;
    module.attr(def.name) = obj;
    return obj;
}

py::object Call::global(const char* name) const {
    PyObject* v = PyDict_GetItemString(globals_, name);  // borrowed
    if (v) return py::reinterpret_borrow<py::object>(v);
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    v = builtins ? PyDict_GetItemString(builtins, name) : nullptr;
    if (v) return py::reinterpret_borrow<py::object>(v);
    raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
}

}  // namespace algo
