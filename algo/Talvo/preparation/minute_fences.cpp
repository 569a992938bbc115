// Per-minute interquartile fences: grouping, quantiles and the row mask.
#include "minute_fences.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <numeric>
#include <thread>

namespace talvo::minute_fences {

namespace {

constexpr std::int64_t kMinuteNs = 60'000'000'000LL;

std::int64_t minute_of(std::int64_t t) {
    std::int64_t q = t / kMinuteNs;
    if (t % kMinuteNs < 0) --q;  // floor for stamps before 1970
    return q;
}

// Element i of a column; copied byte-wise, as NumPy buffers need not be
// aligned for their type.
template <class T>
double at(const Column& c, std::size_t i) {
    const char* p = static_cast<const char*>(c.data) + static_cast<std::ptrdiff_t>(i) * c.stride;
    T v;
    std::memcpy(&v, p, sizeof(T));
    return static_cast<double>(v);
}

double value(const Column& c, std::size_t i) {
    switch (c.kind) {
        case Kind::f64:
            return at<double>(c, i);
        case Kind::i8:
            return at<std::int8_t>(c, i);
        case Kind::i16:
            return at<std::int16_t>(c, i);
        case Kind::i32:
            return at<std::int32_t>(c, i);
        case Kind::i64:
            return at<std::int64_t>(c, i);
        case Kind::u8:
            return at<std::uint8_t>(c, i);
        case Kind::u16:
            return at<std::uint16_t>(c, i);
        case Kind::u32:
            return at<std::uint32_t>(c, i);
        case Kind::u64:
            return at<std::uint64_t>(c, i);
    }
    return NAN;
}

// NumPy's lerp between neighbours a and b at weight g.
double lerp(double a, double b, double g) {
    const double d = b - a;
    return g >= 0.5 ? b - d * (1.0 - g) : a + d * g;
}

// Lower neighbour position and weight of quantile q among n values, as
// NumPy's default method places them (the upper neighbour is the next one).
// From the last position on, both neighbours are the last value and the
// weight is measured from index -1.
struct Place {
    std::size_t lo;
    bool last;
    double g;
};
Place place(std::size_t n, double q) {
    const double vi = static_cast<double>(n - 1) * q;
    if (vi >= static_cast<double>(n - 1)) return Place{n - 1, true, vi + 1.0};
    const double lo = std::floor(vi);
    return Place{static_cast<std::size_t>(lo), false, vi - lo};
}

// Q1 and Q3 of the values in v (no NaN), by selection: v is reordered.
void quartiles(std::vector<double>& v, double& q1, double& q3) {
    const std::size_t n = v.size();
    const Place p1 = place(n, 0.25), p3 = place(n, 0.75);
    if (p1.last) {  // one value
        q1 = lerp(v[0], v[0], p1.g);
        q3 = lerp(v[0], v[0], p3.g);
        return;
    }
    auto min_from = [&](std::size_t i) { return *std::min_element(v.begin() + i, v.end()); };
    std::nth_element(v.begin(), v.begin() + p1.lo, v.end());
    const double a1 = v[p1.lo];
    const double b1 = min_from(p1.lo + 1);
    q1 = lerp(a1, b1, p1.g);
    // p3.lo >= p1.lo, and p3 is never at the last position for n >= 2.
    double a3, b3;
    if (p3.lo == p1.lo) {
        a3 = a1;
        b3 = b1;
    } else {
        std::nth_element(v.begin() + p1.lo + 1, v.begin() + p3.lo, v.end());
        a3 = v[p3.lo];
        b3 = min_from(p3.lo + 1);
    }
    q3 = lerp(a3, b3, p3.g);
}

// Column values as doubles, in row order.
void load(const Column& c, std::size_t n, std::vector<double>& out) {
    out.resize(n);
    if (c.kind == Kind::f64 && c.stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
        std::memcpy(out.data(), c.data, n * sizeof(double));
        return;
    }
    for (std::size_t i = 0; i < n; ++i) out[i] = value(c, i);
}

// Marks failing rows of one column in `failed` (1 = fails).
void judge_column(const Column& col, std::size_t n, const std::vector<std::int64_t>& order,
                  const std::vector<std::size_t>& run_start, double k,
                  std::vector<unsigned char>& failed, std::vector<double>& values,
                  std::vector<double>& buf) {
    load(col, n, values);
    for (std::size_t r = 0; r + 1 < run_start.size(); ++r) {
        const std::size_t b = run_start[r], e = run_start[r + 1];
        buf.clear();
        for (std::size_t j = b; j < e; ++j) {
            const double v = values[static_cast<std::size_t>(order[j])];
            if (!std::isnan(v)) buf.push_back(v);
        }
        if (buf.empty()) {  // fences are NaN: every row of the minute fails
            for (std::size_t j = b; j < e; ++j) failed[static_cast<std::size_t>(order[j])] = 1;
            continue;
        }
        double q1, q3;
        quartiles(buf, q1, q3);
        const double iqr = q3 - q1;
        const double lower = q1 - k * iqr;
        const double upper = q3 + k * iqr;
        for (std::size_t j = b; j < e; ++j) {
            const std::size_t row = static_cast<std::size_t>(order[j]);
            const double v = values[row];
            if (!(v >= lower && v <= upper)) failed[row] = 1;
        }
    }
}

}  // namespace

double linear_quantile(const double* sorted, std::size_t n, double q) {
    const Place p = place(n, q);
    return p.last ? lerp(sorted[n - 1], sorted[n - 1], p.g)
                  : lerp(sorted[p.lo], sorted[p.lo + 1], p.g);
}

std::vector<std::int64_t> survivors(const std::int64_t* times, std::size_t n,
                                    const std::vector<Column>& columns, double k,
                                    unsigned threads) {
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
    std::size_t longest = 0;
    for (std::size_t j = 0; j < order.size(); ++j) {
        if (j == 0 || minute_of(times[order[j]]) != minute_of(times[order[j - 1]])) {
            if (!run_start.empty()) longest = std::max(longest, j - run_start.back());
            run_start.push_back(j);
        }
    }
    if (!run_start.empty()) longest = std::max(longest, order.size() - run_start.back());
    run_start.push_back(order.size());

    const std::size_t ncols = columns.size();
    const unsigned nthreads =
        static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(threads, ncols)));
    std::vector<std::vector<unsigned char>> failed(nthreads, std::vector<unsigned char>(n, 0));
    std::vector<std::vector<double>> bufs(nthreads), values(nthreads);
    for (auto& b : bufs) b.reserve(longest);

    auto work = [&](unsigned t) {
        for (std::size_t c = t; c < ncols; c += nthreads)
            judge_column(columns[c], n, order, run_start, k, failed[t], values[t], bufs[t]);
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
