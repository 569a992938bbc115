#include "rolling_kernel.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <new>
#include <thread>
#include <type_traits>
#include <vector>

namespace talvo::rolling {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The accumulator NumPy and bottleneck sum a column of T in: float32 for
// float32, float64 for everything else.
template <class T>
using Acc = std::conditional_t<std::is_same_v<T, float>, float, double>;

// NumPy's pairwise summation (blocks of 128, eight accumulators), the order
// in which it adds a contiguous run; f maps each value to the sum type S.
template <class S, class T, class F>
S pairwise_sum(const T* a, std::size_t n, const F& f) {
    if (n < 8) {
        S res = 0;
        for (std::size_t i = 0; i < n; ++i) res += f(a[i]);
        return res;
    }
    if (n <= 128) {
        S r[8];
        for (int k = 0; k < 8; ++k) r[k] = f(a[k]);
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int k = 0; k < 8; ++k) r[k] += f(a[i + k]);
        S res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += f(a[i]);
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum<S>(a, n2, f) + pairwise_sum<S>(a + n2, n - n2, f);
}

// `ndarray.sum(axis=1)` of a contiguous row as NumPy reduces it: pairwise
// within runs of `buffer` values, the runs added one after another to 0;
// or, for a row-contiguous block, value after value.
template <class S, class T, class F>
S numpy_sum(const T* a, std::size_t n, const F& f, std::size_t buffer, bool sequential) {
    S res = 0;
    if (sequential) {
        for (std::size_t i = 0; i < n; ++i) res += f(a[i]);
        return res;
    }
    for (std::size_t i = 0; i < n; i += buffer)
        res += pairwise_sum<S>(a + i, std::min(buffer, n - i), f);
    return res;
}

// A value in sum type S, a missing one read as 0.
template <class S, class T>
S zero_missing(T v) {
    return algo::is_missing(v) ? S(0) : static_cast<S>(v);
}

// pandas' own two-pass variance (nanops.nanvar: float64 sums, NaN skipped;
// NumPy's var likewise for the integers bottleneck leaves to it) over n
// contiguous values; the standard deviation in T's float precision. Float
// columns are summed from a copy (pairwise), integer ones where they lie.
template <class T>
double pandas_std(const T* x, std::size_t n, std::size_t buffer, bool sequential) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) count += !algo::is_missing(x[i]);
    if (count <= 1) return kNaN;
    const double cnt = static_cast<double>(count);
    const double avg = numpy_sum<double>(x, n, zero_missing<double, T>, buffer, sequential) / cnt;
    const double sqr = numpy_sum<double>(
        x, n,
        [avg](T v) {
            if (algo::is_missing(v)) return 0.0;
            const double d = avg - static_cast<double>(v);
            return d * d;
        },
        buffer, sequential);
    const double var = sqr / (cnt - 1.0);
    if constexpr (std::is_same_v<T, float>)
        return std::sqrt(static_cast<float>(var));  // float32 variance, float32 root
    else
        return std::sqrt(var);
}

// Whether pandas' std of this type comes from bottleneck's sequential loop
// (bottleneck leaves the small integer types to NumPy).
template <class T>
constexpr bool bottleneck_sequential() {
    return std::is_floating_point_v<T> || std::is_same_v<T, std::int32_t> ||
           std::is_same_v<T, std::int64_t>;
}

// Maxima as stored in the integer output: int64 values, uint64 as they are.
template <class T>
std::uint64_t int_bits(T v) {
    if constexpr (std::is_signed_v<T>)
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
    else
        return static_cast<std::uint64_t>(v);
}

// Where one column's results go, window by window.
struct Outputs {
    double* max;          // null when maxima go to imax
    std::uint64_t* imax;  // null unless integer maxima
    double* mean;
    double* std;  // null for columns without a standard deviation
    bool std_sequential;
    // Columns of a row-contiguous block: whether the window misses no value
    // of the column, and the mean from the sequential sum.
    std::uint8_t* complete;
    double* sequential_mean;
};

// Windows [w_begin, w_end) of one column; `x` holds the column's rows from
// row `r0` on, contiguously.
template <class T>
void one_column(const T* x, std::size_t r0, const Layout& L, std::size_t w_begin, std::size_t w_end,
                const Options& opt, const Outputs& o) {
    using A = Acc<T>;
    constexpr bool bottleneck_kind = bottleneck_sequential<T>();
    for (std::size_t w = w_begin; w < w_end; ++w) {
        const T* a = x + (w * L.step - r0);
        const std::size_t n = L.window;
        T mx = std::is_floating_point_v<T> ? -std::numeric_limits<T>::infinity()
                                           : std::numeric_limits<T>::lowest();
        A seq = 0;  // sequential sum of the values
        std::size_t count = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const T v = a[i];
            if (!algo::is_missing(v)) {
                ++count;
                seq += static_cast<A>(v);
                mx = v > mx ? v : mx;
            }
        }
        if (o.imax)
            o.imax[w] = int_bits(mx);
        else
            o.max[w] = count ? static_cast<double>(mx) : kNaN;
        if (o.complete) o.complete[w] = count == n;

        if (count == 0) {
            o.mean[w] = kNaN;
            if (o.sequential_mean) o.sequential_mean[w] = kNaN;
        } else if (std::is_integral_v<T> && o.sequential_mean) {
            // Integers miss no value: a row-contiguous block is summed row
            // by row in every window.
            o.mean[w] = o.sequential_mean[w] = seq / static_cast<A>(count);
        } else {
            const A sum = numpy_sum<A>(a, n, zero_missing<A, T>, opt.buffer, false);
            o.mean[w] = sum / static_cast<A>(count);
            if (o.sequential_mean) o.sequential_mean[w] = seq / static_cast<A>(count);
        }

        if (!o.std) continue;
        if (!(opt.bottleneck && bottleneck_kind)) {
            o.std[w] = pandas_std(a, n, opt.buffer, o.std_sequential);
        } else if (count > 1) {
            // Bottleneck divides for floats; for integers it multiplies by
            // the reciprocals of the length and of the length less one.
            A mean;
            if constexpr (std::is_integral_v<T>)
                mean = seq * (1.0 / static_cast<double>(count));
            else
                mean = seq / static_cast<A>(count);
            A ss = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const T v = a[i];
                if (!algo::is_missing(v)) {
                    const A d = static_cast<A>(v) - mean;
                    ss += d * d;
                }
            }
            if constexpr (std::is_integral_v<T>)
                o.std[w] = std::sqrt(ss * (1.0 / static_cast<double>(count - 1)));
            else
                o.std[w] = std::sqrt(ss / static_cast<A>(count - 1));
        } else {
            o.std[w] = kNaN;
        }
    }
}

// One unit of work: a group of adjacent columns of one kind over a run of
// windows.
struct Task {
    std::size_t col_begin, col_end, w_begin, w_end;
};

// Value i of a column as T.
template <class T>
const T& at(const Column& c, std::size_t i) {
    return static_cast<const T*>(c.data)[static_cast<std::ptrdiff_t>(i) * c.stride];
}

// The columns of each row-contiguous block of the indicator selection.
std::vector<std::vector<std::size_t>> blocks(const Column* cols, std::size_t n) {
    std::vector<std::vector<std::size_t>> out;
    for (std::size_t j = 0; j < n; ++j) {
        const int b = cols[j].mean_block;
        if (b < 0) continue;
        if (static_cast<std::size_t>(b) >= out.size()) out.resize(static_cast<std::size_t>(b) + 1);
        out[static_cast<std::size_t>(b)].push_back(j);
    }
    return out;
}

}  // namespace

void window_features(const Column* cols, std::size_t n_cols, std::size_t n_std, const Layout& L,
                     const Options& options, double* out, std::uint64_t* int_max) {
    const std::size_t nw = L.n_windows();
    auto block = [&](std::size_t b, std::size_t j) { return out + (b * n_cols + j) * nw; };
    // Per column of a row-contiguous block: complete windows and sequential means.
    const auto mean_blocks = blocks(cols, n_cols);
    std::vector<std::vector<std::uint8_t>> complete(n_cols);
    std::vector<std::vector<double>> sequential_mean(n_cols);
    for (std::size_t j = 0; j < n_cols; ++j) {
        if (cols[j].mean_block < 0) continue;
        complete[j].resize(nw);
        sequential_mean[j].resize(nw);
    }
    auto data_or_null = [](auto& v) { return v.empty() ? nullptr : v.data(); };

    // Contiguous columns: one task each, all windows. Strided columns: groups
    // of up to eight neighbours of one kind (one cache line per row when they
    // are interleaved) over runs of windows spanning about 32k rows, gathered
    // to scratch.
    constexpr std::size_t kGroup = 8, kRows = 32768;
    const std::size_t run = std::max<std::size_t>(1, kRows / L.step);
    std::vector<Task> tasks;
    for (std::size_t j = 0; j < n_cols;) {
        if (cols[j].stride == 1) {
            tasks.push_back({j, j + 1, 0, nw});
            ++j;
            continue;
        }
        std::size_t end = j + 1;
        while (end < n_cols && end - j < kGroup && cols[end].stride == cols[j].stride &&
               cols[end].kind == cols[j].kind)
            ++end;
        for (std::size_t w = 0; w < nw; w += run)
            tasks.push_back({j, end, w, std::min(nw, w + run)});
        j = end;
    }

    auto work = [&](const Task& t, std::vector<unsigned char>& scratch) {
        algo::visit_kind(cols[t.col_begin].kind, [&](auto tag) {
            using T = typename decltype(tag)::type;
            const std::size_t r0 = t.w_begin * L.step;
            const std::size_t rows = (t.w_end - 1) * L.step + L.window - r0;
            const std::size_t k = t.col_end - t.col_begin;
            const bool gather = cols[t.col_begin].stride != 1;
            if (gather) {
                scratch.resize(k * rows * sizeof(T));
                T* s = reinterpret_cast<T*>(scratch.data());
                // Row by row, the group's values of a row being neighbours.
                const T* src[kGroup];
                for (std::size_t c = 0; c < k; ++c) src[c] = &at<T>(cols[t.col_begin + c], r0);
                const std::ptrdiff_t stride = cols[t.col_begin].stride;
                for (std::size_t i = 0; i < rows; ++i)
                    for (std::size_t c = 0; c < k; ++c)
                        s[c * rows + i] = src[c][static_cast<std::ptrdiff_t>(i) * stride];
            }
            for (std::size_t c = 0; c < k; ++c) {
                const std::size_t j = t.col_begin + c;
                const T* x = gather ? reinterpret_cast<const T*>(scratch.data()) + c * rows
                                    : static_cast<const T*>(cols[j].data) + r0;
                const Outputs o{int_max ? nullptr : block(0, j),
                                int_max ? int_max + j * nw : nullptr,
                                block(1, j),
                                j < n_std ? block(2, j) : nullptr,
                                cols[j].std_sequential,
                                data_or_null(complete[j]),
                                data_or_null(sequential_mean[j])};
                one_column(x, r0, L, t.w_begin, t.w_end, options, o);
            }
        });
    };

    // Small tables are not worth a thread start: about 256k values a thread.
    const std::size_t by_size = 1 + L.n_rows * n_cols / (std::size_t{1} << 18);
    const unsigned n_threads = static_cast<unsigned>(std::max<std::size_t>(
        1, std::min({static_cast<std::size_t>(options.threads), tasks.size(), by_size})));
    // Workers take tasks until none is left; the calling thread works too, so
    // a thread that cannot be started only costs speed. A failed scratch
    // allocation stops every worker and is reported once all have joined
    // (an exception must not leave a worker thread).
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    auto worker = [&]() noexcept {
        try {
            std::vector<unsigned char> scratch;
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

    // A row-contiguous block is summed row after row, as NumPy reduces it,
    // in the windows where none of its columns misses a value.
    auto whole = [&](const std::vector<std::size_t>& members, std::size_t w) {
        return std::all_of(members.begin(), members.end(),
                           [&](std::size_t j) { return complete[j][w] != 0; });
    };
    for (const auto& members : mean_blocks)
        for (std::size_t w = 0; w < nw; ++w)
            if (whole(members, w))
                for (std::size_t j : members) block(1, j)[w] = sequential_mean[j][w];

    // When bottleneck returned an infinite standard deviation for a column of
    // a window, pandas recomputes that window's deviations of every column of
    // the same type (one block) its own way.
    if (!options.bottleneck || n_std == 0) return;
    for (const algo::NumKind kind : {algo::NumKind::f64, algo::NumKind::f32}) {
        algo::visit_kind(kind, [&](auto tag) {
            using T = typename decltype(tag)::type;
            std::vector<T> x(L.window);
            for (std::size_t w = 0; w < nw; ++w) {
                bool inf = false;
                for (std::size_t j = 0; j < n_std && !inf; ++j)
                    inf = cols[j].kind == kind && std::isinf(block(2, j)[w]);
                if (!inf) continue;
                for (std::size_t j = 0; j < n_std; ++j) {
                    if (cols[j].kind != kind) continue;
                    for (std::size_t i = 0; i < L.window; ++i)
                        x[i] = at<T>(cols[j], w * L.step + i);
                    block(2, j)[w] = pandas_std(x.data(), L.window, options.buffer, false);
                }
            }
        });
    }
}

}  // namespace talvo::rolling
