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
// in which it adds a contiguous run; f(i) is value i of the run in the sum
// type S.
template <class S, class F>
S pairwise_sum(std::size_t i0, std::size_t n, const F& f) {
    if (n < 8) {
        S res = 0;
        for (std::size_t i = 0; i < n; ++i) res += f(i0 + i);
        return res;
    }
    if (n <= 128) {
        S r[8];
        for (std::size_t k = 0; k < 8; ++k) r[k] = f(i0 + k);
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (std::size_t k = 0; k < 8; ++k) r[k] += f(i0 + i + k);
        S res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += f(i0 + i);
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum<S>(i0, n2, f) + pairwise_sum<S>(i0 + n2, n - n2, f);
}

// `ndarray.sum(axis=1)` of a contiguous row as NumPy reduces it: pairwise
// within runs of `buffer` values, the runs added one after another to 0;
// or, for a row-contiguous block, value after value.
template <class S, class F>
S numpy_sum(std::size_t n, const F& f, std::size_t buffer, bool sequential) {
    S res = 0;
    if (sequential) {
        for (std::size_t i = 0; i < n; ++i) res += f(i);
        return res;
    }
    for (std::size_t i = 0; i < n; i += buffer)
        res += pairwise_sum<S>(i, std::min(buffer, n - i), f);
    return res;
}

// The values of one window: a missing value is marked in the mask of a
// pandas masked column (where NaN is a value) or is NaN.
template <class T, bool Masked>
struct Span {
    const T* a;
    const std::uint8_t* m;
    std::size_t n;
    bool missing(std::size_t i) const {
        if constexpr (Masked)
            return m[i] != 0;
        else
            return algo::is_missing(a[i]);
    }
    // Value i in sum type S, a missing one read as 0.
    template <class S>
    S zero_missing(std::size_t i) const {
        return missing(i) ? S(0) : static_cast<S>(a[i]);
    }
};

// `np.sum(values, where=~mask)` as NumPy adds it: within runs of `buffer`
// values, each stretch of present values pairwise, the stretches one after
// another to 0.
template <class S, class T>
S where_sum(const Span<T, true>& x, std::size_t buffer) {
    auto value = [&x](std::size_t i) { return static_cast<S>(x.a[i]); };
    S res = 0;
    for (std::size_t c0 = 0; c0 < x.n; c0 += buffer) {
        const std::size_t c1 = std::min(x.n, c0 + buffer);
        for (std::size_t i = c0; i < c1;) {
            if (x.m[i]) {
                ++i;
                continue;
            }
            std::size_t j = i;
            while (j < c1 && !x.m[j]) ++j;
            res += pairwise_sum<S>(i, j - i, value);
            i = j;
        }
    }
    return res;
}

// pandas' own two-pass variance (nanops.nanvar: float64 sums, missing values
// skipped; NumPy's var likewise for the integers bottleneck leaves to it)
// over a window; the standard deviation in float32 for a float32 column when
// `float32_result`. Float columns are summed from a copy (pairwise), integer
// ones where they lie.
template <class T, bool M>
double pandas_std(const Span<T, M>& x, std::size_t buffer, bool sequential, bool float32_result) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < x.n; ++i) count += !x.missing(i);
    if (count <= 1) return kNaN;
    const double cnt = static_cast<double>(count);
    const double avg = numpy_sum<double>(
                           x.n, [&x](std::size_t i) { return x.template zero_missing<double>(i); },
                           buffer, sequential) /
                       cnt;
    const double sqr = numpy_sum<double>(
        x.n,
        [&x, avg](std::size_t i) {
            if (x.missing(i)) return 0.0;
            const double d = avg - static_cast<double>(x.a[i]);
            return d * d;
        },
        buffer, sequential);
    const double var = sqr / (cnt - 1.0);
    if constexpr (std::is_same_v<T, float>)
        if (float32_result) return std::sqrt(static_cast<float>(var));  // float32 root
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
    // Masked columns: set when pandas gives a window's result as missing.
    std::uint8_t* missing_result;
};

// Windows [w_begin, w_end) of one column; `x` (and for a masked column
// `mask`) holds the column's rows from row `r0` on, contiguously.
template <class T, bool Masked>
void one_column(const T* x, const std::uint8_t* mask, std::size_t r0, const Layout& L,
                std::size_t w_begin, std::size_t w_end, const Options& opt, const Outputs& o) {
    using A = Acc<T>;
    // pandas sums a masked integer column in 64-bit integers (wrapping).
    using W = std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>;
    constexpr bool bottleneck_kind = !Masked && bottleneck_sequential<T>();
    for (std::size_t w = w_begin; w < w_end; ++w) {
        const std::size_t off = w * L.step - r0;
        const Span<T, Masked> a{x + off, Masked ? mask + off : nullptr, L.window};
        const std::size_t n = L.window;
        T mx = std::is_floating_point_v<T> ? -std::numeric_limits<T>::infinity()
                                           : std::numeric_limits<T>::lowest();
        A seq = 0;  // sequential sum of the values
        W whole = 0;
        std::size_t count = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (a.missing(i)) continue;
            const T v = a.a[i];
            ++count;
            seq += static_cast<A>(v);
            if constexpr (Masked && std::is_integral_v<T>) whole = algo::own_sum(whole, W(v));
            mx = v > mx ? v : mx;
        }
        if (o.imax)
            o.imax[w] = int_bits(mx);
        else
            o.max[w] = count ? static_cast<double>(mx) : kNaN;
        if (o.complete) o.complete[w] = count == n;

        if (count == 0) {
            o.mean[w] = kNaN;
            if (o.sequential_mean) o.sequential_mean[w] = kNaN;
            if constexpr (Masked) *o.missing_result = 1;
        } else if constexpr (Masked) {
            // The sum in the column's type, divided in float64.
            if constexpr (std::is_integral_v<T>)
                o.mean[w] = static_cast<double>(whole) / static_cast<double>(count);
            else
                o.mean[w] =
                    static_cast<double>(where_sum<A>(a, opt.buffer)) / static_cast<double>(count);
        } else if (std::is_integral_v<T> && o.sequential_mean) {
            // Integers miss no value: a row-contiguous block is summed row
            // by row in every window.
            o.mean[w] = o.sequential_mean[w] = seq / static_cast<A>(count);
        } else {
            const A sum = numpy_sum<A>(
                n, [&a](std::size_t i) { return a.template zero_missing<A>(i); }, opt.buffer,
                false);
            o.mean[w] = sum / static_cast<A>(count);
            if (o.sequential_mean) o.sequential_mean[w] = seq / static_cast<A>(count);
        }

        if (!o.std) continue;
        if (!(opt.bottleneck && bottleneck_kind)) {
            // A masked float32 column missing a value in the window is
            // taken as float64 values.
            o.std[w] = pandas_std(a, opt.buffer, o.std_sequential, !Masked || count == n);
            if (Masked && std::isnan(o.std[w])) *o.missing_result = 1;
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
                if (a.missing(i)) continue;
                const A d = static_cast<A>(a.a[i]) - mean;
                ss += d * d;
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

bool window_features(const Column* cols, std::size_t n_cols, std::size_t n_std, const Layout& L,
                     const Options& options, double* out, std::uint64_t* int_max) {
    const std::size_t nw = L.n_windows();
    std::vector<std::uint8_t> missing_result(n_cols, 0);
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
                                data_or_null(sequential_mean[j]),
                                &missing_result[j]};
                if (cols[j].mask)
                    one_column<T, true>(x, cols[j].mask + r0, r0, L, t.w_begin, t.w_end, options,
                                        o);
                else
                    one_column<T, false>(x, nullptr, r0, L, t.w_begin, t.w_end, options, o);
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
    const bool complete_results = std::none_of(missing_result.begin(), missing_result.end(),
                                               [](std::uint8_t m) { return m; });

    // When bottleneck returned an infinite standard deviation for a column of
    // a window, pandas recomputes that window's deviations of every column of
    // the same type (one block) its own way. (Masked columns are blocks of
    // their own and never go to bottleneck.)
    if (!options.bottleneck || n_std == 0) return complete_results;
    for (const algo::NumKind kind : {algo::NumKind::f64, algo::NumKind::f32}) {
        algo::visit_kind(kind, [&](auto tag) {
            using T = typename decltype(tag)::type;
            auto in_block = [&](std::size_t j) { return cols[j].kind == kind && !cols[j].mask; };
            std::vector<T> x(L.window);
            for (std::size_t w = 0; w < nw; ++w) {
                bool inf = false;
                for (std::size_t j = 0; j < n_std && !inf; ++j)
                    inf = in_block(j) && std::isinf(block(2, j)[w]);
                if (!inf) continue;
                for (std::size_t j = 0; j < n_std; ++j) {
                    if (!in_block(j)) continue;
                    for (std::size_t i = 0; i < L.window; ++i)
                        x[i] = at<T>(cols[j], w * L.step + i);
                    block(2, j)[w] = pandas_std(Span<T, false>{x.data(), nullptr, L.window},
                                                options.buffer, false, true);
                }
            }
        });
    }
    return complete_results;
}

}  // namespace talvo::rolling
