// Features: time-bucketed and rolling-window feature tables. Bodies of module
// functions of the same names.
#pragma once

#include "../functions.h"

namespace talvo {

py::object feature_extraction(const algo::Call& c);

}  // namespace talvo
