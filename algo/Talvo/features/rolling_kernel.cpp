#include "rolling_kernel.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <new>
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

// pandas' own two-pass variance (used when bottleneck's result is infinite),
// over rows [r0, r0 + n) of a column of the given stride.
double pandas_std(const double* col, std::ptrdiff_t stride, std::size_t r0, std::size_t n) {
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = col[static_cast<std::ptrdiff_t>(r0 + i) * stride];
    std::size_t count = 0;
    for (double v : x) count += !std::isnan(v);
    if (count <= 1) return kNaN;
    const double cnt = static_cast<double>(count);
    const double avg = (0.0 + pairwise_sum(x.data(), n, zero_nan)) / cnt;
    const double sqr = 0.0 + pairwise_sum(x.data(), n, [avg](double v) {
                           if (std::isnan(v)) return 0.0;
                           const double d = avg - v;
                           return d * d;
                       });
    return std::sqrt(sqr / (cnt - 1.0));
}

// Windows [w_begin, w_end) of one column; `x` holds the column's rows from
// row `r0` on, contiguously.
void one_column(const double* x, std::size_t r0, const Layout& L, std::size_t w_begin,
                std::size_t w_end, double* out_max, double* out_mean, double* out_std) {
    for (std::size_t w = w_begin; w < w_end; ++w) {
        const double* a = x + (w * L.step - r0);
        const std::size_t n = L.window;
        double mx = -std::numeric_limits<double>::infinity();
        double seq = 0.0;  // sequential sum of the values, for the std mean
        std::size_t count = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double v = a[i];
            if (v == v) {
                ++count;
                seq += v;
                mx = v > mx ? v : mx;
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

// One unit of work: a group of adjacent columns over a run of windows.
struct Task {
    std::size_t col_begin, col_end, w_begin, w_end;
};

}  // namespace

void window_features(const double* const* cols, const std::ptrdiff_t* strides, std::size_t n_cols,
                     std::size_t n_std, const Layout& L, double* out, unsigned threads) {
    const std::size_t nw = L.n_windows();
    auto block = [&](std::size_t b, std::size_t j) { return out + (b * n_cols + j) * nw; };

    // Contiguous columns: one task each, all windows. Strided columns: groups
    // of eight neighbours (one cache line per row when they are interleaved)
    // over runs of windows spanning about 32k rows, gathered to scratch.
    constexpr std::size_t kGroup = 8, kRows = 32768;
    const std::size_t run = std::max<std::size_t>(1, kRows / L.step);
    std::vector<Task> tasks;
    for (std::size_t j = 0; j < n_cols;) {
        if (strides[j] == 1) {
            tasks.push_back({j, j + 1, 0, nw});
            ++j;
            continue;
        }
        std::size_t end = j + 1;
        while (end < n_cols && end - j < kGroup && strides[end] != 1) ++end;
        for (std::size_t w = 0; w < nw; w += run)
            tasks.push_back({j, end, w, std::min(nw, w + run)});
        j = end;
    }

    auto work = [&](const Task& t, std::vector<double>& scratch) {
        const std::size_t r0 = t.w_begin * L.step;
        const std::size_t rows = (t.w_end - 1) * L.step + L.window - r0;
        const std::size_t k = t.col_end - t.col_begin;
        if (strides[t.col_begin] != 1) {
            scratch.resize(k * rows);
            for (std::size_t i = 0; i < rows; ++i)
                for (std::size_t c = 0; c < k; ++c)
                    scratch[c * rows + i] =
                        cols[t.col_begin + c]
                            [static_cast<std::ptrdiff_t>(r0 + i) * strides[t.col_begin + c]];
        }
        for (std::size_t c = 0; c < k; ++c) {
            const std::size_t j = t.col_begin + c;
            const double* x = strides[j] == 1 ? cols[j] + r0 : scratch.data() + c * rows;
            one_column(x, r0, L, t.w_begin, t.w_end, block(0, j), block(1, j),
                       j < n_std ? block(2, j) : nullptr);
        }
    };

    // Small tables are not worth a thread start: about 256k values a thread.
    const std::size_t by_size = 1 + L.n_rows * n_cols / (std::size_t{1} << 18);
    const unsigned n_threads = static_cast<unsigned>(std::max<std::size_t>(
        1, std::min({static_cast<std::size_t>(threads), tasks.size(), by_size})));
    // Workers take tasks until none is left; the calling thread works too, so
    // a thread that cannot be started only costs speed. A failed scratch
    // allocation stops every worker and is reported once all have joined
    // (an exception must not leave a worker thread).
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    auto worker = [&]() noexcept {
        try {
            std::vector<double> scratch;
            for (std::size_t i; !failed && (i = next.fetch_add(1)) < tasks.size();)
                work(tasks[i], scratch);
        } catch (...) {
            failed = true;
        }
    };
    std::vector<std::thread> pool;
    try {
        for (unsigned t = 1; t < n_threads; ++t) pool.emplace_back(worker);
    } catch (...) {
        // fewer helpers than planned
    }
    worker();
    for (auto& th : pool) th.join();
    if (failed) throw std::bad_alloc();

    // pandas recomputes a window's standard deviations its own way when
    // bottleneck returned an infinite one for any column of the window.
    if (n_std == 0) return;
    const double* std0 = out + 2 * n_cols * nw;
    for (std::size_t w = 0; w < nw; ++w) {
        bool inf = false;
        for (std::size_t j = 0; j < n_std && !inf; ++j) inf = std::isinf(std0[j * nw + w]);
        if (!inf) continue;
        for (std::size_t j = 0; j < n_std; ++j)
            out[(2 * n_cols + j) * nw + w] = pandas_std(cols[j], strides[j], w * L.step, L.window);
    }
}

}  // namespace talvo::rolling
