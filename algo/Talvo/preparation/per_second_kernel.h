// One row per second over column buffers: the sorted order of the readings,
// their runs of equal seconds, and per column the row whose value survives
// plus the seconds holding two distinct non-missing values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace talvo::per_second {

// The missing time stamp (NaT) of int64 nanosecond stamps.
constexpr std::int64_t kNaT = INT64_MIN;

struct Runs {
    std::vector<std::int64_t> order;    // input positions, sorted by stamp (stable), NaT last
    std::vector<std::int64_t> starts;   // offset into `order` of each run, plus the end
    std::vector<std::int64_t> seconds;  // whole-second stamp (ns) of each run; kNaT for the last
                                        // run when it holds the rows without a time
    bool missing_run = false;           // whether the last run is the one without a time

    std::size_t count() const { return seconds.size(); }
};

// Sorts the stamps stably (missing stamps after all others, in input order)
// and cuts the order into runs of one whole second (stamps floored to the
// second, as numpy's datetime64[s] cast does). Returns false when a floored
// stamp falls outside the nanosecond range; `runs` is then unspecified.
bool build_runs(const std::int64_t* stamps, std::size_t n, Runs& runs);

// The first stamp whose start of second does not fit in int64 nanoseconds
// (those of the first 0.855 s after the earliest representable instant), or
// kNaT when every stamp can be cut to its second.
std::int64_t first_uncuttable(const std::int64_t* stamps, std::size_t n);

// out[i] = stamps[i] cut to the start of its second (floored; kNaT stays).
// Every stamp must be cuttable (first_uncuttable gave kNaT).
void floor_seconds(const std::int64_t* stamps, std::size_t n, std::int64_t* out);

// How a value is read from a column buffer and when it counts as missing.
enum class Kind {
    Float64,
    Float32,
    Int8,
    Int16,
    Int32,
    Int64,
    UInt8,
    UInt16,
    UInt32,
    UInt64,
    Bool,   // one byte per value, never missing
    Stamp,  // int64 datetime64/timedelta64 values, kNaT missing
};

// Per run: `source[r]` = input position of the last (keep_last) or first
// non-missing value of the run, or -1 when the run has none or is the run
// without a time. When `conflicts` is not null, the runs holding two distinct
// non-missing values (0 and -0.0 are equal; never the run without a time)
// are appended to it in ascending order. `values` is a contiguous buffer of
// `Kind` values indexed by input position.
void pick_column(Kind kind, const void* values, const Runs& runs, bool keep_last,
                 std::int64_t* source, std::vector<std::int64_t>* conflicts);

// The same over an externally computed missing mask (one byte per input
// position): used for columns whose values the caller compares itself.
void pick_by_mask(const std::uint8_t* missing, const Runs& runs, bool keep_last,
                  std::int64_t* source);

// out[r] = values[source[r]]; where source[r] is -1: NaN for floats, NaT for
// stamps (integer and boolean kinds must have no -1: the library widens
// their type for a missing value, which the caller does with the library).
void take(Kind kind, const void* values, const std::int64_t* source, std::size_t m, void* out);

// The (run, column) pairs of per-column conflict lists, ordered by run and,
// within a run, by column: out_runs[k], out_cols[k].
void merge_conflicts(const std::vector<std::vector<std::int64_t>>& per_column, std::size_t runs,
                     std::vector<std::int64_t>& out_runs, std::vector<std::int64_t>& out_cols);

}  // namespace talvo::per_second
