// Codebook setting to threshold map, and the row filter that applies it.
#pragma once

#include "../functions.h"

namespace talvo {

py::object feature_threshold_mapping(const algo::Call& c);
py::object codebook_df_filter(const algo::Call& c);

}  // namespace talvo
