// drop_outliers_by_min: readings outside the interquartile fences of their
// own clock minute are dropped.
//
// Native road: numeric columns (float64, float32, signed and unsigned
// integers, and their nullable pandas dtypes Float64, Int8, UInt64, ...) of a
// DataFrame with a unique, flat header and a time column that parses to
// datetime64[ns], naive or zone-aware, go through the kernel in
// minute_fences.cpp; the surviving rows are taken from the table itself, so
// every column keeps its dtype. Everything else (text or other extension
// dtypes, duplicate headers, odd fence factors, no parsable time at all)
// takes the library road, the per-minute pandas loop, so odd inputs give
// pandas' own results and errors.
#include <algorithm>
#include <thread>

#include "../../common/pyhelpers.h"
#include "../functions.h"
#include "minute_fences.h"

namespace talvo {

namespace {

namespace mf = minute_fences;

// The per-minute loop through pandas, step by step.
py::object library_road(const algo::Call& c, py::object df, const py::object& time_col,
                        const py::object& exclude_cols, const py::object& iqr_k) {
    py::object pd = c("pd");
    df = df.attr("copy")();
    df[time_col] = pd.attr("to_datetime")(algo::getitem(df, time_col));
    df.attr("set_index")(time_col, "inplace"_a = true);

    py::list result;
    // Without a single parsed time there is no minute: nothing to concatenate,
    // as for a table without rows (the minute grouper itself would fail on
    // an index of missing times only with an internal error).
    if (!algo::truthy(df.attr("index").attr("notna")().attr("any")()))
        return pd.attr("concat")(result);

    py::object groups = df.attr("groupby")(pd.attr("Grouper")("freq"_a = "1min"));
    const py::float_ q25(0.25), q75(0.75);
    for (py::handle item : groups) {
        py::object group = algo::getitem(item, py::int_(1));
        py::object filtered = group.attr("copy")();
        for (py::handle col : group.attr("columns")) {
            if (algo::py_contains(exclude_cols, col)) continue;
            py::object values = algo::getitem(group, col);
            py::object Q1 = values.attr("quantile")(q25);
            py::object Q3 = values.attr("quantile")(q75);
            py::object IQR = Q3 - Q1;
            py::object lower = Q1 - iqr_k * IQR;
            py::object upper = Q3 + iqr_k * IQR;
            py::object v = algo::getitem(filtered, col);
            filtered = algo::getitem(filtered, algo::ge(v, lower) & algo::le(v, upper));
        }
        result.append(filtered);
    }
    return pd.attr("concat")(result).attr("sort_index")().attr("reset_index")();
}

// The fence factor when it is a plain float, bool or an int that a double
// holds exactly (NumPy computes with that double too).
bool fence_factor(const py::object& iqr_k, mf::Factor& f) {
    if (PyFloat_Check(iqr_k.ptr())) {
        f.k = PyFloat_AsDouble(iqr_k.ptr());
        return true;
    }
    if (PyLong_Check(iqr_k.ptr())) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(iqr_k.ptr(), &overflow);
        if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        if (v > (1LL << 53) || v < -(1LL << 53)) return false;
        f.k = static_cast<double>(v);
        f.is_bool = PyBool_Check(iqr_k.ptr());
        f.is_int = !f.is_bool;
        return true;
    }
    return false;
}

// Returns the result, or a null object when the input needs the library road.
py::object native_road(const algo::Call& c, const py::object& df, const py::object& time_col,
                       const py::object& exclude_cols, const py::object& iqr_k) {
    py::object pd = c("pd");
    py::object np = c("np");
    if (!py::isinstance(df, pd.attr("DataFrame"))) return py::object();
    mf::Factor factor;
    if (!fence_factor(iqr_k, factor)) return py::object();
    py::object columns = df.attr("columns");
    if (py::isinstance(columns, pd.attr("MultiIndex"))) return py::object();
    if (!algo::truthy(columns.attr("is_unique"))) return py::object();
    if (PyObject_Hash(time_col.ptr()) == -1) {
        PyErr_Clear();
        return py::object();
    }
    if (!algo::py_contains(columns, time_col)) return py::object();
    const Py_ssize_t time_pos = py::cast<Py_ssize_t>(columns.attr("get_loc")(time_col));

    // Same parse as the loop (library defaults, its errors unchanged).
    py::object parsed = pd.attr("to_datetime")(algo::getitem(df, time_col));
    const std::string time_dtype = algo::to_str(parsed.attr("dtype"));
    const bool zoned = time_dtype.rfind("datetime64[ns, ", 0) == 0;
    if (time_dtype != "datetime64[ns]" && !zoned) return py::object();
    // Nanosecond stamps (UTC for zone-aware times).
    py::array stamps = parsed.attr("values");
    auto times = py::array_t<std::int64_t, py::array::c_style>::ensure(stamps.attr("view")("i8"));
    if (!times) throw py::error_already_set();
    const std::size_t n = static_cast<std::size_t>(times.shape(0));
    const std::int64_t* t = times.data();
    if (std::all_of(t, t + n, [](std::int64_t v) { return v == mf::kNaT; }))
        return py::object();  // no minute at all: the library road's concatenation error
    // The minute grouper counts its bins from midnight of the first day in
    // the times' own zone: whole minutes of UTC unless the zone's offset has
    // seconds.
    const std::int64_t origin =
        zoned ? py::cast<std::int64_t>(parsed.attr("min")().attr("normalize")().attr("value")) : 0;

    // The examined columns, in column order.
    std::vector<py::array> keep_alive;
    std::vector<mf::Column> examined;
    Py_ssize_t pos = 0;
    for (py::handle col : columns) {
        const Py_ssize_t here = pos++;
        if (here == time_pos) continue;
        if (algo::py_contains(exclude_cols, col)) continue;
        py::object series =
            df.attr("iloc")[py::make_tuple(py::slice(0, PY_SSIZE_T_MAX, 1), py::int_(here))];
        py::object dtype = series.attr("dtype");
        algo::NumKind kind;
        py::array values, mask;
        const bool masked = !py::isinstance<py::dtype>(dtype);
        if (masked) {
            if (!algo::masked_numeric(pd, series.attr("array"), kind, values, mask))
                return py::object();
        } else {
            if (!algo::numeric_kind(py::reinterpret_borrow<py::dtype>(dtype), kind))
                return py::object();
            values = algo::native_contiguous(series.attr("to_numpy")(), kind);
        }
        if (values.ndim() != 1 || static_cast<std::size_t>(values.shape(0)) != n)
            return py::object();
        examined.push_back(mf::Column{
            values.data(), kind, masked ? static_cast<const std::uint8_t*>(mask.data()) : nullptr});
        keep_alive.push_back(std::move(values));
        keep_alive.push_back(std::move(mask));
    }

    // Comparisons of more values than numexpr's threshold may go to numexpr.
    const std::size_t float32_rows =
        n > static_cast<std::size_t>(algo::kNumexprMinElements) && algo::pandas_uses_numexpr()
            ? static_cast<std::size_t>(algo::kNumexprMinElements)
            : n;
    std::optional<std::vector<std::int64_t>> survivors;
    {
        const std::size_t cells = n * std::max<std::size_t>(1, examined.size());
        const unsigned threads =
            cells < 200000 ? 1u : std::min(8u, std::max(1u, std::thread::hardware_concurrency()));
        py::gil_scoped_release nogil;
        survivors = mf::survivors(t, n, examined, factor, origin, float32_rows, threads);
    }
    if (!survivors) return py::object();
    const std::vector<std::int64_t>& rows = *survivors;

    py::array_t<std::int64_t> take(static_cast<py::ssize_t>(rows.size()));
    std::copy(rows.begin(), rows.end(), take.mutable_data());
    // The surviving rows, the time column replaced by its parsed values and
    // moved to the front.
    py::object out = df.attr("take")(take);
    out.attr("__delitem__")(time_col);
    out.attr("insert")(0, time_col, parsed.attr("array").attr("take")(take));
    out.attr("index") = pd.attr("RangeIndex")(py::int_(rows.size()));
    return out;
}

}  // namespace

py::object drop_outliers_by_min(const algo::Call& c) {
    const py::object &df = c[0], &time_col = c[1], &iqr_k = c[3];
    py::object exclude_cols = c[2];
    if (exclude_cols.is_none()) {
        py::list only_time;
        only_time.append(time_col);
        exclude_cols = only_time;
    }
    py::object out = native_road(c, df, time_col, exclude_cols, iqr_k);
    if (out) return out;
    return library_road(c, df, time_col, exclude_cols, iqr_k);
}

}  // namespace talvo

TALVO_IMPL(drop_outliers_by_min,
           "Drop readings outside the interquartile fences of their clock minute.\n\n"
           "For every minute and every column not in exclude_cols (default: [time_col]), Q1\n"
           "and Q3 of the minute's values give the fences Q1 - iqr_k*IQR and Q3 + iqr_k*IQR;\n"
           "a row is kept when each examined value lies within them (inclusive, a missing\n"
           "value never does). Rows without a time are dropped. Returns a new table sorted by\n"
           "time with the parsed time column first and a fresh 0..n-1 index.")
