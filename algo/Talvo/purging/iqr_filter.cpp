// IQR_outlier_percent_clean: a per-column hybrid outlier filter.
//
// Each numeric column flags its values outside the IQR fences, unless that
// flags more than max_ratio of the column; then it flags its two quantile
// tails of max_ratio / 2 each instead. A row flagged by any column goes.
// Every column is judged on the whole input table, so column order does not
// matter.
#include "../../common/pyhelpers.h"
#include "purging.h"

namespace talvo {

py::object IQR_outlier_percent_clean(const algo::Call &c) {
    const py::object &df = c[0], &max_ratio = c[1], &datetime_name = c[2], &iqr_k = c[3];
    py::object pd = c("pd"), np = c("np");

    py::object drop_mask = pd.attr("Series")(false, "index"_a = df.attr("index"));

    py::list number;
    number.append(np.attr("number"));
    py::list numeric_cols;
    py::object columns = df.attr("select_dtypes")("include"_a = number).attr("columns");
    for (py::handle col : columns)
        if (algo::py_ne(col, datetime_name)) numeric_cols.append(col);

    py::list quartiles;
    quartiles.append(py::float_(0.25));
    quartiles.append(py::float_(0.75));

    for (py::handle col : numeric_cols) {
        py::object series = algo::getitem(df, col).attr("dropna")();
        auto q = purging::unpack(series.attr("quantile")(quartiles), 2);
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
