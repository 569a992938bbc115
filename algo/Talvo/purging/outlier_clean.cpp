// outlier_clean: training with stepwise IQR cleaning.
//
// The readings are prepared once; then every pass purges a fresh copy of the
// prepared table with the IQR filter at a rising ratio and fits the health
// model on what is left, until the model's robustness index reaches 0.9 or
// the ratio passes its limit. Settings come from a model dictionary.
#include <limits>
#include <string>

#include "../../common/guard.h"
#include "../../common/pyhelpers.h"
#include "../pipelines/model_dictionary.h"
#include "../pipelines/prepare.h"
#include "purging.h"

namespace talvo {

namespace {

namespace md = model_dict;
using algo::unpack;

constexpr const char* kRespondMet = "Data cleaned successfully. Robustness index meets standard.";
constexpr const char* kRespondBelow =
    "Robustness index still below standard. Recommended to select another time period for "
    "modeling.";

// The values one pass leaves for the result. Held like the locals of a
// Python function: a value no branch set raises the unbound-local error
// with its name when first read.
struct PassValues {
    algo::Local T2{"T2"};
    algo::Local df_Talvo{"df_Talvo"};
    algo::Local mu{"mu"};
    algo::Local cov{"cov"};
    algo::Local ucl{"ucl"};
    algo::Local scaler{"scaler"};
    algo::Local pca{"pca"};
    algo::Local indicator_col_name{"indicator_col_name"};
    algo::Local quenda_deadline_t_square{"quenda_deadline_t_square"};
    algo::Local quenda_deadline{"quenda_deadline"};
    algo::Local quenda_warning_line{"quenda_warning_line"};
    algo::Local ucl_anomaly_rate{"ucl_anomaly_rate"};
    algo::Local spe_anomaly_ratio{"spe_anomaly_ratio"};
    algo::Local training_model_robust_index{"training_model_robust_index"};
    algo::Local training_model_robust_status{"training_model_robust_status"};
    algo::Local start_time{"start_time"};
    algo::Local end_time{"end_time"};
};

py::object cleaning_pipeline(const algo::Call& c, algo::PipelineFlags& flags,
                             const py::object& datetime_name) {
    const py::object& dictionary = c[1];
    const py::object &max_ratio_start = c[2], &max_ratio_step = c[3], &max_ratio_limit = c[4];
    py::object df = c[0];
    PassValues v;

    flags.enter("Error_02");
    py::object algo_config = algo::getitem(dictionary, "algo_config");
    const prep::AlgoConfig cfg = prep::parse_algo_config(algo_config);
    py::object time_scale = algo::getitem(dictionary, "time_scale");
    algo::Local time_scale_local{"time_scale"};
    time_scale_local = time_scale;

    flags.enter("Error_01");
    df = prep::compress(c, df, datetime_name);
    df = prep::select_numeric(c, df, datetime_name);

    flags.enter("Error_03");
    df = prep::drop_quality_columns(df);
    py::object codebook_setup = algo::getitem(dictionary, "codebook_setup");
    // Applied when given and its "setup_name" is not the text "None" (a
    // missing or null name still applies it).
    if (algo::truthy(codebook_setup) &&
        algo::py_ne(codebook_setup.attr("get")("setup_name"), py::str(md::kTextNone))) {
        py::object feature_mapping = c("feature_threshold_mapping")(codebook_setup);
        df = algo::getitem(c("codebook_df_filter")(df, feature_mapping, "control"_a = "all"),
                           py::int_(0));
    }

    flags.enter("Error_04");
    prep::Families families = prep::classify_families(df.attr("columns"));

    flags.enter("Error_05");
    if (prep::code_is(cfg.low_feature_select_setting, "1")) {
        py::object df_feature_select = c("low_resolution")(df);
        df = df.attr("drop")("columns"_a = df_feature_select, "errors"_a = "ignore");
        families = prep::without(families, df_feature_select);
    }

    flags.enter("Error_06");
    if (py::object record = prep::indicator_record(c, families, cfg.feature_setting))
        v.indicator_col_name = record;

    const py::object& fx = cfg.feature_extraction_setting;
    const py::object& ss = cfg.scale_setting;
    const py::object& dl = cfg.quenda_deadline_setting;
    algo::Local df_scaled("df_scaled");
    algo::Local result("result");

    py::object max_ratio = max_ratio_start;
    py::object previous_ratio;  // the ratio of the pass before, none at first
    while (algo::py_le(max_ratio, max_ratio_limit)) {
        // A step that did not move the ratio up (zero, negative, or lost in
        // the rounding of the sum) would repeat the same pass for ever: the
        // search cannot move, so it ends as if the ratio had passed the limit.
        if (previous_ratio && !algo::py_gt(max_ratio, previous_ratio)) break;
        py::object df_base = df.attr("copy")();

        flags.enter("Error_03");
        py::object iqr = c("IQR_outlier_percent_clean");
        py::object df_filtered =
            iqr(df_base, max_ratio, algo::getitem(dictionary, "datetime_name"));
        // The filter's result remembers the copy it came from; the copy is not
        // used again, and letting it go keeps pandas from warning about the
        // column write below.
        df_base = py::object();
        df_filtered = prep::parse_times(c, df_filtered, datetime_name);
        {
            auto [start, end] = prep::start_end_texts(df_filtered, datetime_name);
            v.start_time = start;
            v.end_time = end;
        }
        df_filtered = prep::drop_missing_times_and_index(df_filtered, datetime_name);

        flags.enter("Error_06");
        prep::extract_training_features(c, df_filtered, v.indicator_col_name, time_scale_local, fx,
                                        datetime_name, 2500);

        flags.enter("Error_07");
        if (prep::code_is(ss, "1")) {
            v.scaler = c("StandardScaler")();
            df_scaled = df_filtered;
        } else if (prep::code_is(ss, "2") || prep::code_is(ss, "3")) {
            auto items =
                unpack(c(prep::code_is(ss, "2") ? "standardize" : "minmax_scale")(df_filtered), 2);
            df_scaled = items[0];
            v.scaler = items[1];
        }

        flags.enter("Error_08");
        if (df_scaled.get().is_none() || algo::py_len(df_scaled.get()) <= 2)
            flags.record(md::kDataNotSufficient);
        if (prep::code_is(cfg.model_setting, "1")) {
            const py::object& scaled = df_scaled.get();
            auto model = unpack(c("health_modeling")(scaled), 4);
            v.mu = model[0];
            v.cov = model[1];
            v.ucl = model[2];
            v.pca = model[3];
            v.T2 = algo::getitem(
                c("cal_T2")(scaled, v.pca.get(), v.mu.get(), v.cov.get(), scaled.attr("index")),
                py::int_(0));
            v.df_Talvo = c("Health_Index")(v.T2.get(), v.ucl.get(), py::float_(0.9));
            v.ucl_anomaly_rate = c("T2_Anomaly_Rate")(
                algo::getitem(v.T2.get(), "tsquare").attr("values"), v.ucl.get());
            v.spe_anomaly_ratio = algo::getitem(
                c("SPE_residual")(df_filtered, scaled.attr("index"), "alpha"_a = 0.05),
                py::int_(3));
        }

        flags.enter("Error_09");
        if (prep::code_is(dl, "1")) {
            py::object tsquare = algo::getitem(v.T2.get(), "tsquare");
            v.quenda_deadline_t_square =
                tsquare.attr("mean")() + py::int_(12) * tsquare.attr("std")();
            v.quenda_deadline =
                md::floored_score_at(c, v.quenda_deadline_t_square.get(), v.ucl.get());
        }
        if (prep::code_is(dl, "2")) {
            // Warning mode: a warning line at 24 standard deviations and a
            // deadline score of 0, whose T2 is unbounded.
            py::object tsquare = algo::getitem(v.T2.get(), "tsquare");
            py::object warning_t_square =
                tsquare.attr("mean")() + py::int_(24) * tsquare.attr("std")();
            v.quenda_warning_line = md::floored_score_at(c, warning_t_square, v.ucl.get());
            v.quenda_deadline = py::int_(0);
            v.quenda_deadline_t_square = py::float_(std::numeric_limits<double>::infinity());
        }
        {
            py::object anomaly_rate = v.ucl_anomaly_rate.get();
            md::Robustness grade = md::robustness(c, anomaly_rate, v.spe_anomaly_ratio.get());
            v.training_model_robust_index = grade.index;
            v.training_model_robust_status = grade.status;
        }

        md::DictBuilder builder;
        builder.add("T2", v.T2)
            .add("Talvo_Score", v.df_Talvo)
            .add("mu", v.mu)
            .add("cov", v.cov)
            .add("ucl", v.ucl)
            .add("scaler", v.scaler)
            .add("pca", v.pca)
            .add("indicator_col_name", v.indicator_col_name)
            .add("datetime_name", datetime_name)
            .add("quenda_deadline_t_square", v.quenda_deadline_t_square)
            .add("quenda_deadline", v.quenda_deadline)
            .add("time_scale", time_scale)
            .add("training_anomalies", v.ucl_anomaly_rate)
            .add("model_bias", v.spe_anomaly_ratio)
            .add("training_model_robust_index", v.training_model_robust_index)
            .add("training_model_robust_status", v.training_model_robust_status)
            .add("start_time", v.start_time)
            .add("end_time", v.end_time)
            .add("algo_config", algo_config)
            .add("codebook_setup", codebook_setup)
            .add_success_flags(flags);
        py::dict r = builder.release();
        r["build_time"] = c("datetime").attr("now")().attr("strftime")(algo::kTimeFormat);
        result = r;

        // This trainer's form never carries the warning line, in either
        // deadline mode: "respond" is always its last key.
        auto finish = [&](const char* respond) {
            r["respond"] = py::str(respond);
            return py::object(r);
        };
        if (algo::py_ge(algo::getitem(r, "training_model_robust_index"), py::float_(0.9)))
            return finish(kRespondMet);

        previous_ratio = max_ratio;
        max_ratio = max_ratio + max_ratio_step;
    }

    if (!result.is_set())
        algo::raise(PyExc_ValueError, "no cleaning pass ran: max_ratio_start " +
                                          algo::to_str(py::repr(max_ratio_start)) +
                                          " is not at most max_ratio_limit " +
                                          algo::to_str(py::repr(max_ratio_limit)));
    py::dict r = result.get();
    r["respond"] = py::str(kRespondBelow);
    return std::move(r);
}

}  // namespace

py::object outlier_clean(const algo::Call& c) {
    // Read before the guard: a missing key reaches the caller.
    py::object datetime_name = algo::getitem(c[1], "datetime_name");
    algo::PipelineFlags flags;
    py::object result;
    py::object exc =
        algo::run_guarded([&] { result = cleaning_pipeline(c, flags, datetime_name); });
    if (exc) return md::training_failure_form(flags, exc);
    return result;
}

}  // namespace talvo

TALVO_IMPL(outlier_clean,
           "Train the health model with stepwise IQR cleaning of the readings.\n\n"
           "df: readings under canonical column names.\n"
           "dictionary: the settings, as in a trained-model dictionary: 'datetime_name',\n"
           "'algo_config', 'time_scale' and 'codebook_setup'.\n"
           "Each pass purges a fresh copy of the prepared readings with\n"
           "IQR_outlier_percent_clean at the ratio max_ratio_start, then + max_ratio_step, ...\n"
           "while the ratio is at most max_ratio_limit, and fits the model on the rest. The\n"
           "first pass whose robustness index reaches 0.9 is returned; otherwise the last\n"
           "(also when a step no longer moves the ratio).\n\n"
           "Returns the trained-model dictionary with 'respond' telling which; failures come\n"
           "back as the failure form with the failing stage and the exception's text.")
