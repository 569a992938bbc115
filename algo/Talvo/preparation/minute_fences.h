// Per-minute interquartile fences over time-stamped columns (no Python).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "../../common/numeric_kind.h"

namespace talvo::minute_fences {

// One column: n contiguous, aligned elements of `kind`, and for a pandas
// masked (nullable) column its n mask bytes (1 = missing). In a masked
// column a NaN is a value, as pandas takes it: it makes its minute's
// quartiles NaN.
struct Column {
    const void* data;
    algo::NumKind kind;
    const std::uint8_t* mask = nullptr;
};

// How the fences are formed from the quartiles (the fence factor's type
// decides NumPy's arithmetic).
struct Factor {
    double k;
    // A bool factor: with the float32 quartiles of a float32 column holding
    // missing values, k * IQR and the fences stay float32; with quartiles in
    // an integer type T, they stay in T.
    bool is_bool = false;
    // A Python int factor: with quartiles in an integer type T, k * IQR and
    // the fences are int64 (float64 for uint64).
    bool is_int = false;
};

// NaT of a datetime64[ns] buffer.
inline constexpr std::int64_t kNaT = INT64_MIN;

// Rows that survive the per-minute fences, as row positions in time order.
//
// times: n nanosecond stamps (kNaT rows belong to no minute and are dropped).
// Rows are grouped into minutes of 60 s starting at `origin` + j * 60 s
// (origin: any stamp on a bin edge). For each column and minute, Q1 and Q3
// of the non-missing values of all the minute's rows give the inclusive
// fences Q1 - k IQR and Q3 + k IQR, with pandas' arithmetic for the column's
// type: quartiles interpolated by NumPy's rule in the column's type; for a
// minute in which the column misses a value, rounded to float32 for a
// float32 column and kept in T for an integer column of type T when they are
// whole numbers T holds; compared as NumPy compares the column with the
// fence scalar. A row survives when every column's value lies within its
// minute's fences (a missing value never does). Output is ordered by time,
// rows with equal stamps in input order (stable). `threads` > 1 spreads the
// columns over that many threads. Nothing when a float32 column without a
// mask meets a minute of more than `float32_rows` rows (pandas may compare
// those in float64).
std::optional<std::vector<std::int64_t>> survivors(const std::int64_t* times, std::size_t n,
                                                   const std::vector<Column>& columns,
                                                   Factor factor, std::int64_t origin,
                                                   std::size_t float32_rows, unsigned threads);

}  // namespace talvo::minute_fences
