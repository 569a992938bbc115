// Time-series preparation: canonical column names, one row per second,
// chunked resampling. Bodies of module functions of the same names.
#pragma once

#include "../functions.h"

namespace talvo {

py::object rename_columns(const algo::Call& c);
py::object compress_by_second(const algo::Call& c);
py::object safe_resample_max(const algo::Call& c);
py::object safe_resample_mean(const algo::Call& c);

}  // namespace talvo
