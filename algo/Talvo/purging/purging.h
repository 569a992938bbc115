// Outlier purging: the IQR filter, the Chebyshev/Cantelli T2 limit and purge
// loop, and the two training pipelines built on them.
#pragma once

#include <vector>

#include "../functions.h"

namespace talvo {

py::object IQR_outlier_percent_clean(const algo::Call& c);
py::object chebyshev_ucl(const algo::Call& c);
py::object purge_by_chebyshev(const algo::Call& c);
py::object outlier_clean(const algo::Call& c);
py::object outlier_chebyshev_T2_purging(const algo::Call& c);

}  // namespace talvo
