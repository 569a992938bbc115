// Chebyshev / Cantelli limit of a T2 sample and the iterative T2 purge.
#include <string>

#include "../../common/pyhelpers.h"
#include "purging.h"

namespace talvo {

namespace {

// format(value, format_spec) through the interpreter (NumPy scalars included).
std::string formatted(py::handle value, const char* format_spec) {
    PyObject* r = PyObject_Format(value.ptr(), py::str(format_spec).ptr());
    if (!r) throw py::error_already_set();
    return py::cast<std::string>(py::reinterpret_steal<py::str>(r));
}

}  // namespace

py::object chebyshev_ucl(const algo::Call& c) {
    const py::object &T2_values = c[0], &alpha = c[1], &one_sided = c[2];
    py::object np = c("np");
    py::object Tbar = np.attr("mean")(T2_values);
    py::object sT = np.attr("std")(T2_values, "ddof"_a = 1);
    py::object k;
    if (algo::truthy(one_sided))
        k = np.attr("sqrt")((py::int_(1) - alpha) / alpha);  // Cantelli, upper tail
    else
        k = py::int_(1) / np.attr("sqrt")(alpha);  // Chebyshev, both tails
    return Tbar + k * sT;
}

py::object purge_by_chebyshev(const algo::Call& c) {
    const py::object &df_scaled = c[0], &alpha = c[1], &max_iter = c[2], &one_sided = c[3];

    py::object df_current = df_scaled.attr("copy")();
    py::object prev_ucl = py::none();

    // range() rejects a non-integer with its own TypeError. An empty range
    // would leave no model to return, so it is refused before any model work.
    py::object iterations = py::module_::import("builtins").attr("range")(max_iter);
    if (!algo::truthy(iterations))
        algo::raise(PyExc_ValueError, "max_iter must be at least 1, got " + algo::to_str(max_iter));
    py::object pca, mu, cov, ucl;

    long i = 0;
    for (py::handle it : iterations) {
        (void)it;
        auto model = algo::unpack(c("health_modeling")(df_current), 4);
        mu = model[0];
        cov = model[1];
        pca = model[3];  // item 2, the F-distribution limit, plays no part here

        auto t2 = algo::unpack(c("cal_T2")(df_current, pca, mu, cov, df_current.attr("index")), 2);
        py::object tsquare = algo::getitem(t2[0], "tsquare");
        ucl = c("chebyshev_ucl")(tsquare.attr("values"), alpha, one_sided);

        py::object mask = algo::le(tsquare, ucl);  // a T2 on the limit stays
        py::object n_removed = (~mask).attr("sum")();
        py::object delta = prev_ucl.is_none() ? c("np").attr("inf") : c("abs")(ucl - prev_ucl);

        algo::print_line("第 " + std::to_string(i + 1) + " 次篩選：UCL = " + formatted(ucl, ".3f") +
                         "，移除 " + formatted(n_removed, "") +
                         " 筆；UCL 變化量 = " + formatted(delta, ".4f"));

        // Stop before filtering: the rows marked in this round stay.
        if (algo::py_eq(n_removed, py::int_(0)) ||
            (!prev_ucl.is_none() && algo::py_lt(delta, py::float_(0.001)))) {
            algo::print_line("Chebyshev purging 收斂 ✅");
            break;
        }
        df_current = algo::getitem(df_current.attr("loc"), mask);
        prev_ucl = ucl;
        ++i;
    }
    algo::print_line("最終保留樣本數：" + std::to_string(algo::py_len(df_current)));
    return py::make_tuple(df_current, pca, mu, cov, ucl);
}

}  // namespace talvo

TALVO_IMPL(chebyshev_ucl,
           "用樣本的 T² 平均與標準差，利用 Chebyshev / Cantelli 不等式估計 UCL。\n"
           "one_sided=True → Cantelli (單尾，只管右尾)\n"
           "one_sided=False → Chebyshev (雙尾，上下對稱)")
TALVO_IMPL(purge_by_chebyshev,
           "對『標準化後的 df_scaled』進行多輪 T² + Chebyshev 離群值刪除。\n"
           "\n"
           "回傳：\n"
           "df_clean : 清理後的 df_scaled\n"
           "pca, mu, cov : 最終 PCA 模型與 μ, Σ\n"
           "ucl : 收斂後的 Chebyshev UCL")
