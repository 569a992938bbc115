// The hybrid IQR outlier rule over numeric columns, without the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../../common/numeric_kind.h"

namespace talvo::purging {

// One column: n contiguous, aligned elements of `kind` (NaN = missing).
struct Column {
    const void* data;
    algo::NumKind kind;
};

// The rule over several columns of n rows each, ORing every column's flags
// into drop (never clearing one). Per column: Q1 and Q3 of the non-missing
// values (NumPy's linear quantiles in the column's type, as pandas'
// Series.quantile takes them) give the fences Q1 - k IQR and Q3 + k IQR;
// values strictly outside are flagged, unless that flags more than max_ratio
// of the non-missing values: then the values strictly outside the
// max_ratio / 2 and 1 - max_ratio / 2 quantiles are flagged instead. Values
// are compared with the float64 fences as NumPy compares the column with a
// scalar (float32 columns in float32; a caller whose float32 comparisons
// pandas hands to numexpr keeps those columns out of the kernel).
// Requires 0 <= max_ratio <= 1. Large tables are split by column over
// worker threads, each with its own flag buffer; an exception of a worker
// is rethrown after all have joined.
void iqr_flag_columns(const std::vector<Column>& columns, std::size_t n, double max_ratio,
                      double iqr_k, std::uint8_t* drop);

}  // namespace talvo::purging
