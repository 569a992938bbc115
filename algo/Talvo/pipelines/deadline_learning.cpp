// failure_deadline_learning: moves a model's failure deadlines with readings
// taken at failures.
//
// Each failure record is prepared as scoring prepares readings (without the
// codebook filter and the short-data check) and scored with the stored
// model; the 25 % quantile of its T2 values is the record's candidate. The
// deadlines move only towards an earlier alarm (the T2 deadline can only
// fall, the score deadline only rise), and only once every record went
// through.
#include "../../common/guard.h"
#include "../../common/pyhelpers.h"
#include "model_dictionary.h"
#include "prepare.h"

namespace talvo {

namespace {

namespace md = model_dict;

// Keys copied unchanged from the input dictionary around the two deadlines.
constexpr const char* kModelKeys[] = {"T2",  "Talvo_Score", "mu",  "cov",
                                      "ucl", "scaler",      "pca", "indicator_col_name"};
constexpr const char* kTrainingKeys[] = {"time_scale",
                                         "training_anomalies",
                                         "model_bias",
                                         "training_model_robust_index",
                                         "training_model_robust_status",
                                         "algo_config"};

py::object item0(const py::object& result) { return algo::getitem(result, py::int_(0)); }

// The 21-key success form: the input's entries (the same objects), the new
// deadlines, then the flags. Nothing else of the input is carried over.
py::dict success_form(py::handle dictionary, py::handle datetime_name, py::handle t2_deadline,
                      py::handle score_deadline, const algo::PipelineFlags& flags) {
    md::DictBuilder b;
    for (const char* key : kModelKeys) b.add(key, algo::getitem(dictionary, key));
    b.add("datetime_name", datetime_name)
        .add("quenda_deadline_t_square", t2_deadline)
        .add("quenda_deadline", score_deadline);
    for (const char* key : kTrainingKeys) b.add(key, algo::getitem(dictionary, key));
    b.add_success_flags(flags);
    return b.release();
}

// The 24-key failure form: the training failure form without
// "codebook_setup".
py::dict failure_form(const algo::PipelineFlags& flags, py::handle exc) {
    md::DictBuilder b;
    b.add_none({"T2", "Talvo_Score", "mu", "cov", "ucl", "scaler", "pca", "indicator_col_name"})
        .add("datetime_name", md::kDatetimeName)
        .add_none({"quenda_deadline_t_square", "quenda_deadline", "time_scale",
                   "training_anomalies", "model_bias", "training_model_robust_index"})
        .add("training_model_robust_status", md::kTextNone)
        .add_none({"algo_config", "build_time", "start_time", "end_time"})
        .add_failure_flags(flags, exc);
    return b.release();
}

py::object deadline_pipeline(const algo::Call& c, const py::object& dfs,
                             const py::object& dictionary, const py::object& datetime_name,
                             algo::PipelineFlags& flags) {
    flags.enter("Error_02");
    const prep::AlgoConfig cfg = prep::parse_algo_config(algo::getitem(dictionary, "algo_config"));
    py::list record_deadlines, record_quantiles;
    py::object np = c("np");

    const py::object& fe = cfg.feature_extraction_setting;
    const bool buckets = prep::code_is(fe, "1") || prep::code_is(fe, "3");
    const bool rolling_120 = prep::code_is(fe, "2");
    const bool rolling_60 = prep::code_is(fe, "4");

    // Locals of the loop body, kept across records as Python's would be.
    algo::Local df_scaled("df_scaled"), quenda_deadline_failure("quenda_deadline_failure"), q("q");
    for (py::handle record : dfs) {
        py::object df = py::reinterpret_borrow<py::object>(record);

        flags.enter("Error_01");
        df = prep::compress(c, df, datetime_name);

        flags.enter("Error_03");
        df = prep::select_numeric(c, df, datetime_name);
        auto picked = prep::pick_model_columns(df, datetime_name,
                                               algo::getitem(dictionary, "indicator_col_name"));
        df = picked.first;
        py::set wanted(picked.second);
        if (!algo::truthy(wanted.attr("issubset")(df.attr("columns"))))
            flags.record(md::kDeadlineFeaturesMismatch);
        if (prep::code_is(cfg.testing_outlier_clean, "1"))
            df = c("drop_outliers_by_min")(df, datetime_name);
        df = prep::parse_times(c, df, datetime_name);
        df = prep::drop_missing_times_and_index(df, datetime_name);

        flags.enter("Error_06");
        if (buckets) {
            py::object f = c("feature_extraction");
            py::object names = algo::getitem(dictionary, "indicator_col_name");
            py::object time_scale = algo::getitem(dictionary, "time_scale");
            df = item0(f(df, names, time_scale));
        } else if (rolling_120 || rolling_60) {
            py::object f = c("feature_extraction_rolling");
            py::object names = algo::getitem(dictionary, "indicator_col_name");
            df = item0(
                f(df, names, py::int_(rolling_120 ? 120 : 60), py::int_(rolling_120 ? 60 : 30)));
        }

        flags.enter("Error_07");
        if (prep::code_is(cfg.scale_setting, "1"))
            df_scaled = df;
        else if (prep::code_is(cfg.scale_setting, "2"))
            df_scaled = c("testing_scaler")(df, algo::getitem(dictionary, "scaler"));
        else if (prep::code_is(cfg.scale_setting, "3"))
            df_scaled = c("testing_minmax")(df, algo::getitem(dictionary, "scaler"));

        flags.enter("Error_08");
        if (prep::code_is(cfg.model_setting, "1")) {
            // Every row's T2 (every window in the rolling modes).
            py::object f = c("cal_T2");
            py::object scaled = df_scaled.get();
            py::object pca = algo::getitem(dictionary, "pca");
            py::object mu = algo::getitem(dictionary, "mu");
            py::object cov = algo::getitem(dictionary, "cov");
            py::object T2 = item0(f(scaled, pca, mu, cov, scaled.attr("index")));
            q = algo::getitem(T2, "tsquare").attr("quantile")(py::float_(0.25));
            py::object exponent =
                np.attr("log")(py::float_(0.9)) * q.get() / algo::getitem(dictionary, "ucl");
            quenda_deadline_failure = np.attr("exp")(exponent) * py::int_(100);
        }
        record_deadlines.append(quenda_deadline_failure.get());
        record_quantiles.append(q.get());
    }

    // Only after every record: the smaller T2 deadline and the larger score
    // deadline (the records' value on a tie).
    py::object stored_t2 = algo::py_float(algo::getitem(dictionary, "quenda_deadline_t_square"));
    py::object lowest = np.attr("min")(record_quantiles);
    py::object t2_deadline = algo::py_lt(stored_t2, lowest) ? stored_t2 : lowest;

    py::object stored_score = algo::py_float(algo::getitem(dictionary, "quenda_deadline"));
    py::object highest = np.attr("max")(record_deadlines);
    py::object score_deadline = algo::py_gt(stored_score, highest) ? stored_score : highest;

    return success_form(dictionary, datetime_name, t2_deadline, score_deadline, flags);
}

}  // namespace

py::object failure_deadline_learning(const algo::Call& c) {
    const py::object &dfs = c[0], &dictionary = c[1];
    // c[2], info: accepted and not used.
    // Read before the guard: a dictionary without it raises KeyError.
    py::object datetime_name = algo::getitem(dictionary, "datetime_name");
    algo::PipelineFlags flags;
    return md::run_pipeline(
        [&]() -> py::object { return deadline_pipeline(c, dfs, dictionary, datetime_name, flags); },
        [&](py::handle exc) -> py::object { return failure_form(flags, exc); });
}

}  // namespace talvo

TALVO_IMPL(failure_deadline_learning,
           "Move a model's failure deadlines with readings taken at failures.\n\n"
           "Each DataFrame of dfs is prepared, turned into features, scaled and scored with the\n"
           "stored model; the 25 % quantile q of its T2 values gives the deadline\n"
           "100 * 0.9 ** (q / ucl). 'quenda_deadline_t_square' becomes the smallest of the stored\n"
           "value and the records' quantiles, 'quenda_deadline' the largest of the stored value\n"
           "and the records' deadlines, so the alarm only comes earlier. Returns a new model\n"
           "dictionary (21 keys), or the 24-key failure form with the failing stage; info is\n"
           "not used.")
