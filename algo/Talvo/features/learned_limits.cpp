// Learned warning/alert limits (mean +- 3 and 6 sample std) and lights
// against them.
#include "../../common/guard.h"
#include "../../common/pyhelpers.h"
#include "../pipelines/prepare.h"
#include "severity.h"

namespace talvo {

namespace {

// The preparation shared by the learned limits and their lights: one row per
// second, numeric columns, parsed and indexed times, no quality columns, and
// only the indicator families (time, then frequency, then failure modes).
py::object indicator_table(const algo::Call& c, py::handle df_in) {
    const py::str time_col("_time");
    py::object df = prep::compress(c, df_in, time_col);
    df = prep::select_numeric(c, df, time_col);
    df = prep::parse_times(c, df, time_col);
    // Not kept; formatting fails when no time parsed, which ends the call.
    prep::start_end_texts(df, time_col);
    df = prep::drop_missing_times_and_index(df, time_col);
    df = prep::drop_quality_columns(df);
    prep::Families f = prep::classify_families(df.attr("columns"));
    py::list keep = algo::concat_lists(algo::concat_lists(f.time, f.frequency), f.fail_mode);
    return algo::getitem(df, keep);
}

// float(limit) at the moment a test reads it.
double read_limit(py::handle limit) { return py::cast<double>(algo::py_float(limit)); }

const char* light_for(double m, py::handle uw, py::handle ua, py::handle lw, py::handle la) {
    const bool upper = !uw.is_none() && !ua.is_none();
    const bool lower = !lw.is_none() && !la.is_none();
    // Two-sided tests read their lower bound first and the upper one only when
    // the lower comparison holds, as a chained comparison does.
    if (upper && !lower) {
        if (m <= read_limit(uw)) return "green";
        if (read_limit(uw) < m && m <= read_limit(ua)) return "yellow";
        return "red";
    }
    if (lower && !upper) {
        if (m > read_limit(lw)) return "green";
        if (read_limit(la) < m && m <= read_limit(lw)) return "yellow";
        return "red";
    }
    if (upper && lower) {
        if (read_limit(lw) <= m && m <= read_limit(uw)) return "green";
        if (read_limit(uw) < m && m <= read_limit(ua)) return "yellow";
        if (read_limit(la) <= m && m < read_limit(lw)) return "yellow";
        if (m > read_limit(ua) || m < read_limit(la)) return "red";
        return "red";  // NaN mean or NaN limits
    }
    return nullptr;
}

}  // namespace

py::object pre_feature_training(const algo::Call& c) {
    py::dict result;
    py::object error = algo::run_guarded([&] {
        py::object df = indicator_table(c, c[0]);
        py::object mean = df.attr("mean")();
        py::object std = df.attr("std")();
        const py::int_ three(3), six(6);
        py::dict stats;
        stats["mean"] = mean;
        stats["std"] = std;
        stats["lower_warning"] = mean - three * std;
        stats["lower_alert"] = mean - six * std;
        stats["upper_warning"] = mean + three * std;
        stats["upper_alert"] = mean + six * std;
        // The key column is "feature" whatever name the input's column index
        // carries (reset_index would take that name).
        py::object feature_stats =
            c("pd").attr("DataFrame")(stats).attr("rename_axis")("feature").attr("reset_index")();

        py::list features(algo::getitem(feature_stats, "feature"));
        const char* keys[] = {"upper_warning", "upper_alert", "lower_warning", "lower_alert"};
        std::vector<py::list> values;
        for (const char* k : keys)
            values.emplace_back(algo::getitem(feature_stats, k).attr("tolist")());
        for (size_t i = 0; i < features.size(); ++i) {
            py::dict entry;
            for (size_t j = 0; j < 4; ++j) entry[keys[j]] = values[j][i];
            result[features[i]] = entry;
        }
    });
    if (error) return py::str(error);
    return result;
}

py::object pre_feature_light(const algo::Call& c) {
    const py::object& threshold = c[1];
    py::dict result;
    py::object error = algo::run_guarded([&] {
        py::object df = indicator_table(c, c[0]);
        py::object feature_stats = df.attr("mean")("numeric_only"_a = true).attr("reset_index")();
        py::list names;
        names.append(py::str("feature"));
        names.append(py::str("mean"));
        feature_stats.attr("columns") = names;

        py::list features(algo::getitem(feature_stats, "feature"));
        py::list means(algo::getitem(feature_stats, "mean").attr("tolist")());
        const py::str empty("");
        for (size_t i = 0; i < features.size(); ++i) {
            const double m = py::cast<double>(algo::py_float(means[i]));
            py::object entry = threshold.attr("get")(features[i], py::dict());
            py::object get = entry.attr("get");
            py::object uw = get("upper_warning", empty);
            py::object ua = get("upper_alert", empty);
            py::object lw = get("lower_warning", empty);
            py::object la = get("lower_alert", empty);
            const char* light = light_for(m, uw, ua, lw, la);
            py::dict out;
            out["upper_warning"] = uw;
            out["upper_alert"] = ua;
            out["lower_warning"] = lw;
            out["lower_alert"] = la;
            out["light"] = light ? py::object(py::str(light)) : py::object(py::none());
            result[features[i]] = out;
        }
    });
    if (error) return py::str(error);
    return result;
}

}  // namespace talvo

TALVO_IMPL(pre_feature_training,
           "Learn warning and alert limits of every indicator column of a readings table.\n\n"
           "After one row per second and the usual preparation, each time-domain,\n"
           "frequency-domain and failure-mode column gets {'upper_warning': mean + 3 std,\n"
           "'upper_alert': mean + 6 std, 'lower_warning': mean - 3 std, 'lower_alert':\n"
           "mean - 6 std} (sample std). Returns the map, or the error's text on failure.")
TALVO_IMPL(pre_feature_light,
           "Rate the mean of every indicator column against learned limits.\n\n"
           "threshold maps column names to {'upper_warning', 'upper_alert', 'lower_warning',\n"
           "'lower_alert'}; None marks an absent limit, a missing key reads as ''. The light\n"
           "is 'green', 'yellow', 'red', or None without a complete pair of limits. Limits are\n"
           "converted with float() only when a test reads them and are returned as read.\n"
           "Returns {column: {four limits, 'light'}}, or the error's text on failure.")
