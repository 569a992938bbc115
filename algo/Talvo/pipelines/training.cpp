// training_model: readings and a configuration code string in, trained-model
// dictionary out. Every module function it uses is looked up in the module
// namespace at call time, so a host (or a test) that replaces one sees its
// replacement used.
#include <limits>
#include <string>
#include <vector>

#include "../../common/pyhelpers.h"
#include "model_dictionary.h"
#include "prepare.h"

namespace talvo {

namespace {

namespace md = model_dict;

// `x is None or x.empty`
bool none_or_empty(py::handle df) { return df.is_none() || algo::truthy(df.attr("empty")); }

py::object training_pipeline(const algo::Call& c, algo::PipelineFlags& flags) {
    const py::object& algo_config = c[1];
    const py::object& codebook = c[2];
    const py::str datetime_name(md::kDatetimeName);
    md::TrainingLocals v;
    py::object df = c[0];

    flags.enter("Error_01");
    df = prep::compress(c, df, datetime_name);

    flags.enter("Error_02");
    const prep::AlgoConfig cfg = prep::parse_algo_config(algo_config);
    if (prep::code_is(cfg.time_scale_setting, "0"))
        v.time_scale = py::str("min");
    else if (prep::code_is(cfg.time_scale_setting, "1"))
        v.time_scale = py::str("h");

    flags.enter("Error_03");
    df = prep::select_numeric(c, df, datetime_name);
    df = prep::parse_times(c, df, datetime_name);
    {
        auto [start, end] = prep::start_end_texts(df, datetime_name);
        v.start_time = start;
        v.end_time = end;
    }
    df = prep::drop_missing_times_and_index(df, datetime_name);
    df = prep::drop_quality_columns(df);
    // The codebook applies when given and its "setup_name" is not the text
    // "None" (a missing or null name still applies it).
    if (algo::truthy(codebook) &&
        algo::py_ne(codebook.attr("get")("setup_name"), py::str(md::kTextNone))) {
        py::object feature_mapping = c("feature_threshold_mapping")(codebook);
        df = algo::getitem(c("codebook_df_filter")(df, feature_mapping, "control"_a = "all"),
                           py::int_(0));
    }
    if (none_or_empty(df)) flags.record(md::kNoDataAfterCodebook);

    flags.enter("Error_04");
    prep::Families families = prep::classify_families(df.attr("columns"));

    if (prep::code_is(cfg.low_feature_select_setting, "1")) {
        flags.enter("Error_05");
        py::object low = c("low_resolution")(df);
        families = prep::without(families, low);
    }

    flags.enter("Error_06");
    if (py::object record = prep::indicator_record(c, families, cfg.feature_setting))
        v.indicator_col_name = record;
    prep::extract_training_features(c, df, v.indicator_col_name, v.time_scale,
                                    cfg.feature_extraction_setting, datetime_name, 1800);
    if (none_or_empty(df)) flags.record(md::kNoDataDowntime);

    flags.enter("Error_07");
    algo::Local df_scaled("df_scaled");
    const py::object& ss = cfg.scale_setting;
    if (prep::code_is(ss, "1")) {
        df_scaled = df;
        v.scaler = c("StandardScaler")();
    } else if (prep::code_is(ss, "2") || prep::code_is(ss, "3")) {
        py::object scaled = c(prep::code_is(ss, "2") ? "standardize" : "minmax_scale")(df);
        std::vector<py::object> items = algo::unpack(scaled, 2);
        df_scaled = items[0];
        v.scaler = items[1];
    }

    flags.enter("Error_08");
    if (df_scaled.get().is_none() || algo::py_len(df_scaled.get()) <= 2)
        flags.record(md::kDataNotSufficient);
    if (prep::code_is(cfg.model_setting, "1")) {
        const py::object& scaled = df_scaled.get();
        std::vector<py::object> model = algo::unpack(c("health_modeling")(scaled), 4);
        v.model_mu = model[0];
        v.model_cov = model[1];
        v.ucl = model[2];
        v.pca = model[3];
        v.T2 = algo::getitem(c("cal_T2")(scaled, v.pca.get(), v.model_mu.get(), v.model_cov.get(),
                                         scaled.attr("index")),
                             py::int_(0));
        v.df_Talvo = c("Health_Index")(v.T2.get(), v.ucl.get(), py::float_(0.9));
        v.ucl_anomaly_rate =
            c("T2_Anomaly_Rate")(algo::getitem(v.T2.get(), "tsquare").attr("values"), v.ucl.get());
        py::object spe = c("SPE_residual")(df, scaled.attr("index"), "alpha"_a = 0.05);
        v.spe_anomaly_ratio = algo::getitem(spe, py::int_(3));
    }

    flags.enter("Error_09");
    // Mean plus k sample standard deviations (n - 1) of the training T2, read
    // only inside the two deadline modes: with neither, an unset T2 is never
    // touched and the robustness step below meets its own unset inputs first.
    auto t2_line = [&](int k) {
        py::object tsquare = algo::getitem(v.T2.get(), "tsquare");
        py::object t2_mean = tsquare.attr("mean")();
        return t2_mean + py::int_(k) * tsquare.attr("std")();
    };
    const py::object& dl = cfg.quenda_deadline_setting;
    if (prep::code_is(dl, "1")) {
        v.quenda_deadline_t_square = t2_line(12);
        v.quenda_deadline = md::floored_score_at(c, v.quenda_deadline_t_square.get(), v.ucl.get());
    } else if (prep::code_is(dl, "2")) {
        // Warning mode: the warning line sits at 24 standard deviations and the
        // deadline score is 0, whose T2 is infinite, so deadline learning takes
        // its records' quantile as the new T2 deadline.
        py::object warning_t_square = t2_line(24);
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

    md::DictBuilder result = md::training_success_head(v, algo_config, codebook, flags);
    result.add("build_time", c("datetime").attr("now")().attr("strftime")(algo::kTimeFormat))
        .add("start_time", v.start_time)
        .add("end_time", v.end_time);
    if (prep::code_is(dl, "2")) result.add("quenda_warning_line", v.quenda_warning_line);
    return result.release();
}

}  // namespace

py::object training_model(const algo::Call& c) {
    algo::PipelineFlags flags;
    return md::run_pipeline([&] { return training_pipeline(c, flags); },
                            [&](py::handle exc) { return md::training_failure_form(flags, exc); });
}

}  // namespace talvo

TALVO_IMPL(training_model,
           "Train the health model of one machine from its readings.\n\n"
           "df: readings under canonical column names with the time column '_time'.\n"
           "algo_config: eight comma-separated codes (time scale, scoring outlier filter,\n"
           "low-resolution screening, feature families, scaling, health model, deadline mode,\n"
           "feature mode).\n"
           "codebook: a codebook setting whose limits filter the rows, or None.\n\n"
           "Returns the trained-model dictionary. Failures do not raise: they come back as\n"
           "the failure form with is_error 'True', the failing stage in error_stage and the\n"
           "exception's text in error_message.")
