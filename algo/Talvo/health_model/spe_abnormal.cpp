// SPE abnormal times and the features with the largest squared residuals.
#include <pybind11/numpy.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../../common/pyhelpers.h"
#include "analysis.h"
#include "top_contributions.h"

namespace talvo {

namespace {

py::str rank_name(long rank, const char* what) {
    return py::str("Top" + std::to_string(rank) + "_" + what);
}

// top_k as a plain integer (int or NumPy integer, not bool); false when it is
// anything else or does not fit, so the caller takes the library road.
bool plain_int(const algo::Call& c, py::handle x, long long& out) {
    return algo::plain_int(x, c("np").attr("integer"), out);
}

// How many entries `series.head(top_k)` keeps of n.
std::size_t head_count(long long top_k, std::size_t n) {
    const long long len = static_cast<long long>(n);
    if (top_k >= 0) return static_cast<std::size_t>(std::min(top_k, len));
    return static_cast<std::size_t>(std::max(len + top_k, 0LL));
}

// The loop over abnormal rows as the library expresses it: one label lookup,
// squaring, descending sort (NaN last) and head(top_k) per row.
py::list library_records(py::handle abnormal_times, py::handle residual_df, py::handle top_k) {
    py::list records;
    py::object loc = residual_df.attr("loc");
    for (py::handle ts : abnormal_times) {
        py::object residual_sample = algo::getitem(loc, ts);
        py::object contrib = py::reinterpret_steal<py::object>(
            PyNumber_Power(residual_sample.ptr(), py::int_(2).ptr(), Py_None));
        if (!contrib) throw py::error_already_set();
        py::object top_vars =
            contrib.attr("sort_values")("ascending"_a = false).attr("head")(top_k);
        py::dict record;
        record["Time"] = ts;
        long rank = 1;
        for (py::handle item : top_vars.attr("items")()) {
            py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
            record[rank_name(rank, "Var")] = pair[0];
            record[rank_name(rank, "Contrib")] = pair[1];
            ++rank;
        }
        records.append(record);
    }
    return records;
}

// Index dtypes whose label lookup is a plain exact match, the same in
// Index.get_indexer and in .loc: NumPy datetime, timedelta, integer, float and
// object indexes, and zone-aware time indexes.
bool simple_index(const algo::Call& c, py::handle index) {
    if (py::cast<long>(index.attr("nlevels")) != 1) return false;
    py::object dtype = index.attr("dtype");
    const std::string kind = py::cast<std::string>(dtype.attr("kind"));
    if (!py::isinstance(dtype, c("np").attr("dtype"))) return kind == "M";
    return kind == "M" || kind == "m" || kind == "i" || kind == "u" || kind == "f" || kind == "O";
}

// The native road: float64 or float32 residual table with a unique flat index holding
// every abnormal label, and an integer top_k. Returns false (nothing done)
// when the input is outside that, so the library road runs instead.
bool native_records(const algo::Call& c, py::handle abnormal_times, py::handle residual_df,
                    py::handle top_k, py::list& records) {
    py::object pd = c("pd"), np = c("np");
    if (!py::isinstance(residual_df, pd.attr("DataFrame"))) return false;
    long long k = 0;
    if (!plain_int(c, top_k, k)) return false;

    py::object index = residual_df.attr("index");
    if (!simple_index(c, index) || !simple_index(c, abnormal_times)) return false;
    if (!algo::py_eq(index.attr("dtype"), abnormal_times.attr("dtype"))) return false;
    if (!algo::truthy(index.attr("is_unique"))) return false;

    py::list labels;
    const bool object_labels = algo::eq_text(abnormal_times.attr("dtype").attr("kind"), "O");
    for (py::handle ts : abnormal_times) {
        // .loc reads a tuple key as (row, column); leave that to the library.
        if (object_labels && PyTuple_Check(ts.ptr())) return false;
        labels.append(ts);
    }

    // A row of float32 columns only is float32 (squares in float32); a row
    // mixing float32 and float64 columns is float64.
    for (py::handle dt : residual_df.attr("dtypes")) {
        algo::NumKind kind;
        if (!py::isinstance<py::dtype>(dt) ||
            !algo::numeric_kind(py::reinterpret_borrow<py::dtype>(dt), kind) ||
            (kind != algo::NumKind::f64 && kind != algo::NumKind::f32))
            return false;
    }

    py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> positions =
        index.attr("get_indexer")(abnormal_times);
    const std::size_t n_rows = static_cast<std::size_t>(positions.size());
    if (n_rows != static_cast<std::size_t>(py::len(labels))) return false;
    for (std::size_t i = 0; i < n_rows; ++i)
        if (positions.data()[i] < 0) return false;  // the library road raises its KeyError

    py::list columns(residual_df.attr("columns"));
    const std::size_t n_cols = static_cast<std::size_t>(py::len(columns));
    const std::size_t n_total = static_cast<std::size_t>(algo::py_len(index));
    const std::size_t keep = head_count(k, n_cols);

    std::vector<std::int64_t> out_cols(n_rows * keep);
    std::vector<double> out_vals(n_rows * keep);
    if (keep > 0) {
        py::array values = residual_df.attr("to_numpy")();
        algo::NumKind kind;
        if (!algo::numeric_kind(values.dtype(), kind) ||
            (kind != algo::NumKind::f64 && kind != algo::NumKind::f32) || values.ndim() != 2 ||
            static_cast<std::size_t>(values.shape(0)) != n_total ||
            static_cast<std::size_t>(values.shape(1)) != n_cols)
            return false;
        const auto item = static_cast<py::ssize_t>(values.itemsize());
        if (!algo::native_byte_order(values.dtype()) || values.strides(0) % item != 0 ||
            values.strides(1) % item != 0)
            values = algo::native_contiguous(values, kind);
        const std::ptrdiff_t row_stride = values.strides(0) / item;
        const std::ptrdiff_t col_stride = values.strides(1) / item;
        const std::int64_t* rows = positions.data();
        bool ok;
        {
            py::gil_scoped_release nogil;
            auto rank = [&](const auto* data) {
                return rank_squared_rows(data, n_total, n_cols, row_stride, col_stride, rows,
                                         n_rows, keep, out_cols.data(), out_vals.data());
            };
            ok = kind == algo::NumKind::f32 ? rank(static_cast<const float*>(values.data()))
                                            : rank(static_cast<const double*>(values.data()));
        }
        if (!ok) return false;
    }

    std::vector<py::str> var_names, contrib_names;
    for (std::size_t r = 1; r <= keep; ++r) {
        var_names.push_back(rank_name(static_cast<long>(r), "Var"));
        contrib_names.push_back(rank_name(static_cast<long>(r), "Contrib"));
    }
    const py::str time_key("Time");
    for (std::size_t i = 0; i < n_rows; ++i) {
        py::dict record;
        record[time_key] = labels[i];
        for (std::size_t r = 0; r < keep; ++r) {
            record[var_names[r]] = columns[static_cast<std::size_t>(out_cols[i * keep + r])];
            record[contrib_names[r]] = py::float_(out_vals[i * keep + r]);
        }
        records.append(record);
    }
    return true;
}

// No sample above the limit: an empty table indexed by "Time" with the rank
// columns a non-empty result would have (object names, float contributions).
py::object empty_contributions(const algo::Call& c, py::handle abnormal_times,
                               py::handle residual_df, py::handle top_k) {
    py::object pd = c("pd");
    const std::size_t n_cols =
        static_cast<std::size_t>(py::cast<long long>(residual_df.attr("shape")[py::int_(1)]));
    long long k = 0;
    std::size_t keep;
    if (plain_int(c, top_k, k)) {
        keep = head_count(k, n_cols);
    } else {
        // Whatever head() makes of it (or raises).
        py::object probe = pd.attr("Series")(c("np").attr("arange")(n_cols));
        keep = static_cast<std::size_t>(algo::py_len(probe.attr("head")(top_k)));
    }
    py::list names;
    py::dict dtypes;
    for (std::size_t r = 1; r <= keep; ++r) {
        py::str var = rank_name(static_cast<long>(r), "Var");
        py::str contrib = rank_name(static_cast<long>(r), "Contrib");
        names.append(var);
        names.append(contrib);
        dtypes[var] = py::str("object");
        dtypes[contrib] = py::str("float64");
    }
    py::object index = abnormal_times.attr("rename")("Time");
    py::object table = pd.attr("DataFrame")("index"_a = index, "columns"_a = names);
    return table.attr("astype")(dtypes);
}

}  // namespace

py::object find_SPE_abnormal_times(const algo::Call& c) {
    const py::object &spe_df = c[0], &spe_ucl = c[1], &residual_df = c[2], &top_k = c[3];
    py::object abnormal_df = algo::getitem(spe_df, algo::gt(algo::getitem(spe_df, "SPE"), spe_ucl));
    py::object abnormal_times = abnormal_df.attr("index");
    if (algo::py_len(abnormal_times) == 0)
        return py::make_tuple(abnormal_times,
                              empty_contributions(c, abnormal_times, residual_df, top_k));

    py::list records;
    if (!native_records(c, abnormal_times, residual_df, top_k, records))
        records = library_records(abnormal_times, residual_df, top_k);
    py::object contribution_df = c("pd").attr("DataFrame")(records).attr("set_index")("Time");
    return py::make_tuple(abnormal_times, contribution_df);
}

}  // namespace talvo

TALVO_IMPL(find_SPE_abnormal_times,
           "Samples whose SPE is strictly above spe_ucl, with their largest squared residuals.\n\n"
           "Returns (abnormal_times, contribution_df): the index labels of those rows of spe_df,\n"
           "in table order, and a table indexed by 'Time' with, for each rank up to top_k,\n"
           "'Top{rank}_Var' (feature name) and 'Top{rank}_Contrib' (its squared residual),\n"
           "largest first and missing values last. With no sample above the limit both are\n"
           "empty, the table keeping its 'Time' index and rank columns.")
