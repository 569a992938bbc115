// Bad health-score zones and the grouping of alert stamps into ranges.
#include "../../common/pyhelpers.h"
#include "analysis.h"

namespace talvo {

py::object detect_bad_Talvo_zone(const algo::Call& c) {
    const py::object &threshold = c[1], &envelope_window = c[2], &envelope_method = c[3],
                     &envelope_param = c[4], &density_window = c[5], &density_threshold = c[6];
    // Every working column goes onto a copy; the caller's table stays as it is.
    py::object df = c[0].attr("copy")();

    py::object baseline;
    if (algo::eq_text(envelope_method, "quantile")) {
        baseline = algo::getitem(df, "Score")
                       .attr("rolling")("window"_a = envelope_window, "center"_a = false)
                       .attr("quantile")(envelope_param);
    } else if (algo::eq_text(envelope_method, "min")) {
        baseline = algo::getitem(df, "Score")
                       .attr("rolling")("window"_a = envelope_window, "center"_a = false)
                       .attr("min")();
    } else {
        algo::raise(PyExc_ValueError, "envelope_method 必須是 'quantile' 或 'min'");
    }

    df[py::str("envelope")] = baseline;
    df[py::str("is_low")] = algo::lt(algo::getitem(df, "envelope"), threshold);
    df[py::str("rolling_density")] =
        algo::getitem(df, "is_low")
            .attr("rolling")("window"_a = density_window, "center"_a = true)
            .attr("mean")();
    df[py::str("alert")] = algo::ge(algo::getitem(df, "rolling_density"), density_threshold);

    py::object alert_rows = algo::getitem(df.attr("loc"), algo::getitem(df, "alert"));
    py::list alert_times(alert_rows.attr("index"));
    // The merge gap of the ranges is the envelope window.
    return c("group_alert_times")(alert_times, "window"_a = envelope_window);
}

py::object group_alert_times(const algo::Call& c) {
    const py::object &alert_times = c[0], &window = c[1];
    if (algo::py_len(alert_times) == 0) return py::list();

    py::object sorted = py::module_::import("builtins").attr("sorted");
    py::list times = sorted(c("pd").attr("to_datetime")(alert_times));
    py::list grouped;
    py::object start = times[0], prev = times[0];
    const Py_ssize_t n = static_cast<Py_ssize_t>(times.size());
    if (n > 1) {
        const py::object gap = c("pd").attr("Timedelta")(window);
        for (Py_ssize_t i = 1; i < n; ++i) {
            py::object curr = times[static_cast<size_t>(i)];
            if (algo::py_gt(curr - prev, gap)) {
                grouped.append(py::make_tuple(start, prev));
                start = curr;
            }
            prev = curr;
        }
    }
    grouped.append(py::make_tuple(start, prev));
    return grouped;
}

}  // namespace talvo

TALVO_IMPL(detect_bad_Talvo_zone,
           "Time ranges in which the health score stays persistently low.\n\n"
           "The trailing rolling envelope of 'Score' over envelope_window ('min', or the\n"
           "envelope_param quantile for 'quantile') counts as low strictly below threshold;\n"
           "rows whose centred density of low rows over density_window reaches\n"
           "density_threshold are alert rows, grouped into (start, end) ranges with\n"
           "envelope_window as the largest gap. The input table is not modified.")
TALVO_IMPL(group_alert_times,
           "Merge time stamps into (start, end) ranges.\n\n"
           "The stamps are converted with pd.to_datetime and sorted; consecutive stamps at\n"
           "most pd.Timedelta(window) apart share a range. Returns a list of tuples of\n"
           "Timestamps in time order (empty for no stamps).")
