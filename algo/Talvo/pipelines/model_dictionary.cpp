// The trained-model dictionary forms and the result flags.
#include "model_dictionary.h"

#include "../../common/pyhelpers.h"

namespace talvo::model_dict {

DictBuilder& DictBuilder::add(const char* key, py::handle value) {
    if (PyDict_SetItemString(d_.ptr(), key, value.ptr()) != 0) throw py::error_already_set();
    return *this;
}

DictBuilder& DictBuilder::add_none(std::initializer_list<const char*> keys) {
    for (const char* key : keys) add_none(key);
    return *this;
}

DictBuilder& DictBuilder::add_success_flags(const algo::PipelineFlags& flags) {
    return add("is_error", kTextFalse)
        .add("error_code", flags.code)
        .add("error_stage", kTextNone)
        .add("error_message", kTextNone);
}

DictBuilder& DictBuilder::add_failure_flags(const algo::PipelineFlags& flags, py::handle exc) {
    // str(e) of the caught exception, as the handler would write it.
    py::str message(exc);
    return add("is_error", kTextTrue)
        .add("error_code", flags.code)
        .add("error_stage", flags.stage)
        .add("error_message", message);
}

DictBuilder training_success_head(const TrainingLocals& v, py::handle algo_config,
                                  py::handle codebook, const algo::PipelineFlags& flags) {
    DictBuilder b;
    b.add("T2", v.T2)
        .add("Talvo_Score", v.df_Talvo)
        .add("mu", v.model_mu)
        .add("cov", v.model_cov)
        .add("ucl", v.ucl)
        .add("scaler", v.scaler)
        .add("pca", v.pca)
        .add("indicator_col_name", v.indicator_col_name)
        .add("datetime_name", kDatetimeName)
        .add("quenda_deadline_t_square", v.quenda_deadline_t_square)
        .add("quenda_deadline", v.quenda_deadline)
        .add("time_scale", v.time_scale)
        .add("training_anomalies", v.ucl_anomaly_rate)
        .add("model_bias", v.spe_anomaly_ratio)
        .add("training_model_robust_index", v.training_model_robust_index)
        .add("training_model_robust_status", v.training_model_robust_status)
        .add("algo_config", algo_config)
        .add("codebook_setup", codebook)
        .add_success_flags(flags);
    return b;
}

py::dict training_failure_form(const algo::PipelineFlags& flags, py::handle exc) {
    DictBuilder b;
    b.add_none({"T2", "Talvo_Score", "mu", "cov", "ucl", "scaler", "pca", "indicator_col_name"})
        .add("datetime_name", kDatetimeName)
        .add_none({"quenda_deadline_t_square", "quenda_deadline", "time_scale",
                   "training_anomalies", "model_bias", "training_model_robust_index"})
        .add("training_model_robust_status", kTextNone)
        .add_none({"algo_config", "build_time", "start_time", "end_time", "codebook_setup"})
        .add_failure_flags(flags, exc);
    return b.release();
}

py::object score_at(const algo::Call& c, py::handle t_square, py::handle ucl) {
    py::object np = c("np");
    py::object ratio = py::reinterpret_borrow<py::object>(t_square) / ucl;
    return np.attr("exp")(np.attr("log")(py::float_(0.9)) * ratio) * py::int_(100);
}

py::object floored_score_at(const algo::Call& c, py::handle t_square, py::handle ucl) {
    return c("max")(score_at(c, t_square, ucl), py::float_(0.0));
}

Robustness robustness(const algo::Call& c, py::handle anomaly_rate, py::handle spe_ratio) {
    py::object worst = c("max")(anomaly_rate, spe_ratio);
    py::object index = c("round")(py::int_(1) - worst, 2);
    return {index, py::str(algo::py_ge(index, py::float_(0.9)) ? "verify" : "warning")};
}

}  // namespace talvo::model_dict
