// training_model_GB_compare: a health model fitted on a good period, with the
// failure deadline and a warning line placed from a bad period's T2.
//
// The road is fixed: frequency columns only, always screened for low
// resolution; rolling features (120 rows every 60) for the good period,
// time-bucketed features for the bad one; min-max scaling fitted on the good
// features. Nothing is caught: every failure reaches the caller as raised.
#include <string>
#include <vector>

#include "../../common/pyhelpers.h"
#include "../purging/purging.h"
#include "model_dictionary.h"
#include "prepare.h"

namespace talvo {

using algo::unpack;
namespace md = model_dict;

py::object training_model_GB_compare(const algo::Call& c) {
    const py::object& time_scale = c[2];
    const py::str datetime_name("_time");
    py::object df_good = c[0], df_bad = c[1];

    // The time column first, then every numeric column; both tables before
    // any other work, so a missing "_time" in either raises KeyError here.
    df_good = prep::select_numeric(c, df_good, datetime_name);
    df_bad = prep::select_numeric(c, df_bad, datetime_name);

    // Good period: times, start/end of the period, time index, no quality columns.
    df_good = prep::parse_times(c, df_good, datetime_name);
    auto [start_time, end_time] = prep::start_end_texts(df_good, datetime_name);
    df_good = prep::drop_missing_times_and_index(df_good, datetime_name);
    df_good = prep::drop_quality_columns(df_good);

    // Only the frequency family is modelled, always screened for low resolution.
    prep::Families families = prep::classify_families(df_good.attr("columns"));
    py::object low = c("low_resolution")(df_good);
    py::list frequency = prep::without(families, low).frequency;
    py::object indicator_col_name = c("SimpleNamespace")(
        "time"_a = py::list(), "frequency"_a = frequency, "fail_mode"_a = py::list());

    auto good = unpack(c("feature_extraction_rolling")(df_good, indicator_col_name, 120, 60), 2);
    py::object good_features = good[0];
    indicator_col_name = good[1];

    auto scaled = unpack(c("minmax_scale")(good_features), 2);
    py::object df_good_scaled = scaled[0], scaler = scaled[1];

    auto model = unpack(c("health_modeling")(df_good_scaled), 4);
    py::object model_mu = model[0], model_cov = model[1], ucl = model[2], pca = model[3];

    py::object good_index = df_good_scaled.attr("index");
    py::object Good_T2 = algo::getitem(
        c("cal_T2")(df_good_scaled, pca, model_mu, model_cov, good_index), py::int_(0));
    py::object df_Talvo = c("Health_Index")(Good_T2, ucl, py::float_(0.9));
    py::object good_tsquare = algo::getitem(Good_T2, "tsquare");
    py::object ucl_anomaly_rate = c("T2_Anomaly_Rate")(good_tsquare.attr("values"), ucl);
    py::object spe_anomaly_ratio =
        algo::getitem(c("SPE_residual")(good_features, good_index, "alpha"_a = 0.05), py::int_(3));

    md::Robustness grade = md::robustness(c, ucl_anomaly_rate, spe_anomaly_ratio);
    py::object robust_index = grade.index;
    py::str robust_status = grade.status;

    // Bad period: times and time index only; its columns are read through the
    // good period's record.
    df_bad = prep::parse_times(c, df_bad, datetime_name);
    df_bad = prep::drop_missing_times_and_index(df_bad, datetime_name);
    auto bad = unpack(c("feature_extraction")(df_bad, indicator_col_name, time_scale), 2);
    py::object bad_features = bad[0];
    indicator_col_name = bad[1];
    py::object df_bad_scaled = c("testing_minmax")(bad_features, scaler);
    py::object Bad_T2 = algo::getitem(
        c("cal_T2")(df_bad_scaled, pca, model_mu, model_cov, df_bad_scaled.attr("index")),
        py::int_(0));

    // Deadline at the bad mean T2; warning line halfway between the good mean
    // and the bad 5 % quantile.
    py::object bad_tsquare = algo::getitem(Bad_T2, "tsquare");
    py::object m_bad = bad_tsquare.attr("mean")();
    py::object quenda_deadline = model_dict::score_at(c, m_bad, ucl);
    py::object m_good = good_tsquare.attr("mean")();
    py::object q_bad = bad_tsquare.attr("quantile")(0.05);
    py::object quenda_warning_line = model_dict::score_at(c, (m_good + q_bad) / py::int_(2), ucl);

    py::dict result;
    result["T2"] = Good_T2;
    result["Talvo_Score"] = df_Talvo;
    result["mu"] = model_mu;
    result["cov"] = model_cov;
    result["ucl"] = ucl;
    result["scaler"] = scaler;
    result["pca"] = pca;
    result["indicator_col_name"] = indicator_col_name;
    result["datetime_name"] = datetime_name;
    result["quenda_deadline"] = quenda_deadline;
    result["quenda_warning_line"] = quenda_warning_line;
    result["time_scale"] = time_scale;
    result["training_anomalies"] = ucl_anomaly_rate;
    result["model_bias"] = spe_anomaly_ratio;
    result["training_model_robust_index"] = robust_index;
    result["training_model_robust_status"] = robust_status;
    result["build_time"] = c("datetime").attr("now")().attr("strftime")(algo::kTimeFormat);
    result["start_time"] = start_time;
    result["end_time"] = end_time;
    return result;
}

}  // namespace talvo

TALVO_IMPL(training_model_GB_compare,
           "Train a health model on a good period and place the deadline from a bad one.\n\n"
           "df_good, df_bad: readings of a healthy and of a degraded period, time column\n"
           "'_time'. Only the frequency-band columns are modelled (low-resolution ones\n"
           "removed): rolling features of 120 rows every 60 for the good period, features\n"
           "per time_scale bucket for the bad one, min-max scaled by the good period's\n"
           "scaler. quenda_deadline is the health score at the bad period's mean T2,\n"
           "quenda_warning_line the score halfway between the good mean T2 and the bad\n"
           "5 % quantile of T2.\n\n"
           "Returns the trained-model dictionary (19 keys); failures raise.")
