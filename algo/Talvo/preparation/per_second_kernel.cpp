#include "per_second_kernel.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace talvo::per_second {

namespace {

constexpr std::int64_t kNsPerSecond = 1000000000;
// The smallest whole second whose nanosecond stamp still fits in int64.
constexpr std::int64_t kMinSecond = INT64_MIN / kNsPerSecond;  // truncated toward zero

template <class T>
struct Traits {
    static bool missing(T) { return false; }
    static bool same(T a, T b) { return a == b; }
};
template <>
struct Traits<double> {
    static bool missing(double v) { return std::isnan(v); }
    static bool same(double a, double b) { return a == b; }
};
template <>
struct Traits<float> {
    static bool missing(float v) { return std::isnan(v); }
    static bool same(float a, float b) { return a == b; }
};
// Time stamps and durations: int64 with the NaT marker.
struct Stamp {
    std::int64_t v;
};
template <>
struct Traits<Stamp> {
    static bool missing(Stamp s) { return s.v == kNaT; }
    static bool same(Stamp a, Stamp b) { return a.v == b.v; }
};

template <class T>
void pick_typed(const T* values, const Runs& runs, bool keep_last, std::int64_t* source,
                std::vector<std::int64_t>* conflicts) {
    const std::size_t m = runs.count();
    const std::size_t timed = runs.missing_run ? m - 1 : m;
    const std::int64_t* order = runs.order.data();
    for (std::size_t r = 0; r < timed; ++r) {
        const std::int64_t b = runs.starts[r], e = runs.starts[r + 1];
        std::int64_t chosen = -1;
        bool seen = false, differs = false;
        T first{};
        for (std::int64_t k = b; k < e; ++k) {
            const std::int64_t pos = order[k];
            const T v = values[pos];
            if (Traits<T>::missing(v)) continue;
            if (!seen) {
                seen = true;
                first = v;
                chosen = pos;
                if (!keep_last && !conflicts) break;
            } else {
                if (keep_last) chosen = pos;
                if (!differs && !Traits<T>::same(first, v)) differs = true;
            }
        }
        source[r] = chosen;
        if (conflicts && differs) conflicts->push_back(static_cast<std::int64_t>(r));
    }
    if (runs.missing_run) source[m - 1] = -1;
}

template <class T>
void take_typed(const T* values, const std::int64_t* source, std::size_t m, T* out, T fill) {
    for (std::size_t r = 0; r < m; ++r) out[r] = source[r] < 0 ? fill : values[source[r]];
}

}  // namespace

std::int64_t first_uncuttable(const std::int64_t* stamps, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t s = stamps[i];
        if (s == kNaT) continue;
        std::int64_t q = s / kNsPerSecond;
        if (s % kNsPerSecond < 0) --q;
        if (q < kMinSecond) return s;
    }
    return kNaT;
}

void floor_seconds(const std::int64_t* stamps, std::size_t n, std::int64_t* out) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t s = stamps[i];
        if (s == kNaT) {
            out[i] = kNaT;
            continue;
        }
        std::int64_t q = s / kNsPerSecond;
        if (s % kNsPerSecond < 0) --q;
        out[i] = q * kNsPerSecond;
    }
}

bool build_runs(const std::int64_t* stamps, std::size_t n, Runs& runs) {
    runs.order.clear();
    runs.starts.clear();
    runs.seconds.clear();
    runs.missing_run = false;
    runs.order.reserve(n);

    // Timed rows first, in stamp order; equal stamps keep their input order.
    bool sorted = true;
    std::int64_t prev = INT64_MIN;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t s = stamps[i];
        if (s == kNaT) continue;
        if (s < prev) sorted = false;
        prev = s;
        runs.order.push_back(static_cast<std::int64_t>(i));
    }
    if (!sorted) {
        std::vector<std::pair<std::int64_t, std::int64_t>> keyed;
        keyed.reserve(runs.order.size());
        for (std::int64_t pos : runs.order) keyed.emplace_back(stamps[pos], pos);
        std::sort(keyed.begin(), keyed.end());  // ties broken by position: stable
        for (std::size_t k = 0; k < keyed.size(); ++k) runs.order[k] = keyed[k].second;
    }
    const std::size_t timed = runs.order.size();
    for (std::size_t i = 0; i < n; ++i)
        if (stamps[i] == kNaT) runs.order.push_back(static_cast<std::int64_t>(i));

    // Runs of one whole second (floored, also before 1970).
    std::int64_t current = 0;
    for (std::size_t k = 0; k < timed; ++k) {
        const std::int64_t s = stamps[runs.order[k]];
        std::int64_t q = s / kNsPerSecond;
        if (s % kNsPerSecond < 0) --q;
        if (q < kMinSecond) return false;
        const std::int64_t sec = q * kNsPerSecond;
        if (k == 0 || sec != current) {
            current = sec;
            runs.starts.push_back(static_cast<std::int64_t>(k));
            runs.seconds.push_back(sec);
        }
    }
    if (timed < n) {
        runs.starts.push_back(static_cast<std::int64_t>(timed));
        runs.seconds.push_back(kNaT);
        runs.missing_run = true;
    }
    runs.starts.push_back(static_cast<std::int64_t>(n));
    return true;
}

void pick_column(Kind kind, const void* values, const Runs& runs, bool keep_last,
                 std::int64_t* source, std::vector<std::int64_t>* conflict) {
    switch (kind) {
        case Kind::Float64:
            return pick_typed(static_cast<const double*>(values), runs, keep_last, source,
                              conflict);
        case Kind::Float32:
            return pick_typed(static_cast<const float*>(values), runs, keep_last, source, conflict);
        case Kind::Int8:
            return pick_typed(static_cast<const std::int8_t*>(values), runs, keep_last, source,
                              conflict);
        case Kind::Int16:
            return pick_typed(static_cast<const std::int16_t*>(values), runs, keep_last, source,
                              conflict);
        case Kind::Int32:
            return pick_typed(static_cast<const std::int32_t*>(values), runs, keep_last, source,
                              conflict);
        case Kind::Int64:
            return pick_typed(static_cast<const std::int64_t*>(values), runs, keep_last, source,
                              conflict);
        case Kind::UInt8:
        case Kind::Bool:
            return pick_typed(static_cast<const std::uint8_t*>(values), runs, keep_last, source,
                              conflict);
        case Kind::UInt16:
            return pick_typed(static_cast<const std::uint16_t*>(values), runs, keep_last, source,
                              conflict);
        case Kind::UInt32:
            return pick_typed(static_cast<const std::uint32_t*>(values), runs, keep_last, source,
                              conflict);
        case Kind::UInt64:
            return pick_typed(static_cast<const std::uint64_t*>(values), runs, keep_last, source,
                              conflict);
        case Kind::Stamp:
            return pick_typed(static_cast<const Stamp*>(values), runs, keep_last, source, conflict);
    }
}

void pick_by_mask(const std::uint8_t* missing, const Runs& runs, bool keep_last,
                  std::int64_t* source) {
    const std::size_t m = runs.count();
    const std::size_t timed = runs.missing_run ? m - 1 : m;
    for (std::size_t r = 0; r < timed; ++r) {
        std::int64_t chosen = -1;
        const std::int64_t b = runs.starts[r], e = runs.starts[r + 1];
        if (keep_last) {
            for (std::int64_t k = e - 1; k >= b; --k)
                if (!missing[runs.order[k]]) {
                    chosen = runs.order[k];
                    break;
                }
        } else {
            for (std::int64_t k = b; k < e; ++k)
                if (!missing[runs.order[k]]) {
                    chosen = runs.order[k];
                    break;
                }
        }
        source[r] = chosen;
    }
    if (runs.missing_run) source[m - 1] = -1;
}

void take(Kind kind, const void* values, const std::int64_t* source, std::size_t m, void* out) {
    switch (kind) {
        case Kind::Float64:
            return take_typed(static_cast<const double*>(values), source, m,
                              static_cast<double*>(out), std::nan(""));
        case Kind::Float32:
            return take_typed(static_cast<const float*>(values), source, m,
                              static_cast<float*>(out), std::nanf(""));
        case Kind::Stamp:
        case Kind::Int64:
            return take_typed(static_cast<const std::int64_t*>(values), source, m,
                              static_cast<std::int64_t*>(out), kNaT);
        case Kind::Int8:
        case Kind::UInt8:
        case Kind::Bool:
            return take_typed(static_cast<const std::uint8_t*>(values), source, m,
                              static_cast<std::uint8_t*>(out), std::uint8_t{0});
        case Kind::Int16:
        case Kind::UInt16:
            return take_typed(static_cast<const std::uint16_t*>(values), source, m,
                              static_cast<std::uint16_t*>(out), std::uint16_t{0});
        case Kind::Int32:
        case Kind::UInt32:
            return take_typed(static_cast<const std::uint32_t*>(values), source, m,
                              static_cast<std::uint32_t*>(out), std::uint32_t{0});
        case Kind::UInt64:
            return take_typed(static_cast<const std::uint64_t*>(values), source, m,
                              static_cast<std::uint64_t*>(out), std::uint64_t{0});
    }
}

void merge_conflicts(const std::vector<std::vector<std::int64_t>>& per_column, std::size_t runs,
                     std::vector<std::int64_t>& out_runs, std::vector<std::int64_t>& out_cols) {
    // Counting sort by run; columns are visited in order, so each run's
    // columns come out ascending.
    std::vector<std::int64_t> offset(runs + 1, 0);
    std::size_t total = 0;
    for (const auto& list : per_column) {
        total += list.size();
        for (std::int64_t r : list) ++offset[r + 1];
    }
    for (std::size_t r = 0; r < runs; ++r) offset[r + 1] += offset[r];
    out_runs.assign(total, 0);
    out_cols.assign(total, 0);
    for (std::size_t j = 0; j < per_column.size(); ++j)
        for (std::int64_t r : per_column[j]) {
            const std::int64_t k = offset[r]++;
            out_runs[k] = r;
            out_cols[k] = static_cast<std::int64_t>(j);
        }
}

}  // namespace talvo::per_second
