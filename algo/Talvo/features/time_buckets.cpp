// feature_extraction: per time bucket the maximum and mean of every indicator
// column and the standard deviation of the time-domain ones.
#include "../../common/pyhelpers.h"
#include "features.h"

namespace talvo {

namespace {

// [name + suffix for name in names], by the interpreter's `+`.
py::list suffixed(const py::object& names, const char* suffix) {
    py::list out;
    py::str s(suffix);
    for (py::handle name : names) out.append(py::reinterpret_borrow<py::object>(name) + s);
    return out;
}

}  // namespace

py::object feature_extraction(const algo::Call& c) {
    const py::object &df = c[0], &indicator_col_name = c[1], &time_scale = c[2];
    py::object time = indicator_col_name.attr("time");
    py::object frequency = indicator_col_name.attr("frequency");
    py::object fail_mode = indicator_col_name.attr("fail_mode");
    py::object indicator_name = time + frequency + fail_mode;

    py::list max_name = suffixed(indicator_name, "_max");
    py::list mean_name = suffixed(indicator_name, "_mean");
    py::list std_name = suffixed(time, "_std");

    py::object df_max = c("safe_resample_max")(df, indicator_name, time_scale);
    df_max.attr("columns") = max_name;
    py::object df_mean = c("safe_resample_mean")(df, indicator_name, time_scale);
    df_mean.attr("columns") = mean_name;
    py::object df_std = algo::getitem(df, time).attr("resample")(time_scale).attr("std")();
    df_std.attr("columns") = std_name;

    py::object df_features =
        c("pd").attr("concat")(py::make_tuple(df_max, df_mean, df_std), "axis"_a = 1);
    // Gaps, single-reading buckets (no standard deviation) and buckets where
    // a column has no reading at all leave no row.
    df_features = df_features.attr("dropna")("axis"_a = "index", "how"_a = "any");
    return py::make_tuple(df_features, indicator_col_name);
}

}  // namespace talvo

TALVO_IMPL(feature_extraction,
           "Time-bucketed feature table of prepared readings.\n\n"
           "For the columns of indicator_col_name (time + frequency + fail_mode) the columns\n"
           "'<name>_max' and '<name>_mean' per bucket of time_scale ('min', 'h', ...), then\n"
           "'<name>_std' (sample standard deviation) for the time family; rows holding any\n"
           "missing value are dropped. Returns (features, indicator_col_name).")
