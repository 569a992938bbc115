// Health model core: scaling, PCA model and T2, health score, SPE, root
// cause, bad zones. Bodies of module functions of the same names.
#pragma once

#include "../functions.h"

namespace talvo {

py::object standardize(const algo::Call& c);
py::object testing_scaler(const algo::Call& c);
py::object minmax_scale(const algo::Call& c);
py::object testing_minmax(const algo::Call& c);
py::object health_modeling(const algo::Call& c);
py::object cal_T2(const algo::Call& c);
py::object Health_Index(const algo::Call& c);
py::object T2_Anomaly_Rate(const algo::Call& c);
py::object find_T2_abnormal_times(const algo::Call& c);
py::object SPE_residual(const algo::Call& c);
py::object SPE_residual_testing(const algo::Call& c);

}  // namespace talvo
