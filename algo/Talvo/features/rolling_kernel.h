// Per-window maximum, mean and sample standard deviation over positional
// windows of numeric columns. Python-free; the caller validates the buffers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../../common/numeric_kind.h"

namespace talvo::rolling {

// Windows start at rows 0, step, 2*step, ... and hold `window` rows each;
// the last one ends at or before row n_rows - 1.
struct Layout {
    std::size_t n_rows;
    std::size_t window;  // 1 <= window <= n_rows
    std::size_t step;    // >= 1
    std::size_t n_windows() const { return (n_rows - window) / step + 1; }
};

// One column: n_rows values of `kind`, value i at data[i * stride] (stride
// in elements; 1 for a contiguous column).
struct Column {
    const void* data;
    std::ptrdiff_t stride;
    algo::NumKind kind;
    // pandas reduces a window of a block of several columns that is laid out
    // row-contiguous (a table made from a 2-D array) one row after another:
    // for the mean, unless the block misses a value in the window (then it
    // sums a zero-filled copy, pairwise); for the standard deviation of
    // integers always (of floats never: it works on a copy). Columns of such
    // a block in the window's selection of the indicator columns share its
    // number in mean_block (-1: none); std_sequential marks integer columns
    // of such a block in the selection of the time columns.
    int mean_block = -1;
    bool std_sequential = false;
    // A pandas masked (nullable) column, contiguous (stride 1): its mask
    // bytes (1 = missing), read like data. Null for a NumPy column.
    const std::uint8_t* mask = nullptr;
};

struct Options {
    // pandas takes standard deviations from bottleneck (its option
    // compute.use_bottleneck with bottleneck installed).
    bool bottleneck = true;
    // NumPy's buffer size: its reductions add pairwise within runs of this
    // many values and the runs one after another.
    std::size_t buffer = 8192;
    unsigned threads = 1;
};

// Fills the features of n_cols columns; the first n_std also get a standard
// deviation. `out` is column-major with n_windows rows: n_cols maxima, n_cols
// means, then n_std standard deviations, each in the column's own precision
// (float32 results widened exactly). Missing values (NaN) are skipped as
// pandas' DataFrame.max/mean/std(ddof=1) skip them, with their arithmetic
// and summation order:
//   max  - NaN when the window has no value;
//   mean - NumPy's sum in the column's float type (float64 for integers) with
//          NaN read as 0, over the non-NaN count;
//   std  - with bottleneck (float and int32/int64 columns), its two-pass
//          sequential sums (in float32 for float32 columns); a window whose
//          deviations of a type overflow to infinity is recomputed for that
//          type the way pandas then does; otherwise pandas' (or NumPy's) own
//          two-pass float64 sums, rounded to float32 before the root for
//          float32 columns; NaN below two values.
// A masked column is reduced as pandas reduces its masked array: the mask
// marks the missing values and a NaN is a value (it makes the window's mean
// NaN, so the window's row is dropped whatever its maximum);
//   max  - the maximum of the present values;
//   mean - NumPy's sum with where= in the column's type (pairwise over each
//          stretch of present values within runs of `buffer` values; 64-bit
//          integers, wrapping, for integer columns), divided in float64;
//   std  - pandas' own two-pass sums (never bottleneck), in float32 for a
//          float32 column only in windows missing no value.
// When `int_max` is not null (all columns are integers) the maxima go there
// instead, column-major, as int64 values (uint64 for uint64 columns), and
// out's maximum block is left untouched.
// Returns false when pandas gives a masked column's result of some window as
// missing (pd.NA: no present value, or a standard deviation that is NaN),
// which the per-window loop turns into an object column: the caller then
// needs that loop.
// Work is spread over up to options.threads threads (the caller included),
// by column for contiguous columns and by groups of adjacent columns and runs
// of windows (copied to contiguous scratch first) for strided ones.
bool window_features(const Column* cols, std::size_t n_cols, std::size_t n_std,
                     const Layout& layout, const Options& options, double* out,
                     std::uint64_t* int_max);

}  // namespace talvo::rolling
