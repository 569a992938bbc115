// IQR_outlier_percent_clean: a per-column hybrid outlier filter.
//
// Each numeric column flags its values outside the IQR fences, unless that
// flags more than max_ratio of the column; then it flags its two quantile
// tails of max_ratio / 2 each instead. A row flagged by any column goes.
// Every column is judged on the whole input table, so column order does not
// matter.
#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "../../common/pyhelpers.h"
#include "iqr_kernel.h"
#include "purging.h"

namespace talvo {

namespace {

// A plain int or float (bool included) as a double; nothing else.
std::optional<double> real_number(py::handle x) {
    if (PyFloat_Check(x.ptr())) return PyFloat_AsDouble(x.ptr());
    if (PyLong_Check(x.ptr())) {
        const double d = PyLong_AsDouble(x.ptr());
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return std::nullopt;
        }
        return d;
    }
    return std::nullopt;
}

// Joining each column's flags by label equals joining them by position when
// the labels are unique; then the flags go into one Boolean array, float64,
// float32 and integer columns through the native kernel and other NumPy
// numeric columns through the same library expressions. Returns a null
// object when the table or the arguments need the label-joined road.
py::object positional_road(const algo::Call& c, const py::object& df,
                           const py::list& numeric_cols) {
    const std::optional<double> ratio = real_number(c[1]), k = real_number(c[3]);
    if (!ratio || !k || !(*ratio >= 0.0 && *ratio <= 1.0)) return py::object();
    if (!algo::truthy(df.attr("index").attr("is_unique")) ||
        !algo::truthy(df.attr("columns").attr("is_unique")))
        return py::object();

    py::object np = c("np");
    const Py_ssize_t n_rows = algo::py_len(df.attr("index"));
    py::array_t<bool> drop(n_rows);
    std::fill(drop.mutable_data(), drop.mutable_data() + n_rows, false);

    // Under numexpr a float32 column is left to the library expressions.
    const bool float32_native = n_rows <= algo::kNumexprMinElements || !algo::pandas_uses_numexpr();
    std::vector<py::array> native;
    std::vector<purging::Column> kernel_columns;
    std::vector<py::object> library;
    py::object numpy_dtype = np.attr("dtype");
    for (py::handle col : numeric_cols) {
        py::object column = algo::getitem(df, col);
        py::object dtype = column.attr("dtype");
        if (!py::isinstance(dtype, numpy_dtype)) return py::object();  // extension type
        algo::NumKind kind;
        if (algo::numeric_kind(py::reinterpret_borrow<py::dtype>(dtype), kind) &&
            (float32_native || kind != algo::NumKind::f32)) {
            py::array values = algo::native_contiguous(column.attr("to_numpy")(), kind);
            if (values.ndim() != 1 || values.shape(0) != n_rows) return py::object();
            kernel_columns.push_back({values.data(), kind});
            native.push_back(std::move(values));
        } else {
            library.push_back(column);
        }
    }

    static_assert(sizeof(bool) == sizeof(std::uint8_t), "NumPy bool is one byte");
    auto* flags = reinterpret_cast<std::uint8_t*>(drop.mutable_data());
    {
        py::gil_scoped_release nogil;
        purging::iqr_flag_columns(kernel_columns, static_cast<std::size_t>(n_rows), *ratio, *k,
                                  flags);
    }

    py::list quartiles;
    quartiles.append(py::float_(0.25));
    quartiles.append(py::float_(0.75));
    const py::object &max_ratio = c[1], &iqr_k = c[3];
    for (const py::object& column : library) {
        py::object series = column.attr("dropna")();
        auto q = algo::unpack(series.attr("quantile")(quartiles), 2);
        py::object IQR = q[1] - q[0];
        py::object lower = q[0] - iqr_k * IQR, upper = q[1] + iqr_k * IQR;
        // On the whole column: a missing value compares false, as it would
        // after the label join.
        py::object mask = algo::lt(column, lower) | algo::gt(column, upper);
        py::object ratio_obj = mask.attr("sum")() / py::int_(algo::py_len(series));
        if (!algo::py_le(ratio_obj, max_ratio)) {
            py::object half = max_ratio / py::int_(2);
            mask = algo::lt(column, series.attr("quantile")(half)) |
                   algo::gt(column, series.attr("quantile")(py::int_(1) - half));
        }
        np.attr("logical_or")(drop, mask.attr("to_numpy")("dtype"_a = "bool"), "out"_a = drop);
    }
    return algo::getitem(df, np.attr("logical_not")(drop));
}

}  // namespace

py::object IQR_outlier_percent_clean(const algo::Call& c) {
    const py::object &df = c[0], &max_ratio = c[1], &datetime_name = c[2], &iqr_k = c[3];
    py::object pd = c("pd"), np = c("np");
    // The drop mask over the row labels comes first, so a table that is not
    // one fails where the filter first reads it.
    py::object drop_mask = pd.attr("Series")(false, "index"_a = df.attr("index"));

    py::list number;
    number.append(np.attr("number"));
    py::list numeric_cols;
    py::object columns = df.attr("select_dtypes")("include"_a = number).attr("columns");
    for (py::handle col : columns)
        if (algo::py_ne(col, datetime_name)) numeric_cols.append(col);

    if (py::object out = positional_road(c, df, numeric_cols)) return out;

    // Label-joined road: the flags of each column are joined to the rows by
    // label, exactly as the Series expressions do.
    py::list quartiles;
    quartiles.append(py::float_(0.25));
    quartiles.append(py::float_(0.75));

    for (py::handle col : numeric_cols) {
        py::object series = algo::getitem(df, col).attr("dropna")();
        auto q = algo::unpack(series.attr("quantile")(quartiles), 2);
        const py::object &Q1 = q[0], &Q3 = q[1];
        py::object IQR = Q3 - Q1;
        py::object lower_bound = Q1 - iqr_k * IQR;
        py::object upper_bound = Q3 + iqr_k * IQR;
        py::object mask_iqr = algo::lt(series, lower_bound) | algo::gt(series, upper_bound);

        // An all-missing column gives 0 / 0: not a number, so the tail rule
        // runs on the empty series and flags nothing.
        py::object n_outliers = mask_iqr.attr("sum")();
        py::object ratio = n_outliers / py::int_(algo::py_len(series));

        py::object mask;
        if (algo::py_le(ratio, max_ratio)) {
            mask = mask_iqr;
        } else {
            py::object half = max_ratio / py::int_(2);
            py::object lower_cut = series.attr("quantile")(half);
            py::object upper_cut = series.attr("quantile")(py::int_(1) - half);
            mask = algo::lt(series, lower_cut) | algo::gt(series, upper_cut);
        }
        // Joined by row label: rows missing from `series` keep their flag.
        drop_mask = drop_mask | mask;
    }
    return algo::getitem(df, ~drop_mask);
}

}  // namespace talvo

TALVO_IMPL(IQR_outlier_percent_clean,
           "對 DataFrame 每個欄位做 hybrid outlier filter\n"
           "返回: 清理後的 DataFrame（刪掉所有欄位 outlier 的 row）")
