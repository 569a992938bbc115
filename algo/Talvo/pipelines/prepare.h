// Shared by the pipelines and the limit/light entry points: the configuration
// code string, the preparation of readings and the keyword families.
#pragma once

#include <string>
#include <utility>

#include "../../common/errors.h"
#include "../functions.h"

namespace talvo::prep {

// The eight codes of algo_config, each a stripped str, compared as text.
struct AlgoConfig {
    py::object time_scale_setting;          // 0: "0" min, "1" h
    py::object testing_outlier_clean;       // 1: "1" per-minute outlier filter when scoring
    py::object low_feature_select_setting;  // 2: "1" low-resolution screening
    py::object feature_setting;             // 3: "1" all, "2" time+freq, "3" freq
    py::object scale_setting;               // 4: "1" none, "2" standard, "3" min-max
    py::object model_setting;               // 5: "1" health model
    py::object quenda_deadline_setting;     // 6: "1" or "2"
    py::object feature_extraction_setting;  // 7: "1".."4"
};

// algo_config.split(","), each piece stripped, unpacked into eight codes.
// Other counts raise ValueError "too many values to unpack (expected 8)" or
// "need more than N values to unpack"; a non-text argument raises what
// `.split` raises on it.
AlgoConfig parse_algo_config(py::handle algo_config);

// code == text, as the interpreter compares them.
bool code_is(py::handle code, const char* text);

// Item 0 of compress_by_second(df, time_col) (late bound, defaults).
py::object compress(const algo::Call& c, py::handle df, py::handle time_col);

// The time column followed by every numeric column, in table order:
// df[[time_col] + df.select_dtypes(include="number").columns.tolist()],
// taken with .loc so later column writes go to the new table only.
py::object select_numeric(const algo::Call& c, py::handle df, py::handle time_col);

// A table like df whose time column is pd.to_datetime(..., errors="coerce");
// df itself is left unchanged and no data is copied.
py::object parse_times(const algo::Call& c, py::handle df, py::handle time_col);

// (start, end): min and max of the parsed time column, each formatted
// "%Y-%m-%d %H:%M:%S" (raises when no time parsed: NaT cannot be formatted).
std::pair<py::object, py::object> start_end_texts(py::handle df, py::handle time_col);

// df.dropna(subset=[time_col]).set_index(time_col)
py::object drop_missing_times_and_index(py::handle df, py::handle time_col);

// Drops every column whose name contains "percentage", then "QC", both
// case-insensitive (a non-text name counts as no match).
py::object drop_quality_columns(py::handle df);

// The keyword families and the three lists they fill, in table order.
struct Families {
    py::list time, frequency, fail_mode;
};
Families classify_families(py::handle columns);

// Each list rebuilt without the names of `drop` (order kept).
Families without(const Families& f, py::handle drop);

// SimpleNamespace(time=..., frequency=..., fail_mode=...) by feature_setting
// "1" / "2" / "3"; null object for any other code (the caller keeps it unset).
py::object indicator_record(const algo::Call& c, const Families& f, py::handle feature_setting);

// The training side's feature step, by feature code: "1" time buckets (after
// the hourly filter with `sec_count` when the time scale is "h"), "2"/"3"/"4"
// rolling windows 120/60, 3600/1800, 60/30. On a code that runs an extractor,
// df becomes its feature table and `record` the record it hands back; any
// other code leaves both as they are. Unset values are read in the order a
// Python call would read them, so the unbound-local error names the same one.
void extract_training_features(const algo::Call& c, py::object& df, algo::Local& record,
                               const algo::Local& time_scale, py::handle feature_code,
                               py::handle time_col, int sec_count);

// Scoring side: [time_col] + record.time + record.frequency + record.fail_mode
// without repeats, restricted to the names present in df, as a copy
// (df.loc[:, existing].copy()). Returns (table, wanted list).
std::pair<py::object, py::list> pick_model_columns(py::handle df, py::handle time_col,
                                                   py::handle record);

}  // namespace talvo::prep
