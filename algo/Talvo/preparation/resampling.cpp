// Chunked resampling: per-bucket maximum and mean computed over slices of
// chunk_size rows and merged exactly, bounding the memory of one resample.
#include "../../common/pyhelpers.h"
#include "preparation.h"

namespace talvo {

namespace {

// The row slices [start, start + chunk_size) for start in
// range(0, len(df), chunk_size), through the interpreter's range so its
// errors for a zero or non-integer chunk_size are the ones raised.
std::vector<py::object> chunks(const algo::Call& c, const py::object& df,
                               const py::object& chunk_size) {
    std::vector<py::object> out;
    py::object starts = c("range")(py::int_(0), py::int_(algo::py_len(df)), chunk_size);
    py::object iloc = df.attr("iloc");
    for (py::handle start : starts) {
        py::object stop = py::reinterpret_borrow<py::object>(start) + chunk_size;
        out.push_back(algo::getitem(iloc, py::slice(start, stop, py::none())));
    }
    return out;
}

}  // namespace

py::object safe_resample_max(const algo::Call& c) {
    const py::object &df = c[0], &indicator_name = c[1], &time_scale = c[2], &chunk_size = c[3];
    py::list partial;
    for (const py::object& chunk : chunks(c, df, chunk_size))
        partial.append(
            algo::getitem(chunk, indicator_name).attr("resample")(time_scale).attr("max")());
    // A bucket cut by a chunk boundary gets the maximum of both parts.
    return c("pd").attr("concat")(partial).attr("groupby")("level"_a = 0).attr("max")();
}

py::object safe_resample_mean(const algo::Call& c) {
    const py::object &df = c[0], &time_scale = c[2], &chunk_size = c[3];
    py::object indicator_name = c[1];
    if (!py::isinstance(df.attr("index"), c("pd").attr("DatetimeIndex")))
        algo::raise(PyExc_ValueError, "df.index 必須是 DatetimeIndex");
    if (PyUnicode_Check(indicator_name.ptr())) {
        py::list one;
        one.append(indicator_name);
        indicator_name = one;
    }
    // Running sum of (partial mean x partial count) and running count; a
    // bucket cut by a chunk boundary gets the mean of all its values.
    py::object total_sum = py::none(), total_count = py::none();
    for (const py::object& chunk : chunks(c, df, chunk_size)) {
        py::object m =
            algo::getitem(chunk, indicator_name).attr("resample")(time_scale).attr("mean")();
        py::object n =
            algo::getitem(chunk, indicator_name).attr("resample")(time_scale).attr("count")();
        if (total_sum.is_none()) {
            total_sum = m * n;
            total_count = n;
        } else {
            total_sum = total_sum.attr("add")(m * n, "fill_value"_a = 0);
            total_count = total_count.attr("add")(n, "fill_value"_a = 0);
        }
    }
    return total_sum / total_count;
}

}  // namespace talvo

TALVO_IMPL(safe_resample_max,
           "Per-bucket maximum of the selected columns of a time-indexed table.\n\n"
           "Resamples chunk_size rows at a time and takes the maximum of the partial maxima\n"
           "per bucket, so the result equals df[indicator_name].resample(time_scale).max();\n"
           "a single column name gives a Series.")
TALVO_IMPL(safe_resample_mean,
           "Per-bucket mean of the selected columns of a table indexed by a DatetimeIndex.\n\n"
           "Resamples chunk_size rows at a time and merges the partial means weighted by\n"
           "their counts, so every bucket gets the mean of all its values; always returns a\n"
           "table (a single column name is taken as a one-element list).")
