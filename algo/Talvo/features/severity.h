// Learned warning/alert limits, ISO 20816 severity limits and their lights.
#pragma once

#include "../functions.h"

namespace talvo {

py::object pre_feature_training(const algo::Call& c);
py::object pre_feature_light(const algo::Call& c);
py::object ISO20816_overall(const algo::Call& c);
py::object ISO20816_light(const algo::Call& c);

}  // namespace talvo
