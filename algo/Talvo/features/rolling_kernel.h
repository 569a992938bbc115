// Per-window maximum, mean and sample standard deviation over positional
// windows of float64 columns. Python-free; the caller validates the buffers.
#pragma once

#include <cstddef>

namespace talvo::rolling {

// Windows start at rows 0, step, 2*step, ... and hold `window` rows each;
// the last one ends at or before row n_rows - 1.
struct Layout {
    std::size_t n_rows;
    std::size_t window;  // 1 <= window <= n_rows
    std::size_t step;    // >= 1
    std::size_t n_windows() const { return (n_rows - window) / step + 1; }
};

// Column j holds n_rows values at cols[j][i * strides[j]] (strides in
// elements; 1 for a contiguous column).
//
// Fills the feature matrix for n_cols columns of n_rows values.
// `out` is column-major with n_windows rows: first n_cols maxima, then n_cols
// means, then the standard deviations of the first n_std columns. Missing
// values (NaN) are skipped as pandas' DataFrame.max/mean/std(ddof=1) skip
// them, with the same summation order, so the values match bit for bit:
//   max  - NaN when the window has no value;
//   mean - NumPy's pairwise sum with NaN read as 0, over the non-NaN count;
//   std  - the two-pass sequential sums bottleneck uses, NaN below two values;
//          a window whose deviations overflow to infinity is recomputed the
//          way pandas does then (pairwise two-pass).
// Work is spread over up to `threads` threads (the caller included), by column for
// contiguous columns and by groups of adjacent columns and runs of windows
// (copied to contiguous scratch first) for strided ones.
void window_features(const double* const* cols, const std::ptrdiff_t* strides, std::size_t n_cols,
                     std::size_t n_std, const Layout& layout, double* out, unsigned threads);

}  // namespace talvo::rolling
