// PyInit_Talvo: start-up of algo.Talvo.Talvo, its imports, __all__ and the
// function table.
#include <pybind11/pybind11.h>

#include "../common/function.h"
#include "../common/module_init.h"
#include "functions.h"

namespace py = pybind11;

namespace {

struct Row {
    const char* name;
    std::vector<const char*> params;
    std::vector<py::object> defaults;
    std::vector<std::pair<const char*, const char*>> annotations;
    talvo::Impl* impl;  // null while the function is not linked in
};

void bind_imports(py::module_& m) {
    auto& from = algo::import_from;
    m.attr("os") = py::module_::import("os");
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("st") = py::module_::import("scipy.stats");
    m.attr("datetime") = py::module_::import("datetime");
    m.attr("glob") = from("glob", "glob");
    m.attr("plt") = from("matplotlib", "pyplot");
    m.attr("StandardScaler") = from("sklearn.preprocessing", "StandardScaler");
    m.attr("PCA") = from("sklearn.decomposition", "PCA");
    m.attr("f") = from("scipy.stats", "f");
    m.attr("skew") = from("scipy.stats", "skew");
    m.attr("ticker") = py::module_::import("matplotlib.ticker");
    m.attr("pickle") = py::module_::import("pickle");
    m.attr("norm") = from("scipy.stats", "norm");
    m.attr("SimpleNamespace") = from("types", "SimpleNamespace");
    m.attr("Counter") = from("collections", "Counter");
    m.attr("ARIMA") = from("statsmodels.tsa.arima.model", "ARIMA");
    m.attr("MinMaxScaler") = from("sklearn.preprocessing", "MinMaxScaler");
    m.attr("datetime") = from("datetime", "datetime");
}

void startup(py::module_& m) {
    // Shared default objects, created once.
    const py::object s_last = py::str("last"), s_1D = py::str("1D"), s_min = py::str("min"),
                     s_10D = py::str("10D");
    const py::object i_50000 = py::int_(50000), i_3 = py::int_(3), i_10 = py::int_(10);
    const py::object f_005 = py::float_(0.05), f_15 = py::float_(1.5), f_01 = py::float_(0.1),
                     f_07 = py::float_(0.7), f_001 = py::float_(0.01), f_05 = py::float_(0.5);
    const py::object t_true = py::bool_(true), none = py::none();

    const std::vector<Row> table = {
        {"rename_columns", {"df"}, {}, {{"df", "pd.DataFrame"}, {"return", "pd.DataFrame"}},
         &rename_columns_impl},
        {"feature_extraction", {"df", "indicator_col_name", "time_scale"}, {}, {},
         &feature_extraction_impl},
        {"safe_resample_max", {"df", "indicator_name", "time_scale", "chunk_size"}, {i_50000}, {},
         &safe_resample_max_impl},
        {"safe_resample_mean", {"df", "indicator_name", "time_scale", "chunk_size"}, {i_50000}, {},
         &safe_resample_mean_impl},
        {"feature_extraction_rolling", {"df", "indicator_col_name", "window", "step"}, {}, {},
         &feature_extraction_rolling_impl},
        {"standardize", {"df"}, {}, {}, &standardize_impl},
        {"testing_scaler", {"df", "scaler"}, {}, {}, &testing_scaler_impl},
        {"minmax_scale", {"df"}, {}, {}, &minmax_scale_impl},
        {"testing_minmax", {"df", "scaler"}, {}, {}, &testing_minmax_impl},
        {"health_modeling", {"df_scaled", "alpha"}, {f_005}, {}, &health_modeling_impl},
        {"cal_T2", {"df_scaled", "pca", "model_mu", "model_cov", "df_scaled_index"}, {}, {},
         &cal_T2_impl},
        {"Health_Index", {"tsquare_df", "ucl", "score_tightness"}, {}, {}, &Health_Index_impl},
        {"T2_Anomaly_Rate", {"tsquare_values", "ucl"}, {}, {}, &T2_Anomaly_Rate_impl},
        {"SPE_residual", {"df", "df_scaled_index", "alpha"}, {}, {}, &SPE_residual_impl},
        {"find_T2_abnormal_times", {"T2", "ucl"}, {}, {}, &find_T2_abnormal_times_impl},
        {"find_SPE_abnormal_times", {"spe_df", "spe_ucl", "residual_df", "top_k"}, {i_3}, {},
         &find_SPE_abnormal_times_impl},
        {"SPE_residual_testing", {"df", "df_scaled", "df_scaled_index", "alpha"}, {}, {},
         &SPE_residual_testing_impl},
        {"time_filter", {"df", "datetime_name", "sec_count"}, {}, {}, &time_filter_impl},
        {"drop_outliers_by_min", {"df", "time_col", "exclude_cols", "iqr_k"}, {none, f_15}, {},
         &drop_outliers_by_min_impl},
        {"low_resolution", {"df"}, {}, {}, &low_resolution_impl},
        {"compress_by_second",
         {"df", "time_col", "on_conflict", "want_conflicts"},
         {s_last, t_true},
         {{"df", "pd.DataFrame"},
          {"time_col", "str"},
          {"on_conflict", "str"},
          {"want_conflicts", "bool"}},
         &compress_by_second_impl},
        {"feature_threshold_mapping", {"config_data"}, {}, {}, &feature_threshold_mapping_impl},
        {"codebook_df_filter", {"df", "threshold_map", "control", "verbose"}, {t_true}, {},
         &codebook_df_filter_impl},
        {"training_model", {"df", "algo_config", "codebook"}, {none}, {}, &training_model_impl},
        {"testing_model", {"df", "dictionary"}, {}, {}, &testing_model_impl},
        {"analyze_T2_anomalies",
         {"df_scaled_test", "df_pca_test", "df_test", "df_health_test", "pca", "ucl", "top_k"},
         {i_3},
         {},
         &analyze_T2_anomalies_impl},
        {"detect_bad_Talvo_zone",
         {"df", "threshold", "envelope_window", "envelope_method", "envelope_param",
          "density_window", "density_threshold"},
         {s_1D, s_min, f_01, s_10D, f_07},
         {},
         &detect_bad_Talvo_zone_impl},
        {"group_alert_times", {"alert_times", "window"}, {}, {}, &group_alert_times_impl},
        {"IQR_outlier_percent_clean", {"df", "max_ratio", "datetime_name", "iqr_k"}, {f_15}, {},
         &IQR_outlier_percent_clean_impl},
        {"outlier_clean",
         {"df", "dictionary", "max_ratio_start", "max_ratio_step", "max_ratio_limit"},
         {f_001, f_001, f_05},
         {},
         &outlier_clean_impl},
        {"chebyshev_ucl", {"T2_values", "alpha", "one_sided"}, {f_005, t_true}, {},
         &chebyshev_ucl_impl},
        {"purge_by_chebyshev",
         {"df_scaled", "alpha", "max_iter", "one_sided"},
         {f_005, i_10, t_true},
         {},
         &purge_by_chebyshev_impl},
        {"outlier_chebyshev_T2_purging", {"df", "algo_config"}, {}, {},
         &outlier_chebyshev_T2_purging_impl},
        {"training_model_GB_compare", {"df_good", "df_bad", "time_scale"}, {}, {},
         &training_model_GB_compare_impl},
        {"failure_deadline_learning", {"dfs", "dictionary", "info"}, {}, {},
         &failure_deadline_learning_impl},
        {"pre_feature_training", {"df"}, {}, {}, &pre_feature_training_impl},
        {"pre_feature_light", {"df", "threshold"}, {}, {}, &pre_feature_light_impl},
        {"ISO20816_overall", {"power", "foundation_type"}, {}, {}, &ISO20816_overall_impl},
        {"ISO20816_light", {"df", "warning", "alert"}, {}, {}, &ISO20816_light_impl},
    };

    bind_imports(m);

    py::list all;
    for (const char* name : {"feature_extraction", "health_modeling", "Health_Index", "cal_T2",
                             "training_model", "testing_model", "analyze_T2_anomalies",
                             "detect_bad_Talvo_zone"})
        all.append(py::str(name));
    m.attr("__all__") = all;

    for (const Row& row : table) {
        if (row.impl == nullptr) continue;  // not linked into this build
        algo::add_function(m, algo::FunctionDef{row.name, row.params, row.defaults,
                                                row.annotations, row.impl->doc, row.impl->body});
    }
}

algo::ModuleStartup talvo_startup{"Talvo", "algo.Talvo.Talvo", &startup};

int talvo_exec(PyObject* module) { return algo::exec_module(module, talvo_startup); }

PyModuleDef_Slot talvo_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(&talvo_exec)},
                                  {0, nullptr}};

PyModuleDef talvo_def = {
    PyModuleDef_HEAD_INIT,
    "Talvo",
    "Health-index analytics of rotating machines: scaling, PCA health model, Hotelling T2,\n"
    "SPE, health score, preparation of vibration readings, features and pipelines.",
    0,
    nullptr,
    talvo_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_Talvo() { return PyModuleDef_Init(&talvo_def); }
