// Hourly completeness filter and low-resolution column screening.
#include "filters.h"

#include "../../common/pyhelpers.h"

namespace talvo {

py::object time_filter(const algo::Call& c) {
    // datetime_name (c[1]) is accepted for the callers' sake: the hours
    // always come from the row index.
    const py::object &df = c[0], &sec_count = c[2];
    py::object counts = df.attr("resample")("1h").attr("size")();
    py::object drop_hours = algo::getitem(counts, algo::lt(counts, sec_count)).attr("index");
    py::object hours = df.attr("index").attr("floor")("h");
    py::object keep = ~hours.attr("isin")(drop_hours);
    return algo::getitem(df, keep);
}

namespace {

// round(quantile 0.75 of the column's numeric entries, 4), or None when any
// step raises an ordinary exception.
py::object upper_quartile(const algo::Call& c, const py::object& df, py::handle col) {
    try {
        py::object values =
            c("pd").attr("to_numeric")(algo::getitem(df, col), "errors"_a = "coerce");
        py::object q3 = values.attr("dropna")().attr("quantile")(0.75);
        return algo::py_round(q3, 4);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return py::none();
    }
}

}  // namespace

py::object low_resolution(const algo::Call& c) {
    const py::object& df = c[0];
    std::vector<std::pair<py::object, py::object>> records;  // (column, Q3)
    for (py::handle col : df.attr("columns"))
        records.emplace_back(py::reinterpret_borrow<py::object>(col), upper_quartile(c, df, col));
    // The record table of no columns has no "Q3" column to look up.
    if (records.empty()) algo::raise(PyExc_KeyError, "Q3");

    // A missing quartile (None or NaN) is never below a threshold.
    py::object threshold = py::float_(0.01);
    auto below = [&](const py::object& q3) { return !q3.is_none() && algo::py_lt(q3, threshold); };
    bool all_below = true;
    for (const auto& r : records) all_below = all_below && below(r.second);
    if (all_below) {
        py::object largest = records.front().second;
        for (const auto& r : records)
            if (algo::py_gt(r.second, largest)) largest = r.second;
        threshold = largest * py::float_(0.8);
    }

    py::list low;
    for (const auto& r : records)
        if (below(r.second)) low.append(r.first);
    return low;
}

}  // namespace talvo

TALVO_IMPL(time_filter,
           "Drop the readings of every clock hour holding fewer than sec_count rows.\n\n"
           "Hours come from the row index (a DatetimeIndex); datetime_name is not used.")
TALVO_IMPL(low_resolution,
           "Names of the columns rated 低解析 (low resolution).\n\n"
           "A column is low-resolution when its upper quartile, rounded to 4 decimals, is below\n"
           "0.01, or below 0.8 times the largest upper quartile when every column is below 0.01.")
