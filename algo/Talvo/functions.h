// The module functions of algo.Talvo.Talvo, one implementation record each.
//
// Each subsystem file defines the records of the functions it implements with
// TALVO_IMPL. The declarations are weak, so the function table in module.cpp
// registers exactly the functions that are linked in and nothing else.
#pragma once

#include "../common/function.h"

namespace talvo {
namespace py = pybind11;
using namespace pybind11::literals;

struct Impl {
    algo::Body body;
    const char* doc;
};

}  // namespace talvo

#define TALVO_DECLARE(name) extern talvo::Impl name##_impl __attribute__((weak));

// In a subsystem file, after the body `py::object name(const algo::Call&)`:
#define TALVO_IMPL(name, doc) talvo::Impl name##_impl{&talvo::name, doc};

TALVO_DECLARE(rename_columns)
TALVO_DECLARE(feature_extraction)
TALVO_DECLARE(safe_resample_max)
TALVO_DECLARE(safe_resample_mean)
TALVO_DECLARE(feature_extraction_rolling)
TALVO_DECLARE(standardize)
TALVO_DECLARE(testing_scaler)
TALVO_DECLARE(minmax_scale)
TALVO_DECLARE(testing_minmax)
TALVO_DECLARE(health_modeling)
TALVO_DECLARE(cal_T2)
TALVO_DECLARE(Health_Index)
TALVO_DECLARE(T2_Anomaly_Rate)
TALVO_DECLARE(SPE_residual)
TALVO_DECLARE(find_T2_abnormal_times)
TALVO_DECLARE(find_SPE_abnormal_times)
TALVO_DECLARE(SPE_residual_testing)
TALVO_DECLARE(time_filter)
TALVO_DECLARE(drop_outliers_by_min)
TALVO_DECLARE(low_resolution)
TALVO_DECLARE(compress_by_second)
TALVO_DECLARE(feature_threshold_mapping)
TALVO_DECLARE(codebook_df_filter)
TALVO_DECLARE(training_model)
TALVO_DECLARE(testing_model)
TALVO_DECLARE(analyze_T2_anomalies)
TALVO_DECLARE(detect_bad_Talvo_zone)
TALVO_DECLARE(group_alert_times)
TALVO_DECLARE(IQR_outlier_percent_clean)
TALVO_DECLARE(outlier_clean)
TALVO_DECLARE(chebyshev_ucl)
TALVO_DECLARE(purge_by_chebyshev)
TALVO_DECLARE(outlier_chebyshev_T2_purging)
TALVO_DECLARE(training_model_GB_compare)
TALVO_DECLARE(failure_deadline_learning)
TALVO_DECLARE(pre_feature_training)
TALVO_DECLARE(pre_feature_light)
TALVO_DECLARE(ISO20816_overall)
TALVO_DECLARE(ISO20816_light)
