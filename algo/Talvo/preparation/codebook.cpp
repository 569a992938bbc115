// The back end's codebook setting turned into a map keyed by reading column
// names, and the row filter that keeps the rows within its limits.
#include "codebook.h"

#include "../../common/pyhelpers.h"

namespace talvo {

namespace {

// format(x, ""), the text an f-string field gives.
py::str text_of(py::handle x) {
    PyObject* r = PyObject_Format(x.ptr(), nullptr);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(r);
}

py::object join(py::handle a, const char* sep, py::handle b) {
    return text_of(a) + py::str(sep) + text_of(b);
}

// {"min": rule.get("min"), "max": rule.get("max")}
py::dict limits_of(py::handle rule) {
    py::object get = rule.attr("get");
    py::dict d;
    d["min"] = get("min");
    d["max"] = get("max");
    return d;
}

// mapping.get(key, default) on a fresh list default: only an absent key
// counts as an empty list, a null value stays null and fails on iteration.
py::object list_entry(py::handle mapping, const char* key) {
    return mapping.attr("get")(key, py::list());
}

// One line through the interpreter's print.
void say(const py::str& line) { algo::print_line(py::cast<std::string>(line)); }

}  // namespace

py::object feature_threshold_mapping(const algo::Call& c) {
    const py::object& config_data = c[0];
    py::dict feature_map;

    py::dict time_domain_name_map;
    time_domain_name_map["overall_rms"] = "Overall";
    time_domain_name_map["peak"] = "Peak";
    time_domain_name_map["peak_to_peak"] = "Peak_to_Peak";
    time_domain_name_map["crest_factor"] = "Crest_Factor";

    py::dict fail_mode_name_map;
    fail_mode_name_map["bearing"] = "Bearing";
    fail_mode_name_map["looseness"] = "Looseness";
    fail_mode_name_map["misalignment"] = "Misalignment";
    fail_mode_name_map["imbalance"] = "Imbalance";
    fail_mode_name_map["gear_mesh"] = "Gear_mesh";
    fail_mode_name_map["Van_pass"] = "Van_Pass";

    py::object axis = algo::getitem(algo::getitem(config_data, "config"), "axis");
    for (py::handle item : axis.attr("items")()) {
        py::object axis_name = item[py::int_(0)];
        py::object axis_cfg = item[py::int_(1)];
        for (py::handle rule : list_entry(axis_cfg, "time_domain")) {
            py::object type = algo::getitem(rule, "type");
            py::object part = time_domain_name_map.attr("get")(type, type);
            feature_map[join(axis_name, "_", part)] = limits_of(rule);
        }
        for (py::handle rule : list_entry(axis_cfg, "power_in_band")) {
            py::object type = algo::getitem(rule, "type").attr("replace")("in_band", "in_Band");
            feature_map[join(axis_name, "_", type)] = limits_of(rule);
        }
    }
    for (py::handle rule :
         list_entry(algo::getitem(config_data, "config"), "fail_mode_thresholds")) {
        py::object type = algo::getitem(rule, "type");
        feature_map[fail_mode_name_map.attr("get")(type, type)] = limits_of(rule);
    }
    return feature_map;
}

py::object codebook_df_filter(const algo::Call& c) {
    const py::object &df = c[0], &threshold_map = c[1], &control = c[2], &verbose = c[3];
    const bool all = algo::eq_text(control, "all");
    if (!all && !algo::eq_text(control, "min"))
        algo::raise(PyExc_ValueError, "control 只允許 'all' 或 'min'");

    py::object pd = c("pd");
    py::object index = df.attr("index");
    py::object mask = pd.attr("Series")(true, "index"_a = index);
    for (py::handle item : threshold_map.attr("items")()) {
        py::object col = item[py::int_(0)];
        py::object rule = item[py::int_(1)];
        if (!algo::py_contains(df.attr("columns"), col)) {
            if (algo::truthy(verbose)) say(py::str("[跳過] df中沒有欄位: ") + text_of(col));
            continue;
        }
        py::object get = rule.attr("get");
        py::object min_v = get("min", py::none());
        py::object max_v = get("max", py::none());
        py::object col_mask = pd.attr("Series")(true, "index"_a = index);
        if (!min_v.is_none()) col_mask = col_mask & algo::ge(algo::getitem(df, col), min_v);
        if (all && !max_v.is_none()) col_mask = col_mask & algo::le(algo::getitem(df, col), max_v);
        mask = mask & col_mask;
        if (algo::truthy(verbose)) {
            py::object failed = (~col_mask).attr("sum")();
            if (all)
                say(py::str("[卡控] ") + text_of(col) + py::str(": min=") + text_of(min_v) +
                    py::str(", max=") + text_of(max_v) + py::str(", 超限筆數=") + text_of(failed));
            else
                say(py::str("[卡控下限] ") + text_of(col) + py::str(": min=") + text_of(min_v) +
                    py::str(", 小於下限筆數=") + text_of(failed));
        }
    }
    py::object kept = algo::getitem(df, mask).attr("copy")();
    py::object removed = algo::getitem(df, ~mask).attr("copy")();
    if (algo::truthy(verbose)) {
        algo::print_line("原始筆數: " + std::to_string(algo::py_len(df)));
        algo::print_line("保留筆數: " + std::to_string(algo::py_len(kept)));
        algo::print_line("刪除筆數: " + std::to_string(algo::py_len(removed)));
    }
    return py::make_tuple(kept, removed);
}

}  // namespace talvo

TALVO_IMPL(feature_threshold_mapping,
           "將後端設定格式轉成前端/分析端可直接查詢的 feature threshold map")
TALVO_IMPL(codebook_df_filter,
           "Keep the rows of df within the limits of a threshold map.\n\n"
           "threshold_map: {column: {'min': value or None, 'max': value or None}}, for example\n"
           "{'X_Overall': {'min': 0, 'max': 2500}, 'X_Peak': {'min': 100, 'max': 2500}}\n"
           "control: 'all' -> 上下限都卡控, 'min' -> 只卡控下限\n"
           "verbose: 是否印出資訊\n\n"
           "Returns (kept, removed), two new tables with all columns of df.")
