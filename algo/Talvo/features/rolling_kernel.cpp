#include "rolling_kernel.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

namespace talvo::rolling {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// NumPy's pairwise summation (blocks of 128, eight accumulators), the order
// in which `ndarray.sum(axis=1)` adds a contiguous row; f maps each value.
template <class F>
double pairwise_sum(const double* a, std::size_t n, const F& f) {
    if (n < 8) {
        double res = 0.;
        for (std::size_t i = 0; i < n; ++i) res += f(a[i]);
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int k = 0; k < 8; ++k) r[k] = f(a[k]);
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int k = 0; k < 8; ++k) r[k] += f(a[i + k]);
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += f(a[i]);
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2, f) + pairwise_sum(a + n2, n - n2, f);
}

inline double zero_nan(double v) { return std::isnan(v) ? 0.0 : v; }

// pandas' own two-pass variance (used when bottleneck's result is infinite).
double pandas_std(const double* x, std::size_t n) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) count += !std::isnan(x[i]);
    if (count <= 1) return kNaN;
    const double cnt = static_cast<double>(count);
    const double avg = (0.0 + pairwise_sum(x, n, zero_nan)) / cnt;
    const double sqr = 0.0 + pairwise_sum(x, n, [avg](double v) {
                           if (std::isnan(v)) return 0.0;
                           const double d = avg - v;
                           return d * d;
                       });
    return std::sqrt(sqr / (cnt - 1.0));
}

void one_column(const double* x, const Layout& L, std::size_t nw, double* out_max, double* out_mean,
                double* out_std) {
    for (std::size_t w = 0; w < nw; ++w) {
        const double* a = x + w * L.step;
        const std::size_t n = L.window;
        double mx = -std::numeric_limits<double>::infinity();
        double seq = 0.0;  // sequential sum of the values, for the std mean
        std::size_t count = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double v = a[i];
            if (v == v) {
                ++count;
                seq += v;
                if (v > mx) mx = v;
            }
        }
        out_max[w] = count ? mx : kNaN;
        const double cnt = static_cast<double>(count);
        out_mean[w] = count ? (0.0 + pairwise_sum(a, n, zero_nan)) / cnt : kNaN;
        if (out_std) {
            if (count > 1) {
                const double mean = seq / cnt;
                double ss = 0.0;
                for (std::size_t i = 0; i < n; ++i) {
                    const double v = a[i];
                    if (v == v) {
                        const double d = v - mean;
                        ss += d * d;
                    }
                }
                out_std[w] = std::sqrt(ss / (cnt - 1.0));
            } else {
                out_std[w] = kNaN;
            }
        }
    }
}

}  // namespace

void window_features(const double* const* cols, std::size_t n_cols, std::size_t n_std,
                     const Layout& L, double* out, unsigned threads) {
    const std::size_t nw = L.n_windows();
    auto column_ptr = [&](std::size_t block, std::size_t j) {
        return out + (block * n_cols + j) * nw;
    };
    auto work = [&](std::size_t j) {
        one_column(cols[j], L, nw, column_ptr(0, j), column_ptr(1, j),
                   j < n_std ? out + (2 * n_cols + j) * nw : nullptr);
    };

    const unsigned n_threads =
        static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(threads, n_cols)));
    if (n_threads <= 1) {
        for (std::size_t j = 0; j < n_cols; ++j) work(j);
    } else {
        std::atomic<std::size_t> next{0};
        std::vector<std::thread> pool;
        pool.reserve(n_threads);
        for (unsigned t = 0; t < n_threads; ++t)
            pool.emplace_back([&] {
                for (std::size_t j; (j = next.fetch_add(1)) < n_cols;) work(j);
            });
        for (auto& th : pool) th.join();
    }

    // pandas recomputes a window's standard deviations its own way when
    // bottleneck returned an infinite one for any column of the window.
    if (n_std == 0) return;
    const double* std0 = out + 2 * n_cols * nw;
    for (std::size_t w = 0; w < nw; ++w) {
        bool inf = false;
        for (std::size_t j = 0; j < n_std && !inf; ++j) inf = std::isinf(std0[j * nw + w]);
        if (!inf) continue;
        for (std::size_t j = 0; j < n_std; ++j)
            out[(2 * n_cols + j) * nw + w] = pandas_std(cols[j] + w * L.step, L.window);
    }
}

}  // namespace talvo::rolling
