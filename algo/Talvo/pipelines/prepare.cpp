#include "prepare.h"

#include <string>
#include <vector>

#include "../../common/pyhelpers.h"

namespace talvo::prep {

namespace {

const char* const kTimeKeywords[] = {"Overall", "Peak", "Crest"};
const char* const kFreqKeywords[] = {"Band"};
const char* const kFailKeywords[] = {"Bearing",   "Looseness", "Misalignment",
                                     "Imbalance", "Gear",      "Van"};

// any(k in col for k in keywords), keywords tried in order.
template <size_t N>
bool any_keyword(py::handle col, const char* const (&keywords)[N]) {
    for (const char* k : keywords)
        if (algo::py_contains(col, py::str(k))) return true;
    return false;
}

}  // namespace

AlgoConfig parse_algo_config(py::handle algo_config) {
    py::object pieces = algo_config.attr("split")(",");
    std::vector<py::object> codes;
    for (py::handle piece : pieces) codes.push_back(piece.attr("strip")());
    const size_t n = codes.size();
    if (n > 8) algo::raise(PyExc_ValueError, "too many values to unpack (expected 8)");
    if (n < 8)
        algo::raise(PyExc_ValueError, "need more than " + std::to_string(n) +
                                          (n == 1 ? " value" : " values") + " to unpack");
    return AlgoConfig{codes[0], codes[1], codes[2], codes[3],
                      codes[4], codes[5], codes[6], codes[7]};
}

bool code_is(py::handle code, const char* text) { return algo::eq_text(code, text); }

py::object compress(const algo::Call& c, py::handle df, py::handle time_col) {
    return algo::getitem(c("compress_by_second")(df, time_col), py::int_(0));
}

py::object select_numeric(const algo::Call&, py::handle df, py::handle time_col) {
    py::list cols;
    cols.append(time_col);
    // df.select_dtypes is looked up first, as the expression reads it, so a
    // value that is not a table fails there. On a DataFrame the dtypes of an
    // empty row slice name the same columns as the whole table's, without
    // select_dtypes copying every numeric column.
    py::object select_dtypes = df.attr("select_dtypes");
    py::object frame_type = py::module_::import("pandas").attr("DataFrame");
    if (PyObject_TypeCheck(df.ptr(), reinterpret_cast<PyTypeObject*>(frame_type.ptr())))
        select_dtypes = algo::getitem(df.attr("iloc"), py::slice(0, 0, 1)).attr("select_dtypes");
    py::object numeric = select_dtypes("include"_a = "number").attr("columns");
    for (py::handle name : numeric.attr("tolist")()) cols.append(name);
    return algo::loc_columns(df, cols);
}

py::object parse_times(const algo::Call& c, py::handle df, py::handle time_col) {
    py::object parsed =
        c("pd").attr("to_datetime")(algo::getitem(df, time_col), "errors"_a = "coerce");
    // A shallow copy (no data copied) takes the new column: the table given
    // is left as it was, and a table pandas tracks as a slice of another one
    // raises no SettingWithCopyWarning.
    py::object out = df.attr("copy")("deep"_a = false);
    algo::setitem(out, time_col, parsed);
    return out;
}

std::pair<py::object, py::object> start_end_texts(py::handle df, py::handle time_col) {
    py::object times = algo::getitem(df, time_col);
    py::object start = algo::strftime(times.attr("min")(), algo::kTimeFormat);
    py::object end = algo::strftime(times.attr("max")(), algo::kTimeFormat);
    return {start, end};
}

py::object drop_missing_times_and_index(py::handle df, py::handle time_col) {
    py::list subset;
    subset.append(time_col);
    py::object missing = algo::getitem(df, time_col).attr("isna")().attr("any")();
    if (!PyBool_Check(missing.ptr()) &&
        !py::isinstance(missing, py::module_::import("numpy").attr("bool_")))
        // Not a single time column (repeated names): the plain library road.
        return df.attr("dropna")("subset"_a = subset).attr("set_index")(time_col);
    // Same table as df.dropna(subset=[time_col]).set_index(time_col), with
    // fewer full copies: no dropna copy when every time parsed, and the index
    // set in place on a table of our own.
    py::object out = algo::truthy(missing) ? df.attr("dropna")("subset"_a = subset)
                                           : df.attr("copy")("deep"_a = false);
    out.attr("set_index")(time_col, "inplace"_a = true);
    return out;
}

py::object drop_quality_columns(py::handle df) {
    py::object out = py::reinterpret_borrow<py::object>(df);
    for (const char* word : {"percentage", "QC"}) {
        py::object hit = out.attr("columns").attr("str").attr("contains")(word, "case"_a = false,
                                                                          "na"_a = false);
        py::object keep = hit.attr("__invert__")();
        out = algo::loc_columns(out, keep);
    }
    return out;
}

Families classify_families(py::handle columns) {
    Families f;
    for (py::handle col : columns) {
        if (any_keyword(col, kTimeKeywords))
            f.time.append(col);
        else if (any_keyword(col, kFreqKeywords))
            f.frequency.append(col);
        else if (any_keyword(col, kFailKeywords))
            f.fail_mode.append(col);
    }
    return f;
}

Families without(const Families& f, py::handle drop) {
    auto filter = [&](const py::list& names) {
        py::list out;
        for (py::handle name : names)
            if (!algo::py_contains(drop, name)) out.append(name);
        return out;
    };
    return Families{filter(f.time), filter(f.frequency), filter(f.fail_mode)};
}

py::object indicator_record(const algo::Call& c, const Families& f, py::handle feature_setting) {
    py::object ns = c("SimpleNamespace");
    if (code_is(feature_setting, "1"))
        return ns("time"_a = f.time, "frequency"_a = f.frequency, "fail_mode"_a = f.fail_mode);
    if (code_is(feature_setting, "2"))
        return ns("time"_a = f.time, "frequency"_a = f.frequency, "fail_mode"_a = py::list());
    if (code_is(feature_setting, "3"))
        return ns("time"_a = py::list(), "frequency"_a = f.frequency, "fail_mode"_a = py::list());
    return py::object();
}

void extract_training_features(const algo::Call& c, py::object& df, algo::Local& record,
                               const algo::Local& time_scale, py::handle feature_code,
                               py::handle time_col, int sec_count) {
    py::object features;  // (table, record) of the extractor, when one runs
    // Callee first, then the arguments left to right, as the interpreter
    // evaluates a call.
    auto rolling = [&](int window, int step) {
        py::object fn = c("feature_extraction_rolling");
        py::object rec = record.get();
        return fn(df, rec, window, step);
    };
    if (code_is(feature_code, "1")) {
        if (algo::eq_text(time_scale.get(), "h"))
            df = c("time_filter")(df, time_col, "sec_count"_a = sec_count);
        py::object fn = c("feature_extraction");
        py::object rec = record.get();
        py::object scale = time_scale.get();
        features = fn(df, rec, scale);
    } else if (code_is(feature_code, "2")) {
        features = rolling(120, 60);
    } else if (code_is(feature_code, "3")) {
        features = rolling(3600, 1800);
    } else if (code_is(feature_code, "4")) {
        features = rolling(60, 30);
    }
    if (features) {
        std::vector<py::object> items = algo::unpack(features, 2);
        df = items[0];
        record = items[1];
    }
}

std::pair<py::object, py::list> pick_model_columns(py::handle df, py::handle time_col,
                                                   py::handle record) {
    py::list head;
    head.append(time_col);
    py::object all =
        head + record.attr("time") + record.attr("frequency") + record.attr("fail_mode");
    py::list wanted;
    py::set seen;
    for (py::handle name : all) {
        if (algo::py_contains(seen, name)) continue;
        seen.add(name);
        wanted.append(name);
    }
    py::object columns = df.attr("columns");
    py::list existing;
    for (py::handle name : wanted)
        if (algo::py_contains(columns, name)) existing.append(name);
    return {algo::loc_columns(df, existing).attr("copy")(), wanted};
}

}  // namespace talvo::prep
