// testing_model: scores new readings with a trained-model dictionary.
//
// The preparation repeats the stored settings: one row per second, the
// codebook filter (lower limits only), the short-data check, the stored
// model columns, the optional per-minute outlier filter, the time index,
// features, the stored scaler and PCA model. Every module function is looked
// up in the module namespace at call time.
#include "../../common/guard.h"
#include "../../common/pyhelpers.h"
#include "model_dictionary.h"
#include "prepare.h"

namespace talvo {

namespace {

namespace md = model_dict;

// Stage codes in the order the stages run: the short-data check ("Error_02")
// comes after the codebook step ("Error_03").
constexpr const char* kStageCompress = "Error_01";
constexpr const char* kStageConfigAndCodebook = "Error_03";
constexpr const char* kStageShortData = "Error_02";
constexpr const char* kStagePrepare = "Error_04";
constexpr const char* kStageFeatures = "Error_05";
constexpr const char* kStageScaling = "Error_06";
constexpr const char* kStageModel = "Error_07";

// Fewer rows than this after the codebook filter give the short-data form
// (unless the time scale code is "0").
constexpr long kMinRows = 301;

py::object item0(const py::object& result) { return algo::getitem(result, py::int_(0)); }

// A one-row table {column: [value]} indexed by [stamp].
py::object one_row(const algo::Call& c, const char* column, py::handle value, py::handle stamp) {
    py::dict data;
    py::list values;
    values.append(value);
    data[column] = values;
    py::list index;
    index.append(stamp);
    return c("pd").attr("DataFrame")(data, "index"_a = index);
}

// "T2", "Talvo_Score", "quenda_deadline", "suspicious_variable", then the
// four flags of a run that did not fail.
py::dict success_form(py::handle T2, py::handle score, py::handle deadline, py::handle variable,
                      const algo::PipelineFlags& flags) {
    md::DictBuilder b;
    b.add("T2", T2)
        .add("Talvo_Score", score)
        .add("quenda_deadline", deadline)
        .add("suspicious_variable", variable)
        .add_success_flags(flags);
    return b.release();
}

// The same keys with null payloads and the failing stage.
py::dict failure_form(const algo::PipelineFlags& flags, py::handle exc) {
    md::DictBuilder b;
    b.add_none({"T2", "Talvo_Score", "quenda_deadline", "suspicious_variable"})
        .add_failure_flags(flags, exc);
    return b.release();
}

// The short-data form: placeholder tables of -1.0 stamped with the current
// local second, read through the module's `datetime` so a host can fix it.
py::dict short_data_form(const algo::Call& c, py::handle dictionary,
                         const algo::PipelineFlags& flags) {
    py::object now = c("datetime").attr("now")();
    py::object stamp = c("pd").attr("to_datetime")(algo::strftime(now, algo::kTimeFormat));
    py::object T2 = one_row(c, "tsquare", py::float_(-1.0), stamp);
    py::object score = one_row(c, "Score", py::float_(-1.0), stamp);
    py::object deadline = algo::getitem(dictionary, "quenda_deadline");
    return success_form(T2, score, deadline, py::str(md::kTextNone), flags);
}

// The codebook gate: a truthy setting whose "setup_name" is not the text
// "None" (a missing or null name passes).
bool codebook_applies(py::handle setup) {
    if (!algo::truthy(setup)) return false;
    return algo::py_ne(setup.attr("get")("setup_name"), py::str("None"));
}

py::object scoring_pipeline(const algo::Call& c, py::object df, py::object dictionary,
                            const py::object& datetime_name, algo::PipelineFlags& flags) {
    flags.enter(kStageCompress);
    df = prep::compress(c, df, datetime_name);

    flags.enter(kStageConfigAndCodebook);
    const prep::AlgoConfig cfg = prep::parse_algo_config(algo::getitem(dictionary, "algo_config"));
    dictionary.attr("setdefault")("codebook_setup", py::none());
    py::object codebook_setup = algo::getitem(dictionary, "codebook_setup");
    if (codebook_applies(codebook_setup)) {
        py::object feature_mapping = c("feature_threshold_mapping")(codebook_setup);
        df = item0(c("codebook_df_filter")(df, feature_mapping, "control"_a = "min"));
    }

    flags.enter(kStageShortData);
    if (df.is_none() || (algo::py_lt(df.attr("shape")[py::int_(0)], py::int_(kMinRows)) &&
                         algo::py_ne(cfg.time_scale_setting, py::str("0"))))
        return short_data_form(c, dictionary, flags);

    flags.enter(kStagePrepare);
    df = prep::select_numeric(c, df, datetime_name);
    df =
        prep::pick_model_columns(df, datetime_name, algo::getitem(dictionary, "indicator_col_name"))
            .first;
    if (prep::code_is(cfg.testing_outlier_clean, "1"))
        df = c("drop_outliers_by_min")(df, datetime_name);
    // df is a table of this call's own here (a copy or the filter's result).
    df = prep::parse_times(c, df, datetime_name);
    df = prep::drop_missing_times_and_index(df, datetime_name);

    flags.enter(kStageFeatures);
    const py::object& fe = cfg.feature_extraction_setting;
    const bool buckets = prep::code_is(fe, "1") || prep::code_is(fe, "3");
    const bool rolling_120 = prep::code_is(fe, "2");
    const bool rolling_60 = prep::code_is(fe, "4");
    if (buckets) {
        py::object record = algo::getitem(dictionary, "indicator_col_name");
        py::object time_scale = algo::getitem(dictionary, "time_scale");
        df = item0(c("feature_extraction")(df, record, time_scale));
    } else if (rolling_120 || rolling_60) {
        py::object record = algo::getitem(dictionary, "indicator_col_name");
        df = item0(c("feature_extraction_rolling")(df, record, py::int_(rolling_120 ? 120 : 60),
                                                   py::int_(rolling_120 ? 60 : 30)));
    }

    flags.enter(kStageScaling);
    algo::Local df_scaled("df_scaled");
    if (prep::code_is(cfg.scale_setting, "1"))
        df_scaled = df;
    else if (prep::code_is(cfg.scale_setting, "2"))
        df_scaled = c("testing_scaler")(df, algo::getitem(dictionary, "scaler"));
    else if (prep::code_is(cfg.scale_setting, "3"))
        df_scaled = c("testing_minmax")(df, algo::getitem(dictionary, "scaler"));

    flags.enter(kStageModel);
    algo::Local T2("T2"), df_Talvo("df_Talvo"), quenda_deadline("quenda_deadline"),
        suspicious_variable("suspicious_variable");
    // Arguments are read one by one, left to right, so the first missing
    // key or unset value is the one reported, as in a Python call.
    if (prep::code_is(cfg.model_setting, "1")) {
        auto t2_call = [&] {
            py::object f = c("cal_T2");
            py::object scaled = df_scaled.get();
            py::object pca = algo::getitem(dictionary, "pca");
            py::object mu = algo::getitem(dictionary, "mu");
            py::object cov = algo::getitem(dictionary, "cov");
            return f(scaled, pca, mu, cov, scaled.attr("index"));
        };
        if (buckets) {
            T2 = item0(t2_call());
        } else if (rolling_120 || rolling_60) {
            // One row: the mean T2 of all windows, stamped with the last one.
            py::object per_window = item0(t2_call());
            py::object mean = algo::getitem(per_window, "tsquare").attr("mean")();
            py::object last = per_window.attr("index")[py::int_(-1)];
            T2 = one_row(c, "tsquare", mean, last);
        }
        {
            py::object f = c("Health_Index");
            py::object t2 = T2.get();
            py::object ucl = algo::getitem(dictionary, "ucl");
            df_Talvo = f(t2, ucl, py::float_(0.9));
        }
        py::object df_pca_test = algo::getitem(t2_call(), py::int_(1));
        quenda_deadline = algo::getitem(dictionary, "quenda_deadline");
        // In the rolling modes T2 has one row, so an excursion of the mean is
        // traced in the first window.
        py::object f = c("analyze_T2_anomalies");
        py::object scaled = df_scaled.get();
        py::object t2 = T2.get();
        py::object pca = algo::getitem(dictionary, "pca");
        py::object ucl = algo::getitem(dictionary, "ucl");
        suspicious_variable = f(scaled, df_pca_test, df, t2, pca, ucl, "top_k"_a = 3);
    }
    py::object t2 = T2.get();
    py::object score = df_Talvo.get();
    py::object deadline = quenda_deadline.get();
    py::object variable = suspicious_variable.get();
    return success_form(t2, score, deadline, variable, flags);
}

}  // namespace

py::object testing_model(const algo::Call& c) {
    py::object df = c[0];
    py::object dictionary = c[1];
    // Read before the guard: a dictionary without it raises KeyError.
    py::object datetime_name = algo::getitem(dictionary, "datetime_name");
    algo::PipelineFlags flags;
    return md::run_pipeline(
        [&]() -> py::object { return scoring_pipeline(c, df, dictionary, datetime_name, flags); },
        [&](py::handle exc) -> py::object { return failure_form(flags, exc); });
}

}  // namespace talvo

TALVO_IMPL(testing_model,
           "Score new readings with a trained-model dictionary.\n\n"
           "Repeats the stored preparation (one row per second, codebook filter on lower\n"
           "limits, stored model columns, optional per-minute outlier filter, features and\n"
           "scaler), then returns {'T2', 'Talvo_Score', 'quenda_deadline',\n"
           "'suspicious_variable', 'is_error', 'error_code', 'error_stage', 'error_message'}.\n"
           "With fewer than 301 rows after the codebook filter (time-scale code not '0') the\n"
           "tables are one row of -1.0 stamped with the current second. Any failure gives the\n"
           "same keys with null values and the failing stage. Adds 'codebook_setup' (None) to a\n"
           "dictionary that lacks it.")
