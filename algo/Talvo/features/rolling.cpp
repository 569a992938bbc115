// Rolling-window features: maximum, mean and (time-domain columns) standard
// deviation of windows of `window` rows whose starts move by `step` rows.
//
// Float64 columns go through the native kernel; every other input takes the
// per-window pandas road, which also yields the library's own errors for the
// odd arguments (no rows, a zero or negative step, a missing column).
#include "rolling.h"

#include <algorithm>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../../common/pyhelpers.h"
#include "rolling_kernel.h"

namespace talvo {

namespace {

struct Names {
    py::list max_name, mean_name, std_name;
};

Names feature_names(py::handle indicator_name, py::handle time) {
    Names n;
    for (py::handle c : indicator_name) n.max_name.append(py::str(c) + py::str("_max"));
    for (py::handle c : indicator_name) n.mean_name.append(py::str(c) + py::str("_mean"));
    for (py::handle c : time) n.std_name.append(py::str(c) + py::str("_std"));
    return n;
}

void add_pairs(py::dict& feat, py::handle names, py::handle values) {
    py::object zipped = py::module_::import("builtins").attr("zip")(names, values);
    for (py::handle pair : zipped) feat[pair[py::int_(0)]] = pair[py::int_(1)];
}

// The per-window loop of the library: slice by position, reduce, collect.
py::object library_road(const algo::Call& c, const py::object& df, const py::object& time,
                        const py::object& indicator_name, const Names& names, py::object window,
                        const py::object& step) {
    py::object N = py::int_(algo::py_len(df));
    if (algo::py_lt(N, window)) window = N;
    py::object starts =
        py::module_::import("builtins").attr("range")(py::int_(0), N - window + py::int_(1), step);
    py::list results, index_list;
    py::object iloc = df.attr("iloc"), index = df.attr("index");
    const bool has_time = algo::truthy(time);
    for (py::handle s : starts) {
        py::object e = py::reinterpret_borrow<py::object>(s) + window;
        py::object sub = algo::getitem(iloc, py::slice(s, e, py::none()));
        py::dict feat;
        add_pairs(feat, names.max_name, algo::getitem(sub, indicator_name).attr("max")());
        add_pairs(feat, names.mean_name, algo::getitem(sub, indicator_name).attr("mean")());
        if (has_time) add_pairs(feat, names.std_name, algo::getitem(sub, time).attr("std")());
        results.append(feat);
        index_list.append(algo::getitem(index, e - py::int_(1)));
    }
    return c("pd")
        .attr("DataFrame")(results, "index"_a = index_list)
        .attr("dropna")("axis"_a = "index", "how"_a = "any");
}

// A Python int that is not a bool, as a C++ value; false otherwise.
bool plain_int(py::handle o, long long& v) {
    if (!PyLong_CheckExact(o.ptr())) return false;
    int overflow = 0;
    v = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
    if (overflow || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// A column's float64 values: the array (kept alive while the kernel reads
// it), its first element and its stride in elements.
struct Column {
    py::array values;
    const double* data;
    std::ptrdiff_t stride;
};

// The float64 buffers of the named columns, or an empty vector when the
// table or a column is not one the kernel handles.
std::vector<Column> float_columns(const algo::Call& c, const py::object& df,
                                  const py::object& indicator_name) {
    std::vector<Column> cols;
    py::object pd = c("pd");
    if (!py::isinstance(df, pd.attr("DataFrame"))) return {};
    py::object columns = df.attr("columns");
    if (!algo::truthy(columns.attr("is_unique"))) return {};
    const Py_ssize_t n_rows = algo::py_len(df);
    for (py::handle name : indicator_name) {
        if (!algo::py_contains(columns, name)) return {};  // the library raises KeyError
        py::object col = algo::getitem(df, name);
        if (!py::isinstance(col, pd.attr("Series"))) return {};
        py::object dtype = col.attr("dtype");
        if (!py::isinstance<py::dtype>(dtype) ||
            !algo::is_native_float64(py::reinterpret_borrow<py::dtype>(dtype)))
            return {};
        py::object values = col.attr("to_numpy")();
        if (!py::isinstance<py::array>(values)) return {};
        py::array a = py::reinterpret_borrow<py::array>(values);
        if (a.ndim() != 1 || a.shape(0) != n_rows || !algo::is_native_float64(a.dtype()))
            return {};
        if (a.strides(0) % static_cast<py::ssize_t>(sizeof(double)) != 0) {
            a = py::array_t<double, py::array::c_style>::ensure(a);  // unaligned: copy
            if (!a) throw py::error_already_set();
        }
        cols.push_back(
            {a, static_cast<const double*>(a.data()),
             static_cast<std::ptrdiff_t>(a.strides(0) / static_cast<py::ssize_t>(sizeof(double)))});
    }
    return cols;
}

// Index of the window stamps: the labels of each window's last row, unnamed
// and without a frequency, as a list of those labels would give.
py::object stamp_index(const algo::Call& c, const py::object& index, const rolling::Layout& L) {
    const std::size_t nw = L.n_windows();
    py::array_t<long long> pos(static_cast<py::ssize_t>(nw));
    for (std::size_t w = 0; w < nw; ++w)
        pos.mutable_data()[w] = static_cast<long long>(w * L.step + L.window - 1);
    py::object pd = c("pd");
    if (index.get_type().is(pd.attr("DatetimeIndex")))
        return pd.attr("DatetimeIndex")(index.attr("take")(pos), "freq"_a = py::none())
            .attr("rename")(py::none());
    py::list labels;
    for (std::size_t w = 0; w < nw; ++w)
        labels.append(algo::getitem(index, py::int_(pos.data()[w])));
    return pd.attr("Index")(labels);
}

}  // namespace

py::object feature_extraction_rolling(const algo::Call& c) {
    const py::object &df = c[0], &record = c[1], &window = c[2], &step = c[3];
    py::object time = record.attr("time");
    py::object frequency = record.attr("frequency");
    py::object fail_mode = record.attr("fail_mode");
    py::object indicator_name = time + frequency + fail_mode;
    const Names names = feature_names(indicator_name, time);

    // The native road: plain positive ints, list fields, unique feature
    // names, a non-empty table of float64 columns.
    long long w = 0, s = 0;
    bool native = plain_int(window, w) && plain_int(step, s) && w >= 1 && s >= 1 &&
                  PyList_Check(time.ptr()) && PyList_Check(frequency.ptr()) &&
                  PyList_Check(fail_mode.ptr()) && algo::py_len(indicator_name) > 0;
    if (native) {
        std::set<std::string> seen;
        for (py::handle n : names.max_name) native = native && seen.insert(algo::to_str(n)).second;
    }
    std::vector<Column> cols;
    Py_ssize_t n_rows = 0;
    if (native) {
        n_rows = algo::py_len(df);
        try {
            cols = float_columns(c, df, indicator_name);
        } catch (py::error_already_set& e) {
            // An odd label (unhashable, say): the library road reports it.
            if (!e.matches(PyExc_Exception)) throw;
            cols.clear();
        }
        native = n_rows >= 1 && !cols.empty();
    }
    if (!native)
        return py::make_tuple(library_road(c, df, time, indicator_name, names, window, step),
                              record);

    rolling::Layout L{static_cast<std::size_t>(n_rows),
                      static_cast<std::size_t>(std::min<long long>(w, n_rows)),
                      static_cast<std::size_t>(s)};
    const std::size_t n_cols = cols.size();
    const std::size_t n_std = static_cast<std::size_t>(algo::py_len(time));
    const std::size_t nw = L.n_windows();
    std::vector<const double*> ptrs;
    std::vector<std::ptrdiff_t> strides;
    for (const Column& col : cols) {
        ptrs.push_back(col.data);
        strides.push_back(col.stride);
    }
    py::array_t<double, py::array::f_style> out(
        {static_cast<py::ssize_t>(nw), static_cast<py::ssize_t>(2 * n_cols + n_std)});
    {
        py::gil_scoped_release nogil;
        rolling::window_features(ptrs.data(), strides.data(), n_cols, n_std, L, out.mutable_data(),
                                 std::max(1u, std::thread::hardware_concurrency()));
    }

    py::list columns;
    for (py::handle n : names.max_name) columns.append(n);
    for (py::handle n : names.mean_name) columns.append(n);
    for (py::handle n : names.std_name) columns.append(n);
    py::object table = c("pd")
                           .attr("DataFrame")(out, "index"_a = stamp_index(c, df.attr("index"), L),
                                              "columns"_a = columns)
                           .attr("dropna")("axis"_a = "index", "how"_a = "any");
    return py::make_tuple(table, record);
}

}  // namespace talvo

TALVO_IMPL(feature_extraction_rolling,
           "Feature table of positional windows of `window` rows, started every `step` rows.\n\n"
           "Per window and column of indicator_col_name.time + .frequency + .fail_mode: the\n"
           "maximum ('_max') and mean ('_mean'), then the sample standard deviation ('_std')\n"
           "of the time-domain columns; each row is stamped with the time of the window's\n"
           "last row, and rows holding a missing value are dropped. A table shorter than\n"
           "`window` is one window. Returns (table, indicator_col_name).")
