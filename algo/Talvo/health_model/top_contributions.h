// Per-row ranking of squared values over a strided matrix of floats.
#pragma once

#include <cstddef>
#include <cstdint>

namespace talvo {

// For each selected row rows[i] of an n_total x n_cols matrix of T, float or
// double (element (r, j) at data[r * row_stride + j * col_stride], strides in
// elements), squares the values in T (as NumPy squares them) and orders the
// columns by their squared value, largest first, NaN squares last, ties and
// NaNs in column order, and writes the first `keep` of them:
// out_cols[i * keep + r] = column position, out_vals[i * keep + r] = square.
// keep must not exceed n_cols. Returns false, writing nothing, when a row
// position lies outside [0, n_total).
template <class T>
bool rank_squared_rows(const T* data, std::size_t n_total, std::size_t n_cols,
                       std::ptrdiff_t row_stride, std::ptrdiff_t col_stride,
                       const std::int64_t* rows, std::size_t n_rows, std::size_t keep,
                       std::int64_t* out_cols, double* out_vals);

}  // namespace talvo
