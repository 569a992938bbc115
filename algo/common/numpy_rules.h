// NumPy's arithmetic where the kernels must match it to the last bit:
// linear-interpolation quantiles of a column of any reading kind, and the
// comparison of such a column with a float64 scalar. Python-free.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <type_traits>

#include "numeric_kind.h"

namespace algo {

// Where quantile `level` falls among n sorted values (n >= 1), as NumPy's
// default method places it: q = level * 100 / 100 (pandas hands NumPy
// percentiles), virtual index (n - 1) q, neighbours lo and lo + 1 at weight
// gamma. From the last position on both neighbours are the last value and
// gamma counts from index -1; below position 0 both are the first value.
struct QuantilePlace {
    std::size_t lo;
    bool single;  // both neighbours are values[lo]
    double gamma;
};

inline QuantilePlace quantile_place(std::size_t n, double level) {
    const double q = (level * 100.0) / 100.0;
    const double vi = static_cast<double>(n - 1) * q;
    if (vi >= static_cast<double>(n - 1)) return {n - 1, true, vi + 1.0};
    if (vi < 0) return {0, true, vi};
    const double lo = std::floor(vi);
    return {static_cast<std::size_t>(lo), false, vi - lo};
}

// NumPy's _lerp between neighbours a <= b taken from an array of T: the
// difference in T's own arithmetic (integers wrap), the rest in float64.
template <class T>
inline double numpy_lerp(T a, T b, double gamma) {
    const double d = static_cast<double>(own_difference(b, a));
    return gamma >= 0.5 ? static_cast<double>(b) - d * (1.0 - gamma)
                        : static_cast<double>(a) + d * gamma;
}

// The quantiles of values[0..n) (n >= 1, no missing value) at `count`
// levels, into out; values are reordered (selection, no sort). Ascending
// levels select each order statistic among the values right of the last.
template <class T>
void linear_quantiles(T* values, std::size_t n, const double* levels, std::size_t count,
                      double* out) {
    std::size_t placed = n;  // position of the last order statistic put in place
    std::size_t from = 0;    // values[from..n) are all >= values[placed]
    for (std::size_t i = 0; i < count; ++i) {
        const QuantilePlace p = quantile_place(n, levels[i]);
        if (p.lo != placed) {
            std::nth_element(values + (p.lo >= from ? from : 0), values + p.lo, values + n);
            placed = p.lo;
            from = p.lo + 1;
        }
        const T a = values[p.lo];
        // Right of lo everything is >= a: the next order statistic is their minimum.
        const T b = p.single ? a : *std::min_element(values + p.lo + 1, values + n);
        out[i] = numpy_lerp(a, b, p.gamma);
    }
}

// pandas' quantile of an integer column that had to skip missing values
// comes back in the column's type T when it is a whole number T holds (the
// float64 result equals its cast to T); false otherwise.
template <class T>
inline bool whole_in(double q, T& out) {
    static_assert(std::is_integral_v<T>);
    // max() + 1 is the first whole number beyond T (for the 64-bit types
    // max() itself rounds to it).
    constexpr double lo = static_cast<double>(std::numeric_limits<T>::lowest());
    constexpr double beyond = static_cast<double>(std::numeric_limits<T>::max()) + 1.0;
    if (!(q >= lo && q < beyond) || std::floor(q) != q) return false;
    out = static_cast<T>(q);
    return true;
}

// A float64 scalar as NumPy compares an array of T with it: a float32 array
// compares in float32, the scalar rounded to float32, unless the scalar is
// finite and at least 3.4e38 in size (its minimal type is then float64);
// integer and float64 arrays compare in float64.
template <class T>
inline double comparison_scalar(double fence) {
    if constexpr (std::is_same_v<T, float>) {
        if (!std::isfinite(fence) || std::fabs(fence) < 3.4e38)
            return static_cast<double>(static_cast<float>(fence));
    }
    return fence;
}

}  // namespace algo
