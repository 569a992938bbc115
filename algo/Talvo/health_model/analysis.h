// Host-facing analysis of health-model results: SPE abnormal times with their
// top contributions, bad health-score zones and alert grouping.
#pragma once

#include "../functions.h"

namespace talvo {

py::object find_SPE_abnormal_times(const algo::Call& c);
py::object detect_bad_Talvo_zone(const algo::Call& c);
py::object group_alert_times(const algo::Call& c);

}  // namespace talvo
