#include "top_contributions.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace talvo {

template <class T>
bool rank_squared_rows(const T* data, std::size_t n_total, std::size_t n_cols,
                       std::ptrdiff_t row_stride, std::ptrdiff_t col_stride,
                       const std::int64_t* rows, std::size_t n_rows, std::size_t keep,
                       std::int64_t* out_cols, double* out_vals) {
    if (keep > n_cols) return false;
    for (std::size_t i = 0; i < n_rows; ++i)
        if (rows[i] < 0 || static_cast<std::uint64_t>(rows[i]) >= n_total) return false;
    if (keep == 0) return true;

    std::vector<T> sq(n_cols);
    std::vector<std::size_t> order(n_cols);
    // Strict weak order: non-NaN before NaN, larger square first, then column
    // position; a total order, so partial_sort yields the stable ranking.
    auto before = [&sq](std::size_t a, std::size_t b) {
        const bool na = std::isnan(sq[a]), nb = std::isnan(sq[b]);
        if (na != nb) return nb;
        if (!na && sq[a] != sq[b]) return sq[a] > sq[b];
        return a < b;
    };
    for (std::size_t i = 0; i < n_rows; ++i) {
        const T* row = data + static_cast<std::ptrdiff_t>(rows[i]) * row_stride;
        for (std::size_t j = 0; j < n_cols; ++j) {
            const T v = row[static_cast<std::ptrdiff_t>(j) * col_stride];
            sq[j] = v * v;
            order[j] = j;
        }
        std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(keep),
                          order.end(), before);
        for (std::size_t r = 0; r < keep; ++r) {
            out_cols[i * keep + r] = static_cast<std::int64_t>(order[r]);
            out_vals[i * keep + r] = sq[order[r]];
        }
    }
    return true;
}

template bool rank_squared_rows(const float*, std::size_t, std::size_t, std::ptrdiff_t,
                                std::ptrdiff_t, const std::int64_t*, std::size_t, std::size_t,
                                std::int64_t*, double*);
template bool rank_squared_rows(const double*, std::size_t, std::size_t, std::ptrdiff_t,
                                std::ptrdiff_t, const std::int64_t*, std::size_t, std::size_t,
                                std::int64_t*, double*);

}  // namespace talvo
