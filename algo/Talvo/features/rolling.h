// Rolling-window feature table: one feature row per positional window.
#pragma once

#include "../functions.h"

namespace talvo {

py::object feature_extraction_rolling(const algo::Call& c);

}  // namespace talvo
