// Health score, T2 anomaly rate and T2 abnormal times.
#include "../../common/pyhelpers.h"
#include "health_model.h"

namespace talvo {

py::object Health_Index(const algo::Call& c) {
    const py::object &tsquare_df = c[0], &ucl = c[1], &score_tightness = c[2];
    py::object np = c("np");
    py::object t = algo::getitem(tsquare_df, "tsquare");
    // 100 * score_tightness ** (t / ucl), evaluated as exp(log(s) * (t / ucl)) * 100.
    py::object scores =
        np.attr("exp")(np.attr("log")(score_tightness) * (t / ucl)) * py::int_(100);
    py::object df_Talvo = c("pd").attr("DataFrame")("index"_a = tsquare_df.attr("index"));
    df_Talvo[py::str("Score")] = scores;
    return df_Talvo;
}

py::object T2_Anomaly_Rate(const algo::Call& c) {
    py::object np = c("np");
    py::object a = np.attr("array")(c[0]);
    py::object num_abnormal = np.attr("sum")(algo::gt(a, c[1]));
    py::object total = py::int_(algo::py_len(a));
    return num_abnormal / total;
}

py::object find_T2_abnormal_times(const algo::Call& c) {
    const py::object &T2 = c[0], &ucl = c[1];
    py::object mask = algo::gt(algo::getitem(T2, "tsquare"), ucl);
    return algo::getitem(T2, mask).attr("index");
}

}  // namespace talvo

TALVO_IMPL(Health_Index,
           "Health score 100 * score_tightness ** (T2 / ucl) of every row of a T2 table.\n\n"
           "Returns a table with the one column 'Score' and the T2 table's index.")
TALVO_IMPL(T2_Anomaly_Rate,
           "Share of T2 values strictly above ucl (a NumPy float; NaN for no values).")
TALVO_IMPL(find_T2_abnormal_times,
           "Index labels of the rows of a T2 table whose 'tsquare' is strictly above ucl.")
