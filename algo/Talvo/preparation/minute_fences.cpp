// Per-minute interquartile fences: grouping, quantiles and the row mask.
#include "minute_fences.h"

#include <algorithm>
#include <exception>
#include <thread>
#include <type_traits>

#include "../../common/numpy_rules.h"

namespace talvo::minute_fences {

namespace {

constexpr std::int64_t kMinuteNs = 60'000'000'000LL;

// The minute bin of stamp t for bins starting `phase` ns after whole minutes
// of the epoch (0 <= phase < 60 s), computed without overflow.
std::int64_t minute_of(std::int64_t t, std::int64_t phase) {
    std::int64_t q = t / kMinuteNs;
    std::int64_t rem = t % kMinuteNs;
    if (rem < 0) {  // floor for stamps before 1970
        --q;
        rem += kMinuteNs;
    }
    return rem < phase ? q - 1 : q;
}

// The fences of one minute from its quartiles, with NumPy's arithmetic for
// the column type T (see minute_fences.h).
template <class T>
void fences(double q1, double q3, bool had_missing, Factor f, double& lower, double& upper) {
    if constexpr (std::is_same_v<T, float>) {
        if (had_missing) {
            // pandas keeps a float32 column's quantiles in float32 when it
            // had to skip missing values; IQR is then a float32 difference.
            const float q1f = static_cast<float>(q1), q3f = static_cast<float>(q3);
            const float iqr = q3f - q1f;
            if (f.is_bool) {
                const float kf = static_cast<float>(f.k);
                lower = static_cast<float>(q1f - static_cast<float>(kf * iqr));
                upper = static_cast<float>(q3f + static_cast<float>(kf * iqr));
            } else {
                lower = static_cast<double>(q1f) - f.k * static_cast<double>(iqr);
                upper = static_cast<double>(q3f) + f.k * static_cast<double>(iqr);
            }
            return;
        }
    }
    const double iqr = q3 - q1;
    lower = q1 - f.k * iqr;
    upper = q3 + f.k * iqr;
}

// Integer quartiles q1 <= q3 of T (a minute of an integer column that
// missed a value): NumPy takes IQR as T's own difference; a bool factor keeps
// k * IQR and the fences in T, an int factor makes them int64 (uint64 stays
// float64), and the comparison is then exact. Calls inside(lo, hi) with the
// fences of one type, or with float64 fences.
template <class T, class F>
void integer_fences(T q1, T q3, Factor f, const F& inside) {
    const T iqr = algo::own_difference(q3, q1);
    if (f.is_bool) {
        const T k_iqr = f.k != 0 ? iqr : T(0);
        inside(algo::own_difference(q1, k_iqr), algo::own_sum(q3, k_iqr));
        return;
    }
    if constexpr (!std::is_same_v<T, std::uint64_t>) {
        if (f.is_int) {
            using I = std::int64_t;
            const I k_iqr = algo::own_product(static_cast<I>(f.k), static_cast<I>(iqr));
            inside(algo::own_difference(static_cast<I>(q1), k_iqr),
                   algo::own_sum(static_cast<I>(q3), k_iqr));
            return;
        }
    }
    const double k_iqr = f.k * static_cast<double>(iqr);
    inside(static_cast<double>(q1) - k_iqr, static_cast<double>(q3) + k_iqr);
}

// Marks failing rows of one column in `failed` (1 = fails).
template <class T>
void judge_column(const Column& col, const std::vector<std::int64_t>& order,
                  const std::vector<std::size_t>& run_start, Factor f,
                  std::vector<unsigned char>& failed, std::vector<T>& buf) {
    static const double kLevels[2] = {0.25, 0.75};
    const T* values = static_cast<const T*>(col.data);
    auto missing = [&](std::size_t row) {
        return col.mask ? col.mask[row] != 0 : algo::is_missing(values[row]);
    };
    for (std::size_t r = 0; r + 1 < run_start.size(); ++r) {
        const std::size_t b = run_start[r], e = run_start[r + 1];
        // Marks the minute's rows that are missing or whose value v fails inside(v).
        auto judge = [&](const auto& inside) {
            for (std::size_t j = b; j < e; ++j) {
                const std::size_t row = static_cast<std::size_t>(order[j]);
                if (missing(row) || !inside(values[row])) failed[row] = 1;
            }
        };
        buf.clear();
        bool nan = false;  // a NaN value of a masked column
        for (std::size_t j = b; j < e; ++j) {
            const std::size_t row = static_cast<std::size_t>(order[j]);
            if (missing(row)) continue;
            nan = nan || algo::is_missing(values[row]);
            buf.push_back(values[row]);
        }
        if (buf.empty() || nan) {  // fences are NaN: every row of the minute fails
            judge([](T) { return false; });
            continue;
        }
        double q[2], lower, upper;
        algo::linear_quantiles(buf.data(), buf.size(), kLevels, 2, q);
        const bool had_missing = buf.size() < e - b;
        if constexpr (std::is_integral_v<T>) {
            T q1, q3;
            if (had_missing && algo::whole_in(q[0], q1) && algo::whole_in(q[1], q3)) {
                integer_fences(q1, q3, f, [&](auto lo, auto hi) {
                    using F = decltype(lo);
                    judge([lo, hi](T v) {
                        const F x = static_cast<F>(v);
                        return x >= lo && x <= hi;
                    });
                });
                continue;
            }
        }
        fences<T>(q[0], q[1], had_missing, f, lower, upper);
        lower = algo::comparison_scalar<T>(lower);
        upper = algo::comparison_scalar<T>(upper);
        judge([lower, upper](T v) {
            const double x = static_cast<double>(v);
            return x >= lower && x <= upper;
        });
    }
}

}  // namespace

std::optional<std::vector<std::int64_t>> survivors(const std::int64_t* times, std::size_t n,
                                                   const std::vector<Column>& columns,
                                                   Factor factor, std::int64_t origin,
                                                   std::size_t float32_rows, unsigned threads) {
    std::int64_t phase = origin % kMinuteNs;
    if (phase < 0) phase += kMinuteNs;

    // Rows with a time, in time order (stable among equal stamps).
    std::vector<std::int64_t> order;
    order.reserve(n);
    bool sorted = true;
    for (std::size_t i = 0; i < n; ++i) {
        if (times[i] == kNaT) continue;
        if (!order.empty() && times[i] < times[order.back()]) sorted = false;
        order.push_back(static_cast<std::int64_t>(i));
    }
    if (!sorted)
        std::stable_sort(order.begin(), order.end(),
                         [times](std::int64_t a, std::int64_t b) { return times[a] < times[b]; });

    // Runs of one minute each.
    std::vector<std::size_t> run_start;
    std::int64_t current = 0;
    for (std::size_t j = 0; j < order.size(); ++j) {
        const std::int64_t m = minute_of(times[order[j]], phase);
        if (j == 0 || m != current) run_start.push_back(j);
        current = m;
    }
    run_start.push_back(order.size());
    for (std::size_t r = 0; r + 1 < run_start.size(); ++r)
        if (run_start[r + 1] - run_start[r] > float32_rows)
            for (const Column& c : columns)
                if (c.kind == algo::NumKind::f32 && !c.mask) return std::nullopt;

    const std::size_t ncols = columns.size();
    const unsigned nthreads =
        static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(threads, ncols)));
    std::vector<std::vector<unsigned char>> failed(nthreads, std::vector<unsigned char>(n, 0));

    auto work = [&](unsigned t) {
        for (std::size_t c = t; c < ncols; c += nthreads)
            algo::visit_kind(columns[c].kind, [&](auto tag) {
                using T = typename decltype(tag)::type;
                std::vector<T> buf;
                judge_column(columns[c], order, run_start, factor, failed[t], buf);
            });
    };
    // Slice 0 runs here; the others on helper threads. A helper that cannot
    // be started has its slice run here too.
    std::vector<std::exception_ptr> errors(nthreads);
    std::vector<std::thread> pool;
    std::vector<unsigned> inline_slices{0};
    pool.reserve(nthreads);
    for (unsigned t = 1; t < nthreads; ++t) {
        try {
            pool.emplace_back([&, t] {
                try {
                    work(t);
                } catch (...) {
                    errors[t] = std::current_exception();
                }
            });
        } catch (...) {
            inline_slices.push_back(t);
        }
    }
    for (unsigned t : inline_slices) {
        try {
            work(t);
        } catch (...) {
            errors[t] = std::current_exception();
        }
    }
    for (auto& th : pool) th.join();
    for (auto& e : errors)
        if (e) std::rethrow_exception(e);

    std::vector<std::int64_t> out;
    out.reserve(order.size());
    for (std::int64_t row : order) {
        bool ok = true;
        for (unsigned t = 0; t < nthreads && ok; ++t)
            ok = !failed[t][static_cast<std::size_t>(row)];
        if (ok) out.push_back(row);
    }
    return out;
}

}  // namespace talvo::minute_fences
