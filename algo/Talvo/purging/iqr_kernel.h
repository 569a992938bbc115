// The hybrid IQR outlier rule over float64 columns, without the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace talvo::purging {

// Quantile of `values` (n > 0 finite-or-infinite doubles, no NaN) at `level`
// by linear interpolation between order statistics, with the arithmetic of
// pandas' Series.quantile (the level goes through level * 100 / 100, the
// virtual index is (n - 1) * level, the interpolation is NumPy's _lerp).
// Reorders `values`.
double linear_quantile(double* values, std::size_t n, double level);

// One column of the hybrid rule: `column` holds `n` values (NaN = missing).
// Flags values outside [Q1 - k IQR, Q3 + k IQR] unless that flags more than
// max_ratio of the non-missing values; then flags values outside the
// max_ratio / 2 and 1 - max_ratio / 2 quantiles instead. Sets drop[i] = 1
// for every flagged row (never clears). `scratch` is reused between columns.
// Requires 0 <= max_ratio <= 1.
void iqr_flag_column(const double* column, std::size_t n, double max_ratio, double iqr_k,
                     std::uint8_t* drop, std::vector<double>& scratch);

// The rule over several columns of n rows each, ORing every column's flags
// into drop. Large tables are split by column over worker threads, each
// with its own flag buffer; an exception of a worker is rethrown after all
// have joined.
void iqr_flag_columns(const std::vector<const double*>& columns, std::size_t n, double max_ratio,
                      double iqr_k, std::uint8_t* drop);

}  // namespace talvo::purging
