// Squared prediction error (Q statistic) against a 90 % PCA model, its
// Jackson-Mudholkar control limit and the share of rows above it.
#include <cmath>

#include "../../common/numpy_rules.h"
#include "../../common/pyhelpers.h"
#include "health_model.h"

namespace talvo {

namespace {

bool float32_array(const py::object& o) {
    algo::NumKind kind;
    return py::isinstance<py::array>(o) &&
           algo::numeric_kind(py::reinterpret_borrow<py::array>(o).dtype(), kind) &&
           kind == algo::NumKind::f32;
}

// Sums of the first three powers of the discarded eigenvalues, in doubles so
// the degenerate case (nothing discarded) gives NaN without NumPy warnings.
// Float32 eigenvalues (a model fitted on float32 values) are summed as NumPy
// sums them, in float32.
struct Thetas {
    double t1 = 0.0, t2 = 0.0, t3 = 0.0;
};

Thetas discarded_thetas(const py::object& np, const py::object& eigenvalues, long kept) {
    Thetas t;
    auto lam = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(eigenvalues);
    if (!lam) throw py::error_already_set();
    if (float32_array(eigenvalues) && kept < lam.size()) {
        py::object rest = eigenvalues[py::slice(kept, lam.size(), 1)];
        t.t1 = py::cast<double>(np.attr("sum")(rest));
        t.t2 = py::cast<double>(np.attr("sum")(rest.attr("__pow__")(2)));
        t.t3 = py::cast<double>(np.attr("sum")(rest.attr("__pow__")(3)));
        return t;
    }
    const double* v = lam.data();
    for (Py_ssize_t i = kept; i < lam.size(); ++i) {
        t.t1 += v[i];
        t.t2 += v[i] * v[i];
        t.t3 += v[i] * v[i] * v[i];
    }
    return t;
}

// The limit, the SPE table and the share above the limit through NumPy's own
// arithmetic, for a normal quantile `z` that is not a single float.
py::object limit_by_library(const algo::Call& c, const py::object& residual_df,
                            const py::object& spe, const py::object& df_scaled_index,
                            const Thetas& th, double h0_value, const py::object& z) {
    py::object np = c("np");
    py::object f64 = np.attr("float64");
    py::object t1 = f64(th.t1), t2 = f64(th.t2), h0 = f64(h0_value);
    py::object one = py::int_(1), two = py::int_(2);
    py::object root = np.attr("sqrt")(two * t2 * h0 * h0);
    py::object base = z * root / t1 + one + t2 * h0 * (h0 - one) / (t1 * t1);
    PyObject* raised = PyNumber_Power(base.ptr(), (one / h0).ptr(), Py_None);
    if (!raised) throw py::error_already_set();
    py::object ucl = t1 * py::reinterpret_steal<py::object>(raised);
    py::object spe_df = c("pd")
                            .attr("Series")(spe, "index"_a = df_scaled_index, "name"_a = "SPE")
                            .attr("to_frame")();
    py::object num_anomalies = np.attr("sum")(algo::gt(spe, ucl));
    py::object ratio = num_anomalies / py::int_(algo::py_len(spe));
    return py::make_tuple(residual_df, spe_df, ucl, ratio);
}

// Steps shared by both entry points, on an already scaled matrix or table;
// `df` only names the columns, read where the residual table is built.
py::object spe_from_scaled(const algo::Call& c, const py::object& df_scaled, const py::object& df,
                           const py::object& df_scaled_index, const py::object& alpha) {
    py::object np = c("np"), pd = c("pd");
    py::object pca = c("PCA")("n_components"_a = 0.9);
    pca.attr("fit")(df_scaled);
    py::object df_pca = pca.attr("transform")(df_scaled);
    py::object df_reconstructed = pca.attr("inverse_transform")(df_pca);

    // The residual goes under df_scaled_index and the names of df by
    // position: a labelled df_scaled must not realign it (its labels may
    // differ from both); a shape mismatch still raises the constructor's error.
    py::object residual = np.attr("asarray")(df_scaled - df_reconstructed);
    py::object columns = df.attr("columns");
    py::object residual_df =
        pd.attr("DataFrame")(residual, "index"_a = df_scaled_index, "columns"_a = columns);
    py::object spe = np.attr("sum")(residual.attr("__pow__")(2), "axis"_a = 1);

    py::object all_eigenvalues = c("PCA")().attr("fit")(df_scaled).attr("explained_variance_");
    const long kept = py::cast<long>(pca.attr("n_components_"));
    const Thetas th = discarded_thetas(np, all_eigenvalues, kept);

    const double h0 = 1.0 - (2.0 * th.t1 * th.t3) / (3.0 * th.t2 * th.t2);
    py::object z = c("norm").attr("ppf")(py::int_(1) - alpha);
    if (!PyFloat_Check(z.ptr()))
        // An alpha that is not one number: the limit and the share as the
        // library expressions make them (NumPy broadcasting and its errors).
        return limit_by_library(c, residual_df, spe, df_scaled_index, th, h0, z);
    const double zd = PyFloat_AsDouble(z.ptr());
    const double ucl = th.t1 * std::pow(zd * std::sqrt(2.0 * th.t2 * h0 * h0) / th.t1 + 1.0 +
                                            th.t2 * h0 * (h0 - 1.0) / (th.t1 * th.t1),
                                        1.0 / h0);

    py::object spe_df =
        pd.attr("Series")(spe, "index"_a = df_scaled_index, "name"_a = "SPE").attr("to_frame")();

    // Strict: a row at the limit is normal. A float32 SPE compares with the
    // limit as NumPy compares it, in float32.
    const double limit = float32_array(spe) ? algo::comparison_scalar<float>(ucl) : ucl;
    auto values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(spe);
    if (!values) throw py::error_already_set();
    Py_ssize_t above = 0;
    for (Py_ssize_t i = 0; i < values.size(); ++i)
        if (values.data()[i] > limit) ++above;
    py::object float64 = np.attr("float64");
    py::object ratio = float64(static_cast<double>(above) / static_cast<double>(values.size()));
    return py::make_tuple(residual_df, spe_df, float64(ucl), ratio);
}

}  // namespace

py::object SPE_residual(const algo::Call& c) {
    const py::object &df = c[0], &df_scaled_index = c[1], &alpha = c[2];
    py::object scaler = c("StandardScaler")();
    scaler.attr("fit")(df);
    py::object df_scaled = scaler.attr("transform")(df);
    return spe_from_scaled(c, df_scaled, df, df_scaled_index, alpha);
}

py::object SPE_residual_testing(const algo::Call& c) {
    const py::object &df = c[0], &df_scaled = c[1], &df_scaled_index = c[2], &alpha = c[3];
    return spe_from_scaled(c, df_scaled, df, df_scaled_index, alpha);
}

}  // namespace talvo

TALVO_IMPL(SPE_residual,
           "SPE of every row of a feature table against a 90 % PCA model.\n\n"
           "Standardises df with a new StandardScaler, fits PCA(n_components=0.9) and a full\n"
           "PCA on it, and returns (residual_df, spe_df, spe_ucl, spe_anomaly_ratio): the\n"
           "residuals under df_scaled_index and df's column names, the column 'SPE', the\n"
           "Jackson-Mudholkar limit at level 1 - alpha and the share of rows strictly above it.")
TALVO_IMPL(SPE_residual_testing,
           "SPE of already scaled values against a 90 % PCA model fitted on them.\n\n"
           "Like SPE_residual without the scaler: df only names the columns. Residuals are\n"
           "placed by position under df_scaled_index and df's column names.")
