// The trained-model dictionary and the result flags of the guarded pipelines.
//
// Training, scoring, deadline learning, the purging trainers and the
// remaining-life forecast all end their results with the same four text
// flags and share the diagnostic messages below. Each producer writes its
// own key order; the pieces here (an ordered builder that reads unset
// values the way Python code would, the flag writers, the guarded runner)
// let every producer state its form as a plain list of keys.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <utility>

#include "../../common/errors.h"
#include "../../common/function.h"
#include "../../common/guard.h"

namespace talvo::model_dict {
namespace py = pybind11;

// Diagnostic messages stored in "error_code". Recording one never stops a
// run; the last one recorded is the one reported.
inline constexpr const char* kNoDataAfterCodebook =
    "No data available. After codebook filtering, the remaining data is insufficient. "
    "Please confirm that most of the modeling values fall within the codebook ranges.";
inline constexpr const char* kNoDataDowntime =
    "No data available. Please verify whether most data are in a downtime status.";
inline constexpr const char* kDataNotSufficient = "Data is not sufficient for modeling.";
// "don’t" and "model’s" carry U+2019 (E2 80 99 in UTF-8).
inline constexpr const char* kDeadlineFeaturesMismatch =
    "The sensor features for deadline learning don\xE2\x80\x99t match the model\xE2\x80\x99s "
    "training features. Please make sure they are consistent.";

// Flag texts: the flags are always text, never booleans or None.
inline constexpr const char* kTextTrue = "True";
inline constexpr const char* kTextFalse = "False";
inline constexpr const char* kTextNone = "None";

// The time column name of every training result.
inline constexpr const char* kDatetimeName = "_time";

// A dictionary filled key by key in insertion order. Values given as
// algo::Local are read when added, so the first unset one raises the
// unbound-local error, as a Python dict display evaluating its values left to
// right would.
class DictBuilder {
public:
    DictBuilder& add(const char* key, py::handle value);
    DictBuilder& add(const char* key, const algo::Local& value) { return add(key, value.get()); }
    DictBuilder& add(const char* key, const char* text) { return add(key, py::str(text)); }
    DictBuilder& add_none(const char* key) { return add(key, py::none()); }
    DictBuilder& add_none(std::initializer_list<const char*> keys);

    // The four flags of a finished run: "False", the code, "None", "None".
    DictBuilder& add_success_flags(const algo::PipelineFlags& flags);
    // The four flags of a failed run: "True", the code, the stage, str(exc).
    DictBuilder& add_failure_flags(const algo::PipelineFlags& flags, py::handle exc);

    py::dict& dict() { return d_; }
    py::dict release() { return std::move(d_); }

private:
    py::dict d_;
};

// Runs `work()` (returning the result object) inside the pipelines' guard.
// On any exception of the `Exception` kind returns `failure(exc)` instead;
// KeyboardInterrupt, SystemExit and other BaseExceptions propagate.
template <class Work, class Failure>
py::object run_pipeline(Work&& work, Failure&& failure) {
    py::object result;
    py::object exc = algo::run_guarded([&] { result = std::forward<Work>(work)(); });
    if (exc) return std::forward<Failure>(failure)(exc);
    return result;
}

// The values of a training result, held as the pipeline's locals so that a
// value a branch left unset raises the unbound-local error with its own
// variable name when the result is built.
struct TrainingLocals {
    algo::Local T2{"T2"};
    algo::Local df_Talvo{"df_Talvo"};
    algo::Local model_mu{"model_mu"};
    algo::Local model_cov{"model_cov"};
    algo::Local ucl{"ucl"};
    algo::Local scaler{"scaler"};
    algo::Local pca{"pca"};
    algo::Local indicator_col_name{"indicator_col_name"};
    algo::Local quenda_deadline_t_square{"quenda_deadline_t_square"};
    algo::Local quenda_deadline{"quenda_deadline"};
    algo::Local time_scale{"time_scale"};
    algo::Local ucl_anomaly_rate{"ucl_anomaly_rate"};
    algo::Local spe_anomaly_ratio{"spe_anomaly_ratio"};
    algo::Local training_model_robust_index{"training_model_robust_index"};
    algo::Local training_model_robust_status{"training_model_robust_status"};
    algo::Local start_time{"start_time"};
    algo::Local end_time{"end_time"};
    algo::Local quenda_warning_line{"quenda_warning_line"};
};

// Keys 1 to 22 of the success form of training_model, in the canonical
// order: model entries, settings, then the success flags.
DictBuilder training_success_head(const TrainingLocals& v, py::handle algo_config,
                                  py::handle codebook, const algo::PipelineFlags& flags);

// The 25-key failure form of training_model: null model entries,
// "datetime_name" "_time", "training_model_robust_status" the text "None",
// null settings and times, then the failure flags.
py::dict training_failure_form(const algo::PipelineFlags& flags, py::handle exc);

// np.exp(np.log(0.9) * (t_square / ucl)) * 100: the health score (tightness
// 0.9, as the pipelines use it) at a T2 value, neither floored nor capped.
py::object score_at(const algo::Call& c, py::handle t_square, py::handle ucl);

// max(score_at(...), 0.0) by the interpreter's max: the deadline and warning
// scores of the trainers (NaN passes through).
py::object floored_score_at(const algo::Call& c, py::handle t_square, py::handle ucl);

// The robustness grade of a trained model: index = round(1 - max(anomaly
// rate, SPE ratio), 2) by the interpreter's max and round, status "verify"
// when the index is at least 0.9, else "warning".
struct Robustness {
    py::object index;
    py::str status;
};
Robustness robustness(const algo::Call& c, py::handle anomaly_rate, py::handle spe_ratio);

}  // namespace talvo::model_dict
