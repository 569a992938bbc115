// Rolling-window features: maximum, mean and (time-domain columns) standard
// deviation of windows of `window` rows whose starts move by `step` rows.
//
// Numeric columns (float64, float32, signed and unsigned integers, and
// their nullable pandas dtypes Float64, Int8, UInt64, ...) go through the
// native kernel, with the result types of the per-window loop; every other
// input takes the per-window pandas road, which also yields the library's
// own errors for the odd arguments (no rows, a zero or negative step, a
// missing column) and its results for text, Boolean or other extension
// columns, and for a nullable column that has no result in some window
// (pandas' NA makes the loop's column an object column).
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

// A column's values and mask (kept alive while the kernel reads them) and
// the kernel's view of them.
struct Column {
    py::array values, mask;
    rolling::Column view;
};

// The buffers of the named columns, or an empty vector when the table or a
// column is not one the kernel handles.
std::vector<Column> reading_columns(const algo::Call& c, const py::object& df,
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
        algo::NumKind kind;
        if (!py::isinstance<py::dtype>(dtype)) {
            // A masked column: its values and mask, contiguous.
            py::array values, mask;
            if (!algo::masked_numeric(pd, col.attr("array"), kind, values, mask) ||
                values.shape(0) != n_rows)
                return {};
            rolling::Column view{values.data(), 1, kind};
            view.mask = static_cast<const std::uint8_t*>(mask.data());
            cols.push_back({values, mask, view});
            continue;
        }
        if (!algo::numeric_kind(py::reinterpret_borrow<py::dtype>(dtype), kind)) return {};
        py::object values = col.attr("to_numpy")();
        if (!py::isinstance<py::array>(values)) return {};
        py::array a = py::reinterpret_borrow<py::array>(values);
        if (a.ndim() != 1 || a.shape(0) != n_rows) return {};
        const py::ssize_t item = a.itemsize();
        if (!algo::native_byte_order(a.dtype()) || a.strides(0) % item != 0 ||
            !(a.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_))
            a = algo::native_contiguous(a, kind);
        cols.push_back(
            {a, py::array(), {a.data(), static_cast<std::ptrdiff_t>(a.strides(0) / item), kind}});
    }
    return cols;
}

// Column positions of the blocks of several columns laid out row-contiguous
// in a window's column selection as the per-window loop makes it (pandas
// reduces those row by row).
std::vector<std::vector<std::size_t>> row_contiguous_blocks(const py::object& selection) {
    std::vector<std::vector<std::size_t>> out;
    for (py::handle blk : selection.attr("_mgr").attr("blocks")) {
        py::object values = blk.attr("values");
        if (!py::isinstance<py::array>(values)) continue;
        py::array v = py::reinterpret_borrow<py::array>(values);
        if (v.ndim() != 2 || v.shape(0) < 2 || std::abs(v.strides(0)) >= std::abs(v.strides(1)))
            continue;
        out.emplace_back();
        for (py::handle loc : blk.attr("mgr_locs").attr("as_array"))
            out.back().push_back(py::cast<std::size_t>(loc));
    }
    return out;
}

// Marks the columns pandas reduces row by row, from the first window's
// selections of the indicator and the time columns; false when the table's
// blocks cannot be read.
bool mark_row_contiguous(const py::object& df, const py::object& indicator_name,
                         const py::object& time, std::size_t window, std::vector<Column>& cols) {
    py::object rows = df.attr("iloc")[py::slice(0, static_cast<Py_ssize_t>(window), 1)];
    int next = 0;
    for (const auto& members : row_contiguous_blocks(algo::getitem(rows, indicator_name))) {
        for (std::size_t j : members) {
            if (j >= cols.size()) return false;
            cols[j].view.mean_block = next;
        }
        ++next;
    }
    if (!algo::truthy(time)) return true;
    for (const auto& members : row_contiguous_blocks(algo::getitem(rows, time)))
        for (std::size_t j : members) {
            if (j >= cols.size()) return false;
            const algo::NumKind k = cols[j].view.kind;
            cols[j].view.std_sequential = k != algo::NumKind::f32 && k != algo::NumKind::f64;
        }
    return true;
}

// Whether pandas takes its standard deviations from bottleneck now.
bool pandas_uses_bottleneck() {
    return algo::truthy(py::module_::import("pandas.core.nanops").attr("_USE_BOTTLENECK"));
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
    // names, a non-empty table of numeric columns.
    // (NumPy's signed integers count the windows as ints do.)
    long long w = 0, s = 0;
    py::object signed_int = c("np").attr("signedinteger");
    bool native = algo::plain_int(window, signed_int, w) && algo::plain_int(step, signed_int, s) &&
                  w >= 1 && s >= 1 && PyList_Check(time.ptr()) && PyList_Check(frequency.ptr()) &&
                  PyList_Check(fail_mode.ptr()) && algo::py_len(indicator_name) > 0;
    if (native) {
        std::set<std::string> seen;
        for (py::handle n : names.max_name) native = native && seen.insert(algo::to_str(n)).second;
    }
    std::vector<Column> cols;
    Py_ssize_t n_rows = 0;
    bool int_max = false;
    rolling::Options options;
    if (native) {
        n_rows = algo::py_len(df);
        try {
            cols = reading_columns(c, df, indicator_name);
            native = n_rows >= 1 && !cols.empty();
            const std::size_t win = static_cast<std::size_t>(std::min<long long>(w, n_rows));
            bool all_int = true;
            for (const Column& col : cols)
                all_int = all_int && col.view.kind != algo::NumKind::f32 &&
                          col.view.kind != algo::NumKind::f64;
            if (native) native = mark_row_contiguous(df, indicator_name, time, win, cols);
            // The loop's maxima are integers when the common type of the
            // columns' NumPy types is (int64 and uint64 columns together
            // make it float64); a masked column's maximum has its values' type.
            if (native && all_int) {
                py::list dtypes;
                for (const Column& col : cols) dtypes.append(col.values.dtype());
                const char kind = c("np").attr("result_type")(*dtypes).cast<py::dtype>().kind();
                int_max = kind == 'i' || kind == 'u';
            }
            if (native) {
                options.bottleneck = pandas_uses_bottleneck();
                options.buffer =
                    std::max<std::size_t>(1, py::cast<std::size_t>(c("np").attr("getbufsize")()));
            }
        } catch (py::error_already_set& e) {
            // An odd label (unhashable, say): the library road reports it.
            if (!e.matches(PyExc_Exception)) throw;
            native = false;
        }
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
    std::vector<rolling::Column> views;
    for (const Column& col : cols) views.push_back(col.view);
    options.threads = std::max(1u, std::thread::hardware_concurrency());
    py::array_t<double, py::array::f_style> out(
        {static_cast<py::ssize_t>(nw), static_cast<py::ssize_t>(2 * n_cols + n_std)});
    py::array_t<std::uint64_t, py::array::f_style> maxima;
    if (int_max)
        maxima = py::array_t<std::uint64_t, py::array::f_style>(
            {static_cast<py::ssize_t>(nw), static_cast<py::ssize_t>(n_cols)});
    bool complete;
    {
        py::gil_scoped_release nogil;
        complete =
            rolling::window_features(views.data(), n_cols, n_std, L, options, out.mutable_data(),
                                     int_max ? maxima.mutable_data() : nullptr);
    }
    // A masked column without a result in some window: the loop's table then
    // holds object columns, which only the loop gives.
    if (!complete)
        return py::make_tuple(library_road(c, df, time, indicator_name, names, window, step),
                              record);

    py::object pd = c("pd");
    py::object index = stamp_index(c, df.attr("index"), L);
    py::object table;
    if (!int_max) {
        py::list columns;
        for (py::handle n : names.max_name) columns.append(n);
        for (py::handle n : names.mean_name) columns.append(n);
        for (py::handle n : names.std_name) columns.append(n);
        table = pd.attr("DataFrame")(out, "index"_a = index, "columns"_a = columns);
    } else {
        // Integer maxima stay integers: int64, or uint64 for a uint64 column
        // holding a maximum beyond int64, as the loop's values infer.
        py::dict data;
        py::object all = py::slice(py::none(), py::none(), py::none());
        for (std::size_t j = 0; j < n_cols; ++j) {
            const std::uint64_t* m = maxima.data() + j * nw;
            const bool wide = cols[j].view.kind == algo::NumKind::u64 &&
                              std::any_of(m, m + nw, [](std::uint64_t v) { return v >> 63; });
            data[names.max_name[j]] =
                maxima[py::make_tuple(all, py::int_(j))].attr("view")(wide ? "u8" : "i8");
        }
        for (std::size_t j = 0; j < n_cols; ++j)
            data[names.mean_name[j]] = out[py::make_tuple(all, py::int_(n_cols + j))];
        for (std::size_t j = 0; j < n_std; ++j)
            data[names.std_name[j]] = out[py::make_tuple(all, py::int_(2 * n_cols + j))];
        table = pd.attr("DataFrame")(data, "index"_a = index);
    }
    table = table.attr("dropna")("axis"_a = "index", "how"_a = "any");
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
