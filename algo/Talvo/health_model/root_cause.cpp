// The T2 root-cause variable: the input column behind the largest
// contribution to the first sample above the T2 limit.
#include "../../common/pyhelpers.h"
#include "../functions.h"

namespace talvo {

namespace {

// Contributions of every feature of one sample on the component that
// carries most of its T2: table "Variable", "Contribution",
// "AbsContribution", indexed by df_scaled's columns, largest absolute
// contribution first. The sort is stable, so among equal contributions the
// feature that comes first in column order leads.
py::object get_variable_contributions(const algo::Call& c, const py::object& df_scaled,
                                      const py::object& pca, const py::object& data_pca,
                                      const py::object& df_columns, Py_ssize_t sample_index) {
    py::object np = c("np");
    py::object x_row = df_scaled.attr("iloc")[py::int_(sample_index)];
    py::object loadings = pca.attr("components_").attr("T");
    py::object t_scores = algo::getitem(data_pca, py::int_(sample_index));
    PyObject* squared = PyNumber_Power(t_scores.ptr(), py::int_(2).ptr(), Py_None);
    if (!squared) throw py::error_already_set();
    py::object contrib_pc =
        py::reinterpret_steal<py::object>(squared) / pca.attr("explained_variance_");
    py::object main_pc_idx = np.attr("argmax")(contrib_pc);
    py::object pc_loading =
        loadings[py::make_tuple(py::slice(py::none(), py::none(), py::none()), main_pc_idx)];
    py::object var_contrib = x_row * pc_loading;
    py::dict columns;
    columns["Variable"] = df_columns;
    columns["Contribution"] = var_contrib;
    columns["AbsContribution"] = np.attr("abs")(var_contrib);
    py::object var_contrib_df = c("pd").attr("DataFrame")(columns);
    return var_contrib_df.attr("sort_values")("by"_a = "AbsContribution", "ascending"_a = false,
                                              "kind"_a = "stable");
}

}  // namespace

py::object analyze_T2_anomalies(const algo::Call& c) {
    const py::object &df_scaled_test = c[0], &df_pca_test = c[1], &df_test = c[2],
                     &df_health_test = c[3], &pca = c[4], &ucl = c[5];
    // c[6], top_k: accepted, the result is always one variable.
    py::object above = algo::gt(algo::getitem(df_health_test, "tsquare"), ucl);
    py::object anomalies = algo::getitem(df_health_test, above);
    if (algo::py_len(anomalies) == 0) return py::str("None");

    // Row position of the first sample above the limit. Taken from the mask
    // rather than by looking its label up again, so a T2 table with repeated
    // index labels still points at that very row.
    py::object positions = c("np").attr("flatnonzero")(above.attr("to_numpy")("dtype"_a = "bool"));
    const Py_ssize_t i = py::cast<Py_ssize_t>(positions[py::int_(0)]);

    py::object contrib_df =
        get_variable_contributions(c, df_scaled_test, pca, df_pca_test, df_test.attr("columns"), i);
    py::object top_variable = algo::getitem(contrib_df, "Variable").attr("iloc")[py::int_(0)];
    for (const char* suffix : {"_max", "_mean", "_std"}) {
        if (algo::truthy(top_variable.attr("endswith")(suffix))) {
            const Py_ssize_t cut = static_cast<Py_ssize_t>(std::char_traits<char>::length(suffix));
            top_variable = top_variable[py::slice(py::none(), py::int_(-cut), py::none())];
            break;
        }
    }
    return top_variable;
}

}  // namespace talvo

TALVO_IMPL(analyze_T2_anomalies,
           "Input column behind the first T2 value above ucl.\n\n"
           "Takes the first row of df_health_test whose 'tsquare' exceeds ucl, finds the\n"
           "principal component with the largest t^2 / explained variance for that sample, and\n"
           "returns the feature with the largest absolute contribution (scaled value times\n"
           "loading) on it, without its '_max', '_mean' or '_std' suffix. Among equal\n"
           "contributions the first feature in column order wins. Returns the text 'None' when\n"
           "no T2 value exceeds ucl; top_k is accepted and not used.")
