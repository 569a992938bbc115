// Row and column screens of prepared readings: hourly completeness and
// low-resolution columns.
#pragma once

#include "../functions.h"

namespace talvo {

py::object time_filter(const algo::Call& c);
py::object low_resolution(const algo::Call& c);

}  // namespace talvo
