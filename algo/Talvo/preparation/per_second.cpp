// compress_by_second: one row per second of the time column, with the
// report of the seconds whose readings disagree.
//
// "last" and "first" run natively over the column buffers (object columns
// with the GIL held, everything else without it); other strategies, and
// tables the native road does not take (extension dtypes, repeated or
// non-text labels, no rows), go through the library's grouped operations.
#include <pybind11/numpy.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../common/pyhelpers.h"
#include "per_second_kernel.h"
#include "preparation.h"

namespace talvo {

namespace {

namespace ps = per_second;

// The argument must be exactly a built-in str (subclasses are refused too).
void require_text(const char* name, py::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return;
    std::string msg = std::string("Argument '") + std::string(name).substr(0, 200) +
                      "' has incorrect type (expected str, got " +
                      std::string(Py_TYPE(value.ptr())->tp_name).substr(0, 200) + ")";
    if (PyUnicode_Check(value.ptr())) msg += ": subclasses of str are not accepted";
    algo::raise(PyExc_TypeError, msg);
}

// s == text for an exact str s (any str, lone surrogates included).
bool text_equals(py::handle s, const char* text) {
    return PyUnicode_CompareWithASCIIString(s.ptr(), text) == 0;
}

// The start of the second of the earliest representable instants lies
// outside the nanosecond range: such a time raises, as any other time stamp
// outside the range does.
void require_cuttable(const py::object& pd, const py::array& stamps_i8) {
    std::int64_t bad;
    {
        py::gil_scoped_release nogil;
        bad = ps::first_uncuttable(static_cast<const std::int64_t*>(stamps_i8.data()),
                                   static_cast<std::size_t>(stamps_i8.shape(0)));
    }
    if (bad == ps::kNaT) return;
    py::object stamp = pd.attr("Timestamp")(py::int_(bad));
    std::string second = py::str(stamp.attr("strftime")("%Y-%m-%d %H:%M:%S"));
    PyErr_SetString(pd.attr("errors").attr("OutOfBoundsDatetime").ptr(),
                    ("Out of bounds nanosecond timestamp: " + second).c_str());
    throw py::error_already_set();
}

// The "_sec" key: parsed times cut to the start of their second. NumPy's
// datetime64[s] cast wraps the first second of the range around to 2262
// (its floor division overflows there), so nanosecond stamps are cut here;
// other time values (zone-aware ones are UTC nanoseconds already under
// .values) take NumPy's cast.
py::object second_keys(const py::object& pd, const py::object& np, const py::object& parsed) {
    py::object values = parsed.attr("values");
    if (!py::isinstance<py::array>(values) ||
        py::str(static_cast<py::handle>(py::reinterpret_borrow<py::array>(values).dtype()))
                .cast<std::string>() != "datetime64[ns]")
        return values.attr("astype")("datetime64[s]");
    py::array stamps = np.attr("require")(values.attr("view")("int64"), "int64", "CA");
    require_cuttable(pd, stamps);
    py::array_t<std::int64_t> out(stamps.shape(0));
    {
        py::gil_scoped_release nogil;
        ps::floor_seconds(static_cast<const std::int64_t*>(stamps.data()),
                          static_cast<std::size_t>(stamps.shape(0)), out.mutable_data());
    }
    return out.attr("view")("datetime64[ns]");
}

// ---------------------------------------------------------------------------
// Library road

// The (second, column) pairs whose distinct count exceeds one.
py::object conflict_pairs(const py::object& nunique) {
    py::object marks = nunique.attr("gt")(1).attr("stack")();
    py::object kept = marks.attr("loc")[marks];
    py::dict names;
    names["level_1"] = py::str("column");
    names[py::int_(0)] = py::str("conflict");
    return kept.attr("reset_index")()
        .attr("rename")("columns"_a = names)
        .attr("drop")("columns"_a = "conflict");
}

py::object library_road(const algo::Call& c, py::handle df_in, py::handle time_col,
                        py::handle on_conflict, py::handle want_conflicts) {
    py::object pd = c("pd"), np = c("np");
    py::object df = df_in.attr("copy")();

    // Blank text (empty or white space only) becomes missing.
    py::object obj_cols = df.attr("select_dtypes")("include"_a = "object").attr("columns");
    for (py::handle col : obj_cols) {
        py::object s = algo::getitem(df, col).attr("astype")(c("str"));
        py::object blank = s.attr("str").attr("fullmatch")(R"(\s*)");
        df[col] = algo::getitem(df, col).attr("mask")(blank);
    }
    df[time_col] = pd.attr("to_datetime")(algo::getitem(df, time_col), "errors"_a = "coerce");
    // Stable: readings with the same stamp keep their input order.
    df = df.attr("sort_values")(time_col, "kind"_a = "stable");
    df[py::str("_sec")] = second_keys(pd, np, algo::getitem(df, time_col));

    py::tuple skip = py::make_tuple(time_col, py::str("_sec"));
    py::list feature_cols;
    for (py::handle col : df.attr("columns"))
        if (!algo::py_contains(skip, col)) feature_cols.append(col);
    py::list out_cols;
    out_cols.append(py::str("_sec"));
    for (py::handle col : feature_cols) out_cols.append(col);
    py::dict sec_to_time;
    sec_to_time["_sec"] = time_col;

    const bool default_road = text_equals(on_conflict, "last") || text_equals(on_conflict, "first");
    if (default_road) {
        const bool last = text_equals(on_conflict, "last");
        py::object g = algo::getitem(df.attr("groupby")("_sec", "sort"_a = false), feature_cols);
        df[feature_cols] = last ? g.attr("ffill")() : g.attr("bfill")();
        py::object out = algo::getitem(
            df.attr("drop_duplicates")("_sec", "keep"_a = last ? "last" : "first"), out_cols);
        out = out.attr("rename")("columns"_a = sec_to_time);
        py::object conflicts = py::none();
        if (algo::truthy(want_conflicts))
            conflicts = conflict_pairs(algo::getitem(df.attr("groupby")("_sec"), feature_cols)
                                           .attr("nunique")("dropna"_a = true));
        return py::make_tuple(out, conflicts);
    }

    // Any other strategy: "last" for every column, then the columns that
    // really disagree somewhere reduced second by second.
    py::object filled = df.attr("copy")();
    filled[feature_cols] =
        algo::getitem(filled.attr("groupby")("_sec", "sort"_a = false), feature_cols)
            .attr("ffill")();
    py::object base =
        algo::getitem(filled.attr("drop_duplicates")("_sec", "keep"_a = "last"), out_cols);

    py::object nunique =
        algo::getitem(df.attr("groupby")("_sec"), feature_cols).attr("nunique")("dropna"_a = true);
    py::object any_conflict = nunique.attr("gt")(1).attr("any")("axis"_a = 0);
    py::list conflict_cols;
    for (py::handle col : feature_cols)
        if (algo::truthy(algo::getitem(any_conflict, col))) conflict_cols.append(col);

    py::object conflicts = py::none();
    if (algo::truthy(want_conflicts)) conflicts = conflict_pairs(nunique);
    if (py::len(conflict_cols) == 0)
        return py::make_tuple(base.attr("rename")("columns"_a = sec_to_time), conflicts);

    py::object strategy = py::reinterpret_borrow<py::object>(on_conflict);
    py::object str_type = c("str");
    py::cpp_function reduce_series(
        [pd, np, strategy, str_type](py::object s) -> py::object {
            s = s.attr("dropna")();
            if (algo::py_len(s) == 0) return np.attr("nan");
            py::object unique = pd.attr("unique")(s);
            if (algo::py_len(unique) == 1) return algo::getitem(unique, py::int_(0));
            if (text_equals(strategy, "mode"))
                return algo::getitem(s.attr("mode")("dropna"_a = true).attr("iloc"), py::int_(-1));
            if (text_equals(strategy, "concat"))
                return py::str("|").attr("join")(pd.attr("unique")(s.attr("astype")(str_type)));
            if (text_equals(strategy, "nan")) return np.attr("nan");
            return algo::getitem(s.attr("iloc"), py::int_(-1));
        },
        py::name("_reduce_series"));
    py::object reduced =
        algo::getitem(df.attr("groupby")("_sec", "as_index"_a = false), conflict_cols)
            .attr("agg")(reduce_series);
    py::object out = base.attr("drop")("columns"_a = conflict_cols)
                         .attr("merge")(reduced, "on"_a = "_sec", "how"_a = "left")
                         .attr("rename")("columns"_a = sec_to_time);
    return py::make_tuple(out, conflicts);
}

// ---------------------------------------------------------------------------
// Native road ("last" / "first")

// The kernel's reading of a NumPy dtype; false for anything it does not take.
bool kind_of(const py::dtype& dt, ps::Kind& kind, bool& object) {
    object = false;
    const char k = dt.kind();
    const auto size = dt.itemsize();
    switch (k) {
        case 'O':
            object = true;
            return true;
        case 'f':
            if (size == 8)
                kind = ps::Kind::Float64;
            else if (size == 4)
                kind = ps::Kind::Float32;
            else
                return false;
            return true;
        case 'i':
            if (size == 1)
                kind = ps::Kind::Int8;
            else if (size == 2)
                kind = ps::Kind::Int16;
            else if (size == 4)
                kind = ps::Kind::Int32;
            else if (size == 8)
                kind = ps::Kind::Int64;
            else
                return false;
            return true;
        case 'u':
            if (size == 1)
                kind = ps::Kind::UInt8;
            else if (size == 2)
                kind = ps::Kind::UInt16;
            else if (size == 4)
                kind = ps::Kind::UInt32;
            else if (size == 8)
                kind = ps::Kind::UInt64;
            else
                return false;
            return true;
        case 'b':
            if (size != 1) return false;
            kind = ps::Kind::Bool;
            return true;
        case 'M':
        case 'm': {
            // Nanosecond stamps and durations only (the library's own unit).
            std::string name = py::str(static_cast<const py::handle&>(dt)).cast<std::string>();
            if (name != "datetime64[ns]" && name != "timedelta64[ns]") return false;
            kind = ps::Kind::Stamp;
            return true;
        }
        default:
            return false;
    }
}

// Whether the text of a str is empty or white space only (the regular
// expression \s* over the whole text).
bool blank_text(PyObject* s) {
    if (PyUnicode_READY(s) < 0) throw py::error_already_set();
    const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < len; ++i)
        if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) return false;
    return true;
}

// Whether str(cell) is blank, as astype(str) followed by the blank match sees it.
bool blank_cell(PyObject* cell) {
    if (PyUnicode_CheckExact(cell)) return blank_text(cell);
    if (cell == Py_None || PyFloat_CheckExact(cell) || PyLong_CheckExact(cell) ||
        PyBool_Check(cell))
        return false;  // their text is never blank
    // str() may run any code; the cell is held while it does.
    py::object held = py::reinterpret_borrow<py::object>(cell);
    py::object text = py::reinterpret_steal<py::object>(PyObject_Str(held.ptr()));
    if (!text) throw py::error_already_set();
    return blank_text(text.ptr());
}

// Per cell of an object column: 1 when the library counts it missing (its
// isna) or its text is blank. Plain str, None and float cells are decided
// here; every other cell by the library's isna over the gathered few.
std::vector<std::uint8_t> object_missing(const py::object& pd, const py::array& values) {
    const Py_ssize_t n = values.shape(0);
    PyObject* const* cells = static_cast<PyObject* const*>(values.data());
    std::vector<std::uint8_t> missing(n, 0);
    std::vector<Py_ssize_t> others;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = cells[i];
        if (PyUnicode_CheckExact(v)) {
            missing[i] = blank_text(v);
        } else if (v == Py_None) {
            missing[i] = 1;
        } else if (PyFloat_CheckExact(v) && std::isfinite(PyFloat_AS_DOUBLE(v))) {
            missing[i] = 0;
        } else if (PyFloat_CheckExact(v) && std::isnan(PyFloat_AS_DOUBLE(v))) {
            missing[i] = 1;
        } else {
            others.push_back(i);  // infinities too: the library may count them missing
        }
    }
    if (!others.empty()) {
        py::array subset(py::dtype("O"),
                         std::vector<py::ssize_t>{static_cast<py::ssize_t>(others.size())});
        PyObject** sub = static_cast<PyObject**>(subset.mutable_data());
        for (size_t k = 0; k < others.size(); ++k) {
            PyObject* v = cells[others[k]];
            Py_INCREF(v);
            Py_XDECREF(sub[k]);
            sub[k] = v;
        }
        py::array_t<bool> na = pd.attr("isna")(subset);
        const bool* na_data = na.data();
        for (size_t k = 0; k < others.size(); ++k)
            missing[others[k]] = na_data[k] || blank_cell(cells[others[k]]);
    }
    return missing;
}

// The runs of an object column holding two distinct non-missing values, as
// the library's hash-table distinct count sees them: equal hashes and equal by
// the interpreter's ==. Every such value is hashed, so an unhashable one
// raises its TypeError as it does there.
std::vector<std::int64_t> object_conflicts(const py::array& values,
                                           const std::vector<std::uint8_t>& missing,
                                           const ps::Runs& runs) {
    std::vector<std::int64_t> out;
    PyObject* const* cells = static_cast<PyObject* const*>(values.data());
    const std::size_t m = runs.count();
    const std::size_t timed = runs.missing_run ? m - 1 : m;
    for (std::size_t r = 0; r < timed; ++r) {
        // Values are held while hashing and comparing: both may run any code.
        py::object first;
        Py_hash_t first_hash = 0;
        bool differs = false;
        for (std::int64_t k = runs.starts[r]; k < runs.starts[r + 1]; ++k) {
            const std::int64_t pos = runs.order[k];
            if (missing[pos]) continue;
            py::object v = py::reinterpret_borrow<py::object>(cells[pos]);
            const Py_hash_t h = PyObject_Hash(v.ptr());
            if (h == -1 && PyErr_Occurred()) throw py::error_already_set();
            if (!first) {
                first = std::move(v);
                first_hash = h;
            } else if (!differs && !v.is(first)) {
                if (h != first_hash) {
                    differs = true;
                } else {
                    const int eq = PyObject_RichCompareBool(first.ptr(), v.ptr(), Py_EQ);
                    if (eq < 0) throw py::error_already_set();
                    differs = eq == 0;
                }
            }
        }
        if (differs) out.push_back(static_cast<std::int64_t>(r));
    }
    return out;
}

py::array int64_array(const std::vector<std::int64_t>& v) {
    py::array_t<std::int64_t> a(static_cast<py::ssize_t>(v.size()));
    if (!v.empty()) std::memcpy(a.mutable_data(), v.data(), v.size() * sizeof(std::int64_t));
    return std::move(a);
}

py::array empty_array(const py::dtype& dt, std::vector<py::ssize_t> shape) {
    return py::array(dt, std::move(shape));
}

struct Column {
    py::object label;
    py::array values;  // contiguous, indexed by input position
    bool object = false;
    ps::Kind kind = ps::Kind::Float64;
    std::vector<std::uint8_t> missing;  // object columns: missing or blank text
    // Output: a row of the shared float64 block, or an array of its own.
    Py_ssize_t block_row = -1;
    py::array out;
    void* out_data = nullptr;
    bool library_take = false;         // integer/boolean widened by a missing value
    std::vector<std::int64_t> source;  // kept for library and object takes
    std::vector<std::int64_t> conflicts;
};

// The output table from its column arrays without copying them: one float64
// block for all float64 columns plus one block per other column, assembled
// with the library's block manager. Null when the library has no such
// interface, so the caller can build the table the ordinary way.
py::object assemble(const py::object& pd, const py::object& columns, const py::object& index,
                    const std::vector<std::pair<py::object, py::list>>& blocks) {
    py::object api, manager;
    try {
        api = py::module_::import("pandas.core.internals.api");
        manager = py::module_::import("pandas.core.internals").attr("BlockManager");
    } catch (py::error_already_set&) {
        return {};
    }
    py::list made;
    for (const auto& [values, placement] : blocks)
        made.append(api.attr("make_block")(values, "placement"_a = placement));
    py::list axes;
    axes.append(columns);
    axes.append(index);
    return pd.attr("DataFrame")(manager(made, axes));
}

// Null when the table is not one the native road takes; the caller then runs
// the library road, which raises the library's own errors where there are any.
py::object native_road(const algo::Call& c, py::handle df, py::handle time_col, bool keep_last,
                       py::handle want_conflicts) {
    py::object pd = c("pd"), np = c("np");
    if (!py::type::handle_of(df).is(pd.attr("DataFrame"))) return {};
    py::object columns = df.attr("columns");
    if (!py::type::handle_of(columns).is(pd.attr("Index"))) return {};
    if (!columns.attr("name").is_none()) return {};
    if (!algo::truthy(columns.attr("is_unique"))) return {};
    const Py_ssize_t n = algo::py_len(df);
    if (n == 0) return {};

    // Column kinds: text labels only, NumPy dtypes the kernel reads.
    py::list dtypes = df.attr("dtypes").attr("tolist")();
    py::object np_dtype = np.attr("dtype");
    std::vector<Column> cols;
    Py_ssize_t time_pos = -1;
    bool time_is_object = false;
    {
        Py_ssize_t j = 0;
        for (py::handle label : columns) {
            if (!PyUnicode_CheckExact(label.ptr())) return {};
            if (text_equals(label, "_sec")) return {};
            py::handle dt = dtypes[j];
            if (!py::isinstance(dt, np_dtype)) return {};       // extension dtypes
            if (!algo::truthy(dt.attr("isnative"))) return {};  // other byte order
            Column col;
            col.label = py::reinterpret_borrow<py::object>(label);
            if (algo::py_eq(label, time_col)) {
                time_pos = j;
                time_is_object = py::reinterpret_borrow<py::dtype>(dt).kind() == 'O';
            } else if (!kind_of(py::reinterpret_borrow<py::dtype>(dt), col.kind, col.object)) {
                return {};
            }
            cols.push_back(std::move(col));
            ++j;
        }
    }
    if (time_pos < 0) return {};
    const size_t ncols = cols.size();
    auto is_time = [&](size_t j) { return static_cast<Py_ssize_t>(j) == time_pos; };

    // Column buffers by position (labels are unique).
    py::object iloc = df.attr("iloc");
    py::object all_rows = py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr));
    py::object time_series;
    for (size_t j = 0; j < ncols; ++j) {
        py::object series = algo::getitem(iloc, py::make_tuple(all_rows, py::int_(j)));
        if (is_time(j)) {
            time_series = series;
            continue;
        }
        // Contiguous and aligned, of exactly the dtype the kind was read from.
        py::object arr = np.attr("require")(series.attr("to_numpy")(), py::none(), "CA");
        if (!py::isinstance<py::array>(arr)) return {};
        cols[j].values = py::reinterpret_borrow<py::array>(arr);
        if (cols[j].values.ndim() != 1 || cols[j].values.shape(0) != n) return {};
        if (!algo::py_eq(cols[j].values.dtype(), dtypes[j])) return {};
    }

    // Blank text becomes missing, column by column in table order (the time
    // column too when it holds text: its blank cells are masked before parsing).
    for (size_t j = 0; j < ncols; ++j) {
        if (is_time(j)) {
            if (!time_is_object) continue;
            py::array arr = np.attr("require")(time_series.attr("to_numpy")(), py::none(), "CA");
            if (arr.ndim() != 1 || arr.shape(0) != n || arr.dtype().kind() != 'O') return {};
            PyObject* const* cells = static_cast<PyObject* const*>(arr.data());
            py::array_t<bool> cond(n);
            bool any = false;
            for (Py_ssize_t i = 0; i < n; ++i) {
                const bool b = blank_cell(cells[i]);  // reads the cell afresh each time
                cond.mutable_data()[i] = b;
                any |= b;
            }
            if (any) time_series = time_series.attr("mask")(cond);
        } else if (cols[j].object) {
            cols[j].missing = object_missing(pd, cols[j].values);
        }
    }

    py::object parsed = pd.attr("to_datetime")(time_series, "errors"_a = "coerce");
    py::object parsed_values = parsed.attr("values");
    if (!py::isinstance<py::array>(parsed_values)) return {};
    py::array stamps_arr = py::reinterpret_borrow<py::array>(parsed_values);
    if (py::str(static_cast<py::handle>(stamps_arr.dtype())).cast<std::string>() !=
        "datetime64[ns]")
        return {};
    stamps_arr = np.attr("require")(stamps_arr.attr("view")("int64"), "int64", "CA");
    if (stamps_arr.ndim() != 1 || stamps_arr.shape(0) != n) return {};

    require_cuttable(pd, stamps_arr);
    const bool want = algo::truthy(want_conflicts);

    ps::Runs runs;
    bool ok;
    {
        py::gil_scoped_release nogil;
        ok = ps::build_runs(static_cast<const std::int64_t*>(stamps_arr.data()),
                            static_cast<std::size_t>(n), runs);
    }
    if (!ok) return {};
    const std::size_t m = runs.count();
    const py::ssize_t sm = static_cast<py::ssize_t>(m);

    // Output buffers: float64 columns share one block (one row each).
    Py_ssize_t n_float = 0;
    for (size_t j = 0; j < ncols; ++j)
        if (!is_time(j) && !cols[j].object && cols[j].kind == ps::Kind::Float64)
            cols[j].block_row = n_float++;
    py::array block = empty_array(py::dtype::of<double>(), {n_float, sm});
    for (size_t j = 0; j < ncols; ++j) {
        Column& col = cols[j];
        if (is_time(j) || col.object) continue;
        if (col.block_row >= 0) {
            col.out_data = static_cast<double*>(block.mutable_data()) + col.block_row * m;
            continue;
        }
        const bool fills = col.kind == ps::Kind::Float32 || col.kind == ps::Kind::Stamp;
        // Integer and boolean columns see a missing value only in the run
        // without a time; the library then widens their type, so that case
        // is taken by the library.
        col.library_take = !fills && runs.missing_run;
        if (!col.library_take) {
            col.out = empty_array(col.values.dtype(), {sm});
            col.out_data = col.out.mutable_data();
        }
    }

    // Numeric columns: pick and take without the GIL, several columns at once.
    {
        py::gil_scoped_release nogil;
        std::vector<size_t> work;
        for (size_t j = 0; j < ncols; ++j)
            if (!is_time(j) && !cols[j].object) work.push_back(j);
        std::atomic<size_t> next{0};
        std::mutex failure_lock;
        std::exception_ptr failure;  // first failure of any thread (out of memory)
        auto worker = [&]() {
            try {
                std::vector<std::int64_t> scratch(m);
                for (size_t w; (w = next.fetch_add(1)) < work.size();) {
                    Column& col = cols[work[w]];
                    std::int64_t* src = scratch.data();
                    if (col.library_take) {
                        col.source.resize(m);
                        src = col.source.data();
                    }
                    ps::pick_column(col.kind, col.values.data(), runs, keep_last, src,
                                    want ? &col.conflicts : nullptr);
                    if (!col.library_take)
                        ps::take(col.kind, col.values.data(), src, m, col.out_data);
                }
            } catch (...) {
                std::lock_guard<std::mutex> hold(failure_lock);
                if (!failure) failure = std::current_exception();
                next.store(work.size());  // the others stop too
            }
        };
        // Threads only pay off on large tables (a few hundred thousand cells).
        const size_t hw = std::max(1u, std::thread::hardware_concurrency());
        const bool large = static_cast<size_t>(n) * work.size() >= (size_t{1} << 18);
        const size_t n_threads = large ? std::min({hw, size_t{8}, work.size()}) : 1;
        std::vector<std::thread> threads;
        try {
            for (size_t t = 1; t < n_threads; ++t) threads.emplace_back(worker);
        } catch (...) {
            // No further threads: the calling thread does the rest.
        }
        worker();
        for (auto& t : threads) t.join();
        if (failure) std::rethrow_exception(failure);  // converted at the boundary
    }

    // Object columns (and widened integer/boolean ones) with the GIL.
    py::object take = pd.attr("api").attr("extensions").attr("take");
    for (size_t j = 0; j < ncols; ++j) {
        Column& col = cols[j];
        if (is_time(j)) continue;
        if (col.object) {
            col.source.resize(m);
            ps::pick_by_mask(col.missing.data(), runs, keep_last, col.source.data());
            if (want) col.conflicts = object_conflicts(col.values, col.missing, runs);
            col.library_take = true;
        }
        if (col.library_take)
            col.out = take(col.values, int64_array(col.source), "allow_fill"_a = true);
    }

    // Row labels of the surviving rows, the whole seconds, the table.
    std::vector<std::int64_t> kept(m);
    for (std::size_t r = 0; r < m; ++r)
        kept[r] = keep_last ? runs.order[runs.starts[r + 1] - 1] : runs.order[runs.starts[r]];
    py::object index = df.attr("index").attr("take")(int64_array(kept));
    py::object seconds = int64_array(runs.seconds).attr("view")("datetime64[ns]");

    py::list out_labels;
    out_labels.append(time_col);
    std::vector<std::pair<py::object, py::list>> blocks;
    py::list float_places;
    {
        py::list place;
        place.append(0);
        blocks.emplace_back(seconds.attr("reshape")(1, sm), place);
    }
    Py_ssize_t position = 1;
    for (size_t j = 0; j < ncols; ++j) {
        if (is_time(j)) continue;
        out_labels.append(cols[j].label);
        if (cols[j].block_row >= 0) {
            float_places.append(position);
        } else {
            py::list place;
            place.append(position);
            blocks.emplace_back(cols[j].out.attr("reshape")(1, sm), place);
        }
        ++position;
    }
    if (n_float > 0) blocks.emplace_back(block, float_places);
    py::object out_columns = pd.attr("Index")(out_labels, "dtype"_a = "object");
    py::object out = assemble(pd, out_columns, index, blocks);
    if (!out) {
        py::dict data;
        data[time_col] = seconds;
        for (size_t j = 0; j < ncols; ++j) {
            if (is_time(j)) continue;
            data[cols[j].label] = cols[j].block_row >= 0
                                      ? algo::getitem(block, py::int_(cols[j].block_row))
                                      : py::object(cols[j].out);
        }
        out = pd.attr("DataFrame")(data, "index"_a = index);
    }

    py::object conflicts = py::none();
    if (want) {
        std::vector<std::vector<std::int64_t>> per_column;
        std::vector<size_t> col_of;
        for (size_t j = 0; j < ncols; ++j) {
            if (is_time(j)) continue;
            per_column.push_back(std::move(cols[j].conflicts));
            col_of.push_back(j);
        }
        std::vector<std::int64_t> pair_run, pair_col;
        ps::merge_conflicts(per_column, m, pair_run, pair_col);
        std::vector<std::int64_t> pair_sec(pair_run.size());
        for (size_t k = 0; k < pair_run.size(); ++k) pair_sec[k] = runs.seconds[pair_run[k]];
        py::array labels = empty_array(py::dtype("O"), {static_cast<py::ssize_t>(pair_col.size())});
        PyObject** cells = static_cast<PyObject**>(labels.mutable_data());
        for (size_t k = 0; k < pair_col.size(); ++k) {
            PyObject* label = cols[col_of[pair_col[k]]].label.ptr();
            Py_INCREF(label);
            Py_XDECREF(cells[k]);
            cells[k] = label;
        }
        py::dict cdata;
        cdata["_sec"] = int64_array(pair_sec).attr("view")("datetime64[ns]");
        cdata["column"] = labels;
        conflicts = pd.attr("DataFrame")(cdata);
    }
    return py::make_tuple(out, conflicts);
}

}  // namespace

py::object compress_by_second(const algo::Call& c) {
    const py::object &df = c[0], &time_col = c[1], &on_conflict = c[2], &want_conflicts = c[3];
    require_text("time_col", time_col);
    require_text("on_conflict", on_conflict);
    const bool last = text_equals(on_conflict, "last");
    if (last || text_equals(on_conflict, "first")) {
        py::object r = native_road(c, df, time_col, last, want_conflicts);
        if (r) return r;
    }
    return library_road(c, df, time_col, on_conflict, want_conflicts);
}

}  // namespace talvo

TALVO_IMPL(compress_by_second,
           "Collapse readings to one row per second of the time column.\n\n"
           "Times are parsed (unparsable ones become NaT and end in one last row), cut to the\n"
           "start of their second, and every other column keeps per second the value chosen\n"
           "by on_conflict: 'last' / 'first' non-missing value, 'mode', 'concat' (distinct\n"
           "texts joined by '|'), 'nan'; any other text resolves like 'last'. Blank text\n"
           "counts as missing. Returns (table, conflicts): conflicts lists the (second,\n"
           "column) pairs holding more than one distinct value, or is None when\n"
           "want_conflicts is false. The input table is not modified.")
