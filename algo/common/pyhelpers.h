// Python semantics for the C++ bodies: comparisons, truth, text, printing.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "errors.h"
#include "function.h"
#include "numeric_kind.h"

namespace algo {
namespace py = pybind11;
using namespace pybind11::literals;

// `bool(x)` with the interpreter's rules (raises what __bool__ raises).
bool truthy(py::handle x);

// `a == b` / `a != b` / `a < b` ... evaluated by the interpreter, then taken
// by truth value, as an `if` statement would.
bool py_eq(py::handle a, py::handle b);
bool py_ne(py::handle a, py::handle b);
bool py_lt(py::handle a, py::handle b);
bool py_le(py::handle a, py::handle b);
bool py_gt(py::handle a, py::handle b);
bool py_ge(py::handle a, py::handle b);

// The result object of `a op b` (element-wise on tables and arrays).
py::object rich_compare(py::handle a, py::handle b, int op);
inline py::object gt(py::handle a, py::handle b) { return rich_compare(a, b, Py_GT); }
inline py::object ge(py::handle a, py::handle b) { return rich_compare(a, b, Py_GE); }
inline py::object lt(py::handle a, py::handle b) { return rich_compare(a, b, Py_LT); }
inline py::object le(py::handle a, py::handle b) { return rich_compare(a, b, Py_LE); }
inline py::object eq(py::handle a, py::handle b) { return rich_compare(a, b, Py_EQ); }

// A dtype whose values are in the machine's byte order (or single bytes).
bool native_byte_order(const py::dtype& dt);

// A dtype equal to native float64 (dtype objects restored from a pickle are
// equal to, but not the same object as, NumPy's own).
bool is_native_float64(const py::dtype& dt);

// The kernels' element kind of a NumPy dtype of any byte order: float64,
// float32 and the signed and unsigned integers; false for every other dtype.
bool numeric_kind(const py::dtype& dt, NumKind& kind);

// A 1-D array of numeric kind `kind` as the kernels read it: contiguous,
// aligned and in native byte order (the array itself when it is all that,
// else a converted copy).
py::array native_contiguous(py::handle values, NumKind kind);

// The values and mask (bytes, 1 = missing) of a pandas masked numeric array
// (pd.arrays.IntegerArray or FloatingArray: the nullable Int*, UInt* and
// Float* dtypes), both as the kernels read them, and the values' kind; false
// for any other object.
bool masked_numeric(py::handle pd, py::handle array, NumKind& kind, py::array& values,
                    py::array& mask);

// Whether pandas evaluates element-wise operations on more than a million
// values with numexpr (which compares a float32 array with a float64 scalar
// in float64, where NumPy compares in float32).
bool pandas_uses_numexpr();
inline constexpr Py_ssize_t kNumexprMinElements = 1000000;

// x as a C++ integer when it is a Python int (not a bool) or an instance of
// `numpy_type` (a NumPy integer type) that fits in a long long; false
// otherwise.
bool plain_int(py::handle x, py::handle numpy_type, long long& out);

// `a, b, ... = value`: the interpreter's sequence unpacking into exactly n
// items, with its own error texts.
std::vector<py::object> unpack(py::handle value, size_t n);

// `a == "text"` for plain text codes.
bool eq_text(py::handle a, const char* text);

// `x in container`.
bool py_contains(py::handle container, py::handle x);

// `str(x)` as UTF-8.
std::string to_str(py::handle x);

// `builtins.print(*items)`: one line on the interpreter's sys.stdout.
void print_line(const py::args& items);
void print_line(const std::string& text);

// `round(x, ndigits)` through the interpreter.
py::object py_round(py::handle x, int ndigits);

// `float(x)` through the interpreter.
py::object py_float(py::handle x);

// `len(x)`.
Py_ssize_t py_len(py::handle x);

// `obj[key] = value` for any object.
void setitem(py::handle obj, py::handle key, py::handle value);

// `df.loc[:, columns]`: a column selection that is a table of its own (later
// column writes do not reach, nor warn about, the table it came from).
py::object loc_columns(py::handle df, py::handle columns);

// `obj[key]` for any object.
py::object getitem(py::handle obj, py::handle key);
py::object getitem(py::handle obj, const char* key);

// A Python list of str from C++ strings, and back.
py::list str_list(const std::vector<std::string>& items);
std::vector<std::string> to_strings(py::handle iterable);

// A new list: the items of `a` followed by the items of `b`.
py::list concat_lists(py::handle a, py::handle b);

// `time.strftime`-like formatting of a pandas/NumPy time value through its
// own strftime method: `value.strftime(fmt)`.
py::object strftime(py::handle value, const char* fmt);

// "%Y-%m-%d %H:%M:%S", the time text of every result.
inline constexpr const char* kTimeFormat = "%Y-%m-%d %H:%M:%S";

}  // namespace algo
