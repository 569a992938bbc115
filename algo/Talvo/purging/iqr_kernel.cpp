// Native road of IQR_outlier_percent_clean for float64 columns. The values
// match pandas' Series.quantile bit for bit: same level round trip, same
// virtual index, same interpolation formula (no fused multiply-add on the
// x86-64 baseline the modules are built for).
#include "iqr_kernel.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <thread>

namespace talvo::purging {

namespace {

// Order statistic k (0-based) of values[0..n), reordering them.
double order_stat(double* values, std::size_t n, std::size_t k) {
    std::nth_element(values, values + k, values + n);
    return values[k];
}

// NumPy's _lerp: a + (b - a) t, or b - (b - a)(1 - t) when t >= 0.5.
double lerp(double a, double b, double t) {
    const double diff = b - a;
    if (t >= 0.5) return b - diff * (1.0 - t);
    return a + diff * t;
}

}  // namespace

double linear_quantile(double* values, std::size_t n, double level) {
    // pandas hands NumPy percentiles (level * 100), which divides by 100.
    const double q = (level * 100.0) / 100.0;
    const double virtual_index = static_cast<double>(n - 1) * q;
    double previous_index = std::floor(virtual_index);
    std::size_t prev, next;
    if (virtual_index >= static_cast<double>(n - 1)) {
        prev = next = n - 1;
        previous_index = -1.0;  // NumPy takes the last element through index -1
    } else if (virtual_index < 0) {
        prev = next = 0;
        previous_index = 0.0;
    } else {
        prev = static_cast<std::size_t>(previous_index);
        next = prev + 1;
    }
    const double gamma = virtual_index - previous_index;
    const double a = order_stat(values, n, prev);
    // After nth_element everything right of prev is >= a: next is their minimum.
    const double b = next == prev ? a : *std::min_element(values + prev + 1, values + n);
    return lerp(a, b, gamma);
}

void iqr_flag_column(const double* column, std::size_t n, double max_ratio, double iqr_k,
                     std::uint8_t* drop, std::vector<double>& scratch) {
    scratch.clear();
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isnan(column[i])) scratch.push_back(column[i]);
    const std::size_t valid = scratch.size();
    if (valid == 0) return;  // no quartiles, no fences: nothing flagged

    const double q1 = linear_quantile(scratch.data(), valid, 0.25);
    const double q3 = linear_quantile(scratch.data(), valid, 0.75);
    const double iqr = q3 - q1;
    double lower = q1 - iqr_k * iqr;
    double upper = q3 + iqr_k * iqr;

    std::size_t outliers = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (column[i] < lower || column[i] > upper) ++outliers;
    const double ratio = static_cast<double>(outliers) / static_cast<double>(valid);
    if (!(ratio <= max_ratio)) {
        // Too many for the fences: the two tails of max_ratio / 2 each.
        const double half = max_ratio / 2.0;
        lower = linear_quantile(scratch.data(), valid, half);
        upper = linear_quantile(scratch.data(), valid, 1.0 - half);
    }
    // Strict comparisons; a missing value compares false and is never flagged.
    for (std::size_t i = 0; i < n; ++i)
        if (column[i] < lower || column[i] > upper) drop[i] = 1;
}

void iqr_flag_columns(const std::vector<const double*>& columns, std::size_t n, double max_ratio,
                      double iqr_k, std::uint8_t* drop) {
    // Below about a million cells the threads cost more than they save.
    const std::size_t cells = columns.size() * n;
    std::size_t workers = std::min<std::size_t>(std::thread::hardware_concurrency(), 8);
    workers = std::min(workers, columns.size());
    if (cells < (std::size_t{1} << 20) || workers < 2) {
        std::vector<double> scratch;
        for (const double* column : columns)
            iqr_flag_column(column, n, max_ratio, iqr_k, drop, scratch);
        return;
    }

    std::atomic<std::size_t> next_column{0};
    std::vector<std::vector<std::uint8_t>> flags(workers);
    std::vector<std::exception_ptr> errors(workers);
    auto work = [&](std::size_t w) {
        try {
            flags[w].assign(n, 0);
            std::vector<double> scratch;
            for (std::size_t j = next_column++; j < columns.size(); j = next_column++)
                iqr_flag_column(columns[j], n, max_ratio, iqr_k, flags[w].data(), scratch);
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
