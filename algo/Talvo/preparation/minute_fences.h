// Per-minute interquartile fences over time-stamped columns (no Python).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace talvo::minute_fences {

// Element type of one column buffer.
enum class Kind { f64, i8, i16, i32, i64, u8, u16, u32, u64 };

// One column: `n` elements of `kind`, element i at data + i * stride bytes.
struct Column {
    const void* data;
    std::ptrdiff_t stride;
    Kind kind;
};

// NaT of a datetime64[ns] buffer.
inline constexpr std::int64_t kNaT = INT64_MIN;

// Linear-interpolation quantile of `sorted[0..n)` (n >= 1), evaluated the
// way NumPy's default method does it (virtual index (n - 1) q, and the lerp
// a + (b - a) g, or b - (b - a) (1 - g) from g >= 0.5), so results match
// bit for bit, infinities included.
double linear_quantile(const double* sorted, std::size_t n, double q);

// Rows that survive the per-minute fences, as row positions in time order.
//
// times: n nanosecond stamps (kNaT rows belong to no minute and are dropped).
// Rows are grouped by clock minute (floor(t / 60 s)); for each column and
// minute, Q1 and Q3 of the non-NaN values of all the minute's rows give the
// inclusive fences Q1 - k IQR and Q3 + k IQR. A row survives when every
// column's value lies within its minute's fences (NaN never does). Output is
// ordered by time, rows with equal stamps in input order (stable).
// `threads` > 1 spreads the columns over that many threads.
std::vector<std::int64_t> survivors(const std::int64_t* times, std::size_t n,
                                    const std::vector<Column>& columns, double k, unsigned threads);

}  // namespace talvo::minute_fences
