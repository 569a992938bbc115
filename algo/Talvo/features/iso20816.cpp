// ISO 20816-3 zone boundaries (B/C warning, C/D alert) and lights against them.
#include "../../common/guard.h"
#include "../../common/pyhelpers.h"
#include "../pipelines/prepare.h"
#include "severity.h"

namespace talvo {

namespace {

// float(limit) at the moment a test reads it; texts parse, None raises.
double read_limit(py::handle limit) { return py::cast<double>(algo::py_float(limit)); }

}  // namespace

py::object ISO20816_overall(const algo::Call& c) {
    const py::object &power = c[0], &foundation_type = c[1];
    double warning = 0.0, alert = 0.0;
    py::object error = algo::run_guarded([&] {
        if (!algo::eq_text(foundation_type, "Rigid") && !algo::eq_text(foundation_type, "Flexible"))
            algo::raise(PyExc_ValueError, "foundation_type must be 'Rigid' or 'Flexible'.");
        const py::int_ low(15), high(300);
        bool rigid;
        if (algo::py_ge(power, low) && algo::py_le(power, high)) {
            // Group 2 machines, 15 kW to 300 kW.
            rigid = algo::eq_text(foundation_type, "Rigid");
            warning = rigid ? 2.8 : 4.5;
            alert = rigid ? 4.5 : 7.1;
        } else if (algo::py_gt(power, high)) {
            // Group 1 machines, above 300 kW.
            rigid = algo::eq_text(foundation_type, "Rigid");
            warning = rigid ? 4.5 : 7.1;
            alert = rigid ? 7.1 : 11.0;
        } else {
            algo::raise(PyExc_ValueError, "Power must be greater than or equal to 15 kW.");
        }
    });
    py::dict result;
    if (error) {
        result["warning"] = py::none();
        result["alert"] = py::none();
        result["error_stage"] = py::str("Incomplete information");
        result["error_message"] = py::str(error);
    } else {
        result["warning"] = py::float_(warning);
        result["alert"] = py::float_(alert);
        result["error_stage"] = py::str("None");
        result["error_message"] = py::str("None");
    }
    return result;
}

py::object ISO20816_light(const algo::Call& c) {
    const py::object &df_in = c[0], &warning = c[1], &alert = c[2];
    py::dict result;
    py::object error = algo::run_guarded([&] {
        const py::str time_col("_time");
        py::object df = prep::compress(c, df_in, time_col);
        df = prep::select_numeric(c, df, time_col);
        df = prep::parse_times(c, df, time_col);
        df = prep::drop_missing_times_and_index(df, time_col);
        df = prep::drop_quality_columns(df);

        py::list selected;
        const py::str overall("Overall");
        for (py::handle col : df.attr("columns"))
            if (algo::py_contains(col, overall)) selected.append(col);
        df = algo::getitem(df, selected);

        py::object feature_stats = df.attr("mean")("numeric_only"_a = true).attr("reset_index")();
        py::list names;
        names.append(py::str("feature"));
        names.append(py::str("mean"));
        feature_stats.attr("columns") = names;

        py::list features(algo::getitem(feature_stats, "feature"));
        py::list means(algo::getitem(feature_stats, "mean").attr("tolist")());
        for (size_t i = 0; i < features.size(); ++i) {
            const double m = py::cast<double>(algo::py_float(means[i]));
            const char* light;
            // Each boundary belongs to the milder light; NaN passes no test.
            if (m <= read_limit(warning))
                light = "green";
            else if (read_limit(warning) < m && m <= read_limit(alert))
                light = "yellow";
            else if (m > read_limit(alert))
                light = "red";
            else
                light = "red";
            py::dict entry;
            entry["warning"] = warning;
            entry["alert"] = alert;
            entry["light"] = py::str(light);
            entry["error_stage"] = py::str("None");
            entry["error_message"] = py::str("None");
            result[features[i]] = entry;
        }
    });
    if (error) return py::str(error);
    return result;
}

}  // namespace talvo

TALVO_IMPL(ISO20816_overall,
           "ISO 20816-3 warning (zone B/C) and alert (zone C/D) limits in mm/s r.m.s.\n\n"
           "power: rated power in kW (15 to 300: group 2, above 300: group 1);\n"
           "foundation_type: 'Rigid' or 'Flexible'. Returns {'warning', 'alert',\n"
           "'error_stage', 'error_message'}; on a bad input the limits are None, the stage\n"
           "'Incomplete information' and the message the error's text.")
TALVO_IMPL(ISO20816_light,
           "Rate the mean of every overall-vibration column of a readings table.\n\n"
           "After one row per second and the usual preparation, each column whose name\n"
           "contains 'Overall' gets 'green' (mean <= warning), 'yellow' (up to alert) or\n"
           "'red'. The limits are converted with float() only when a test reads them and\n"
           "are returned as passed. Returns {column: {'warning', 'alert', 'light',\n"
           "'error_stage', 'error_message'}}, or the error's text on failure.")
