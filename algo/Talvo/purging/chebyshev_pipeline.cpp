// outlier_chebyshev_T2_purging: training with an iterative T2 purge.
//
// The readings are prepared and featured as in training; the scaled feature
// rows are purged by the Chebyshev/Cantelli T2 loop, the health model is
// refitted on the rows that survive, and T2, health score, anomaly rate and
// deadline are computed over all rows against that model. Nothing is caught:
// every failure reaches the caller as raised.
#include <limits>
#include <string>

#include "../../common/pyhelpers.h"
#include "../pipelines/model_dictionary.h"
#include "../pipelines/prepare.h"
#include "purging.h"

namespace talvo {

namespace {

namespace md = model_dict;
using algo::unpack;

// "position N of algo_config must be one of ..., got '...'"
[[noreturn]] void invalid_code(int position, const char* allowed, py::handle code) {
    algo::raise(PyExc_ValueError, "algo_config position " + std::to_string(position) +
                                      " must be one of " + allowed + ", got " +
                                      algo::to_str(py::repr(code)));
}

}  // namespace

py::object outlier_chebyshev_T2_purging(const algo::Call& c) {
    const py::object& algo_config = c[1];
    const py::str datetime_name("_time");
    py::object df = c[0];
    py::str error_code("None");

    df = prep::compress(c, df, datetime_name);
    const prep::AlgoConfig cfg = prep::parse_algo_config(algo_config);

    // Codes whose branch would leave a value unset are refused here, before
    // any further work, rather than failing later on an unbound name.
    py::str time_scale;
    if (prep::code_is(cfg.time_scale_setting, "0"))
        time_scale = py::str("min");
    else if (prep::code_is(cfg.time_scale_setting, "1"))
        time_scale = py::str("h");
    else
        invalid_code(0, "'0', '1'", cfg.time_scale_setting);
    const py::object &fs = cfg.feature_setting, &ss = cfg.scale_setting,
                     &dl = cfg.quenda_deadline_setting, &fx = cfg.feature_extraction_setting;
    if (!prep::code_is(fs, "1") && !prep::code_is(fs, "2") && !prep::code_is(fs, "3"))
        invalid_code(3, "'1', '2', '3'", fs);
    if (!prep::code_is(ss, "1") && !prep::code_is(ss, "2") && !prep::code_is(ss, "3"))
        invalid_code(4, "'1', '2', '3'", ss);
    if (!prep::code_is(dl, "1") && !prep::code_is(dl, "2")) invalid_code(6, "'1', '2'", dl);

    df = prep::select_numeric(c, df, datetime_name);
    df = prep::parse_times(c, df, datetime_name);
    auto [start_time, end_time] = prep::start_end_texts(df, datetime_name);
    df = prep::drop_missing_times_and_index(df, datetime_name);
    df = prep::drop_quality_columns(df);

    // Low-resolution columns leave the family lists only, not the table.
    prep::Families families = prep::classify_families(df.attr("columns"));
    if (prep::code_is(cfg.low_feature_select_setting, "1"))
        families = prep::without(families, c("low_resolution")(df));
    py::object indicator_col_name = prep::indicator_record(c, families, fs);

    py::object features;  // (table, record) of the extractor, when one runs
    if (prep::code_is(fx, "1")) {
        if (algo::eq_text(time_scale, "h"))
            df = c("time_filter")(df, datetime_name, "sec_count"_a = 1800);
        features = c("feature_extraction")(df, indicator_col_name, time_scale);
    } else if (prep::code_is(fx, "2")) {
        features = c("feature_extraction_rolling")(df, indicator_col_name, 120, 60);
    } else if (prep::code_is(fx, "3")) {
        features = c("feature_extraction_rolling")(df, indicator_col_name, 3600, 1800);
    }
    if (features) {
        auto items = unpack(features, 2);
        df = items[0];
        indicator_col_name = items[1];
    }
    if (df.is_none() || algo::truthy(df.attr("empty"))) error_code = py::str(md::kNoDataDowntime);

    py::object df_scaled, scaler;
    if (prep::code_is(ss, "1")) {
        df_scaled = df;
        scaler = c("StandardScaler")();
    } else {
        auto items = unpack(c(prep::code_is(ss, "2") ? "standardize" : "minmax_scale")(df), 2);
        df_scaled = items[0];
        scaler = items[1];
    }
    if (df_scaled.is_none() || algo::py_len(df_scaled) <= 2)
        error_code = py::str(md::kDataNotSufficient);

    // Purge, then refit on the surviving rows; T2 and the rest over all rows.
    py::object purged = c("purge_by_chebyshev")(df_scaled, "alpha"_a = 0.05, "max_iter"_a = 10,
                                                "one_sided"_a = true);
    py::object df_scaled_clean = algo::getitem(purged, py::int_(0));
    auto model = unpack(c("health_modeling")(df_scaled_clean), 4);
    py::object mu = model[0], cov = model[1], ucl = model[2], pca = model[3];

    py::object T2 =
        algo::getitem(c("cal_T2")(df_scaled, pca, mu, cov, df_scaled.attr("index")), py::int_(0));
    py::object df_Talvo = c("Health_Index")(T2, ucl, py::float_(0.9));
    py::object tsquare = algo::getitem(T2, "tsquare");
    py::object ucl_anomaly_rate = c("T2_Anomaly_Rate")(tsquare.attr("values"), ucl);
    py::object spe_anomaly_ratio = algo::getitem(
        c("SPE_residual")(df, df_scaled.attr("index"), "alpha"_a = 0.05), py::int_(3));

    py::object quenda_deadline_t_square, quenda_deadline, quenda_warning_line;
    if (prep::code_is(dl, "1")) {
        quenda_deadline_t_square = tsquare.attr("mean")() + py::int_(12) * tsquare.attr("std")();
        quenda_deadline = md::floored_score_at(c, quenda_deadline_t_square, ucl);
    }
    if (prep::code_is(dl, "2")) {
        // Warning mode: a warning line at 24 standard deviations and a
        // deadline score of 0, whose T2 is unbounded.
        py::object warning_t_square = tsquare.attr("mean")() + py::int_(24) * tsquare.attr("std")();
        quenda_warning_line = md::floored_score_at(c, warning_t_square, ucl);
        quenda_deadline = py::int_(0);
        quenda_deadline_t_square = py::float_(std::numeric_limits<double>::infinity());
    }

    md::Robustness grade = md::robustness(c, ucl_anomaly_rate, spe_anomaly_ratio);
    py::object robust_index = grade.index;
    py::str robust_status = grade.status;

    py::dict result;
    result["T2"] = T2;
    result["Talvo_Score"] = df_Talvo;
    result["mu"] = mu;
    result["cov"] = cov;
    result["ucl"] = ucl;
    result["scaler"] = scaler;
    result["pca"] = pca;
    result["indicator_col_name"] = indicator_col_name;
    result["datetime_name"] = datetime_name;
    result["quenda_deadline_t_square"] = quenda_deadline_t_square;
    result["quenda_deadline"] = quenda_deadline;
    result["time_scale"] = time_scale;
    result["training_anomalies"] = ucl_anomaly_rate;
    result["model_bias"] = spe_anomaly_ratio;
    result["training_model_robust_index"] = robust_index;
    result["training_model_robust_status"] = robust_status;
    result["algo_config"] = algo_config;
    result["is_error"] = py::str("False");
    result["error_code"] = error_code;
    result["error_stage"] = py::str("None");
    result["error_message"] = py::str("None");
    result["build_time"] = c("datetime").attr("now")().attr("strftime")(algo::kTimeFormat);
    result["start_time"] = start_time;
    result["end_time"] = end_time;
    if (prep::code_is(dl, "2")) result["quenda_warning_line"] = quenda_warning_line;
    return result;
}

}  // namespace talvo

TALVO_IMPL(outlier_chebyshev_T2_purging,
           "Train the health model after purging high-T2 feature rows.\n\n"
           "df: readings under canonical column names with the time column '_time'.\n"
           "algo_config: the eight comma-separated codes, as for training_model.\n"
           "The scaled feature rows are purged by purge_by_chebyshev (one-sided, alpha 0.05,\n"
           "at most 10 rounds); the health model is refitted on the rows kept, and T2, health\n"
           "score, anomaly rate and deadline are computed over all rows against it.\n\n"
           "Returns the trained-model dictionary (24 keys, 25 in deadline mode '2');\n"
           "failures raise.")
