// PCA health model with its Hotelling T2 control limit, and T2 per row.
#include <pybind11/numpy.h>

#include "../../common/pyhelpers.h"
#include "health_model.h"
#include "quadratic_form.h"

namespace talvo {

namespace {

struct Fit {
    py::object pca, scores, mu, cov;
};

Fit fit_pca(const algo::Call& c, const py::object& df_scaled, const py::object& n_components) {
    Fit r;
    r.pca = c("PCA")("n_components"_a = n_components);
    r.pca.attr("fit")(df_scaled);
    r.scores = r.pca.attr("transform")(df_scaled);
    r.mu = r.scores.attr("mean")("axis"_a = 0);
    r.cov = c("np").attr("cov")(r.scores.attr("T"));
    return r;
}

}  // namespace

py::object health_modeling(const algo::Call& c) {
    const py::object& df_scaled = c[0];
    const py::object& alpha = c[1];
    Fit fit = fit_pca(c, df_scaled, py::float_(0.9));
    if (py::cast<long>(c("np").attr("ndim")(fit.cov)) < 2) {
        // One component explains over 90 %: refit once with two (or one).
        const long n_cols = py::cast<long>(df_scaled.attr("shape")[py::int_(1)]);
        fit = fit_pca(c, df_scaled, py::int_(std::min(2L, n_cols)));
    }
    py::tuple shape = fit.scores.attr("shape");
    const long long m = py::cast<long long>(shape[0]);
    const long long p = py::cast<long long>(shape[1]);
    py::object fscore = c("f").attr("ppf")(py::int_(1) - alpha, py::int_(p), py::int_(m - p));
    // (p * (m - 1)) / (m - p) * fscore, with the interpreter's arithmetic.
    py::object factor = py::int_(p * (m - 1)) / py::int_(m - p);
    py::object ucl = factor * fscore;
    return py::make_tuple(fit.mu, fit.cov, ucl, fit.pca);
}

py::object cal_T2(const algo::Call& c) {
    const py::object &df_scaled = c[0], &pca = c[1], &model_mu = c[2], &model_cov = c[3],
                     &index = c[4];
    py::object np = c("np");
    py::object df_pca = pca.attr("transform")(df_scaled);
    py::object pinv_cov = np.attr("linalg").attr("pinv")(model_cov);

    // The native road covers float32 and float64 matrices of matching shapes
    // (with a float64 pseudo-inverse); anything else goes through the
    // library's own per-row expression so its errors and broadcasting stay as
    // they are.
    py::object tsquare;
    auto float_array = [](const py::object& o, algo::NumKind& kind) {
        return py::isinstance<py::array>(o) &&
               algo::numeric_kind(py::reinterpret_borrow<py::array>(o).dtype(), kind) &&
               (kind == algo::NumKind::f64 || kind == algo::NumKind::f32);
    };
    algo::NumKind x_kind, mu_kind, p_kind;
    bool native = float_array(df_pca, x_kind) && float_array(model_mu, mu_kind) &&
                  float_array(pinv_cov, p_kind) && p_kind == algo::NumKind::f64;
    py::array X, mu, P;
    if (native) {
        X = algo::native_contiguous(df_pca, x_kind);
        mu = algo::native_contiguous(model_mu, mu_kind);
        P = algo::native_contiguous(pinv_cov, p_kind);
        native = X.ndim() == 2 && mu.ndim() == 1 && P.ndim() == 2 && mu.shape(0) == X.shape(1) &&
                 P.shape(0) == X.shape(1) && P.shape(1) == X.shape(1) && X.shape(1) > 0;
    }
    if (native) {
        py::array_t<double> out(X.shape(0));
        const auto n = static_cast<std::size_t>(X.shape(0));
        const auto p = static_cast<std::size_t>(X.shape(1));
        const auto* pinv = static_cast<const double*>(P.data());
        double* dst = out.mutable_data();
        auto forms = [&](auto x, auto m) { row_quadratic_forms(x, n, p, m, pinv, dst); };
        const bool x32 = x_kind == algo::NumKind::f32, mu32 = mu_kind == algo::NumKind::f32;
        {
            py::gil_scoped_release nogil;
            auto with_mu = [&](auto x) {
                if (mu32)
                    forms(x, static_cast<const float*>(mu.data()));
                else
                    forms(x, static_cast<const double*>(mu.data()));
            };
            if (x32)
                with_mu(static_cast<const float*>(X.data()));
            else
                with_mu(static_cast<const double*>(X.data()));
        }
        tsquare = out;
    } else {
        py::list values;
        for (py::handle row : df_pca) {
            py::object bias = py::reinterpret_borrow<py::object>(row) - model_mu;
            values.append(bias.attr("dot")(pinv_cov).attr("dot")(bias.attr("T")));
        }
        tsquare = values;
    }
    // A table with the given index and no columns, then the values as its
    // column: the index is first read here, so its errors come from pandas.
    py::object tsquare_df = c("pd").attr("DataFrame")("index"_a = index);
    tsquare_df[py::str("tsquare")] = tsquare;
    return py::make_tuple(tsquare_df, df_pca);
}

}  // namespace talvo

TALVO_IMPL(health_modeling,
           "Fit the PCA health model on a scaled feature table.\n\n"
           "Keeps the components that explain 90 % of the variance (refitting with two when a\n"
           "single one would do), and returns (model_mu, model_cov, ucl, pca): the mean and\n"
           "covariance of the PCA scores, the Hotelling T2 limit\n"
           "p (m - 1) / (m - p) * F(1 - alpha; p, m - p) and the fitted PCA.")
TALVO_IMPL(cal_T2,
           "Hotelling T2 of every row of a scaled table against a health model.\n\n"
           "Returns (tsquare_df, df_pca): a table with the column 'tsquare' indexed by\n"
           "df_scaled_index, and the PCA scores of the rows.")
