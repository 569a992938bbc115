// Native road of IQR_outlier_percent_clean. The quantiles match pandas'
// Series.quantile bit for bit: same level round trip, same virtual index,
// same interpolation formula in the column's own type (no fused
// multiply-add on the x86-64 baseline the modules are built for).
#include "iqr_kernel.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>

#include "../../common/numpy_rules.h"

namespace talvo::purging {

namespace {

template <class T>
void iqr_flag_column(const T* column, std::size_t n, double max_ratio, double iqr_k,
                     std::uint8_t* drop) {
    std::vector<T> values;
    values.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        if (!algo::is_missing(column[i])) values.push_back(column[i]);
    const std::size_t valid = values.size();
    if (valid == 0) return;  // no quartiles, no fences: nothing flagged

    auto outside = [&](double lower, double upper, std::uint8_t* flags) {
        lower = algo::comparison_scalar<T>(lower);
        upper = algo::comparison_scalar<T>(upper);
        std::size_t count = 0;
        // Strict comparisons; a missing value compares false and is never flagged.
        for (std::size_t i = 0; i < n; ++i) {
            const double v = static_cast<double>(column[i]);
            if (v < lower || v > upper) {
                ++count;
                if (flags) flags[i] = 1;
            }
        }
        return count;
    };

    const double quartile_levels[2] = {0.25, 0.75};
    double q[2];
    algo::linear_quantiles(values.data(), valid, quartile_levels, 2, q);
    const double iqr = q[1] - q[0];
    const double lower = q[0] - iqr_k * iqr;
    const double upper = q[1] + iqr_k * iqr;
    const double ratio =
        static_cast<double>(outside(lower, upper, nullptr)) / static_cast<double>(valid);
    if (ratio <= max_ratio) {
        outside(lower, upper, drop);
        return;
    }
    // Too many for the fences: the two tails of max_ratio / 2 each.
    const double half = max_ratio / 2.0;
    const double tail_levels[2] = {half, 1.0 - half};
    algo::linear_quantiles(values.data(), valid, tail_levels, 2, q);
    outside(q[0], q[1], drop);
}

void flag_column(const Column& c, std::size_t n, double max_ratio, double iqr_k,
                 std::uint8_t* drop) {
    algo::visit_kind(c.kind, [&](auto tag) {
        using T = typename decltype(tag)::type;
        iqr_flag_column(static_cast<const T*>(c.data), n, max_ratio, iqr_k, drop);
    });
}

}  // namespace

void iqr_flag_columns(const std::vector<Column>& columns, std::size_t n, double max_ratio,
                      double iqr_k, std::uint8_t* drop) {
    // Below about a million cells the threads cost more than they save.
    const std::size_t cells = columns.size() * n;
    std::size_t workers = std::min<std::size_t>(std::thread::hardware_concurrency(), 8);
    workers = std::min(workers, columns.size());
    if (cells < (std::size_t{1} << 20) || workers < 2) {
        for (const Column& column : columns)
            flag_column(column, n, max_ratio, iqr_k, drop);
        return;
    }

    std::atomic<std::size_t> next_column{0};
    std::vector<std::vector<std::uint8_t>> flags(workers);
    std::vector<std::exception_ptr> errors(workers);
    auto work = [&](std::size_t w) {
        try {
            flags[w].assign(n, 0);
            for (std::size_t j = next_column++; j < columns.size(); j = next_column++)
                flag_column(columns[j], n, max_ratio, iqr_k, flags[w].data());
        } catch (...) {
            errors[w] = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    try {
        for (std::size_t w = 1; w < workers; ++w) threads.emplace_back(work, w);
    } catch (...) {
        // No more threads to be had: the caller's share grows instead.
    }
    work(0);
    for (std::thread& t : threads) t.join();
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
    for (const std::vector<std::uint8_t>& f : flags)
        for (std::size_t i = 0; i < f.size(); ++i) drop[i] |= f[i];
}

}  // namespace talvo::purging
