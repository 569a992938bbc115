"""Scaling, PCA health model, T2, health score and T2 anomalies."""
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy.stats import f as f_dist
from sklearn.decomposition import PCA
from sklearn.preprocessing import MinMaxScaler, StandardScaler


def features(n=120, p=6, seed=0):
    rng = np.random.default_rng(seed)
    base = rng.normal(size=(n, 3))
    data = np.column_stack([base, base @ rng.normal(size=(3, p - 3)) + 0.1 * rng.normal(size=(n, p - 3))])
    idx = pd.date_range("2024-01-01", periods=n, freq="min", name="_time")
    return pd.DataFrame(data, index=idx, columns=[f"c{i}_max" for i in range(p)])


# ---------------------------------------------------------------- scaling

def test_fitting_scalers_keep_index_columns_and_input(T):
    df = features()
    df.iloc[:, 2] = 5.0  # constant column scales to 0 in both kinds
    before = df.copy()
    for fit, cls in ((T.standardize, StandardScaler), (T.minmax_scale, MinMaxScaler)):
        scaled, scaler = fit(df)
        assert type(scaler) is cls
        assert scaled.index.equals(df.index) and scaled.index.name == "_time"
        assert list(scaled.columns) == list(df.columns)
        np.testing.assert_array_equal(scaled.values, cls().fit_transform(df))
        assert (scaled.iloc[:, 2] == 0).all()
        assert list(scaler.feature_names_in_) == list(df.columns)
    pd.testing.assert_frame_equal(df, before)


def test_applying_scalers(T):
    df = features()
    new = features(seed=1) * 3
    _, mm = T.minmax_scale(df)
    out = T.testing_minmax(new, mm)
    assert out.values.min() < 0 or out.values.max() > 1  # nothing is clipped
    np.testing.assert_array_equal(out.values, mm.transform(new))
    # Either applying function takes any fitted scaler.
    _, ss = T.standardize(df)
    pd.testing.assert_frame_equal(T.testing_scaler(new, ss), T.testing_minmax(new, ss))
    with pytest.raises(ValueError, match="feature names"):
        T.testing_scaler(new.rename(columns={"c0_max": "other"}), ss)
    from sklearn.exceptions import NotFittedError
    with pytest.raises(NotFittedError):
        T.testing_scaler(new, StandardScaler())


# ---------------------------------------------------------------- PCA model and T2

def test_health_model_on_its_training_table(T):
    scaled, _ = T.standardize(features())
    mu, cov, ucl, pca = T.health_modeling(scaled)
    m, p = len(scaled), pca.n_components_
    assert isinstance(pca, PCA) and pca.n_components == 0.9
    assert mu.shape == (p,) and cov.shape == (p, p)
    assert isinstance(ucl, np.float64)
    assert ucl == (p * (m - 1)) / (m - p) * f_dist.ppf(0.95, p, m - p)
    t2, scores = T.cal_T2(scaled, pca, mu, cov, scaled.index)
    np.testing.assert_allclose(scores, pca.transform(scaled))
    # Hotelling T2 of the fitted rows sums to (m - 1) p.
    assert t2["tsquare"].sum() == pytest.approx((m - 1) * p, rel=1e-9)
    assert list(t2.columns) == ["tsquare"] and t2["tsquare"].dtype == np.float64
    assert t2.index.equals(scaled.index) and t2.index.name == "_time"
    # A stricter alpha gives a larger limit.
    assert T.health_modeling(scaled, 0.01)[2] > ucl


def test_hand_computed_limit(T):
    # 100 rows and 3 components: 297 / 97 * F(0.95; 3, 97).
    rng = np.random.default_rng(3)
    X = pd.DataFrame(rng.normal(size=(100, 3)) * [1.0, 0.95, 0.9])
    mu, cov, ucl, pca = T.health_modeling(X)
    assert pca.n_components_ == 3
    assert ucl == pytest.approx(297 / 97 * f_dist.ppf(0.95, 3, 97), rel=1e-15)


def test_refit_with_two_components_when_one_explains_90_percent(T):
    rng = np.random.default_rng(1)
    t = rng.normal(size=200)
    X = pd.DataFrame({"a": t, "b": 2 * t + 0.01 * rng.normal(size=200), "c": -t})
    mu, cov, ucl, pca = T.health_modeling(X)
    assert pca.n_components == 2 and pca.n_components_ == 2 and cov.shape == (2, 2)
    # A single column refits with one component and T2 then fails in pinv.
    single = X[["a"]]
    mu1, cov1, _, pca1 = T.health_modeling(single)
    assert pca1.n_components == 1 and np.ndim(cov1) == 0
    with pytest.raises(np.linalg.LinAlgError):
        T.cal_T2(single, pca1, mu1, cov1, single.index)


def test_as_many_components_as_rows_divides_by_zero(T):
    X = pd.DataFrame({"a": [0.0, 1.0], "b": [1.0, 0.0]})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(ZeroDivisionError, match="division by zero"):
            T.health_modeling(X)


def per_row_t2(scores, mu, cov):
    pinv = np.linalg.pinv(cov)
    return np.array([(row - mu).dot(pinv).dot((row - mu).T) for row in scores])


@pytest.mark.parametrize("seed", range(4))
def test_native_t2_against_per_row_definition(T, seed):
    rng = np.random.default_rng(seed)
    n, p = rng.integers(5, 400), rng.integers(2, 9)
    X = pd.DataFrame(rng.normal(size=(n, p)) * rng.uniform(0.1, 10, size=p))
    pca = PCA(n_components=p).fit(X)
    mu = rng.normal(size=p)
    A = rng.normal(size=(p, p))
    cov = A @ A.T
    if seed % 2:
        cov[:, -1] = cov[-1, :] = 0.0  # singular: the pseudo-inverse still applies
    labels = pd.Index(rng.permutation(n), name="label")
    t2, scores = T.cal_T2(X, pca, mu, cov, labels)
    np.testing.assert_allclose(t2["tsquare"].values, per_row_t2(scores, mu, cov), rtol=1e-12,
                               atol=1e-12)
    assert t2.index.equals(labels) and t2.index.name == "label"


def test_t2_odd_inputs_follow_the_library(T):
    X = pd.DataFrame(np.random.default_rng(0).normal(size=(10, 3)))
    pca = PCA(n_components=3).fit(X)
    mu, cov = np.zeros(3), np.eye(3)
    with pytest.raises(ValueError, match="Length of values"):
        T.cal_T2(X, pca, mu, cov, pd.RangeIndex(9))
    # A list mean broadcasts as in the per-row expression.
    t2, scores = T.cal_T2(X, pca, [0.0, 0.0, 0.0], cov, X.index)
    np.testing.assert_allclose(t2["tsquare"], (scores ** 2).sum(axis=1))
    with pytest.raises(ValueError):
        T.cal_T2(X, pca, np.zeros(2), cov, X.index)
    with pytest.raises(ValueError, match="features"):
        T.cal_T2(X.iloc[:, :2], pca, mu, cov, X.index)


# ---------------------------------------------------------------- health score, anomalies

def test_health_index_examples(T):
    t2 = pd.DataFrame({"tsquare": [0.0, 10.0, 20.0, 5.0]},
                      index=pd.Index(list("abcd"), name="_time"))
    score = T.Health_Index(t2, 10, 0.9)
    assert list(score.columns) == ["Score"] and score.index.equals(t2.index)
    assert score.index.name == "_time"
    np.testing.assert_allclose(score["Score"], [100, 90, 81, 100 * 0.9 ** 0.5])
    assert score["Score"].iloc[1] == 90.0  # exactly the limit's score
    assert (T.Health_Index(t2, 10, 1)["Score"] == 100).all()
    with pytest.raises(KeyError):
        T.Health_Index(t2.rename(columns={"tsquare": "x"}), 10, 0.9)


def test_anomaly_rate_and_abnormal_times(T):
    values = [1.0, 10.0, 10.0000001, 30.0]
    assert T.T2_Anomaly_Rate(values, 10.0) == 0.5
    rate = T.T2_Anomaly_Rate(np.array(values).reshape(-1, 1), 10.0)
    assert rate == 0.5 and isinstance(rate, np.floating)
    with pytest.warns(RuntimeWarning):
        assert np.isnan(T.T2_Anomaly_Rate([], 10.0))
    idx = pd.date_range("2024-01-01", periods=4, freq="h", name="_time")
    t2 = pd.DataFrame({"tsquare": values}, index=idx)
    times = T.find_T2_abnormal_times(t2, 10.0)
    assert list(times) == list(idx[2:]) and times.name == "_time"
    assert len(T.find_T2_abnormal_times(t2, 100.0)) == 0


# ---------------------------------------------------------------- evaluation order

def _scaled_frame(scaler, X, fit):
    """The scaling functions' expression: fit (when fitting), then
    pd.DataFrame(scaler.transform(X), index=X.index, columns=X.columns)."""
    if fit:
        scaler.fit(X)
    return pd.DataFrame(scaler.transform(X), index=X.index, columns=X.columns)


def _spe_residual(X):
    """SPE_residual's steps up to the residual, as written."""
    scaler = StandardScaler()
    scaler.fit(X)
    Xs = scaler.transform(X)
    pca = PCA(n_components=0.9)
    pca.fit(Xs)
    return Xs - pca.inverse_transform(pca.transform(Xs))


@pytest.fixture(scope="module")
def model(T):
    df = features(n=60)
    scaled, scaler = T.standardize(df)
    mu, cov, ucl, pca = T.health_modeling(scaled)
    t2 = T.cal_T2(scaled, pca, mu, cov, scaled.index)[0]
    return dict(df=df, scaled=scaled, scaler=scaler, mu=mu, cov=cov, pca=pca, t2=t2,
                readings=df.reset_index(), none=None)


ARRAY = np.arange(12.0).reshape(6, 2)
WITH_NAN = np.where(np.eye(6, 2) > 0, np.nan, ARRAY)


# Each call next to the expression it stands for: a bad argument must fail
# where the expression first reads it, with that very error.
@pytest.mark.parametrize("call, literal", [
    (lambda T, m: T.testing_scaler(ARRAY, m["scaler"]),
     lambda m: _scaled_frame(m["scaler"], ARRAY, False)),
    (lambda T, m: T.testing_minmax(ARRAY, None), lambda m: _scaled_frame(None, ARRAY, False)),
    (lambda T, m: T.standardize(ARRAY), lambda m: _scaled_frame(StandardScaler(), ARRAY, True)),
    (lambda T, m: T.minmax_scale(ARRAY), lambda m: _scaled_frame(MinMaxScaler(), ARRAY, True)),
    (lambda T, m: T.Health_Index(m["t2"], "x", None),
     lambda m: np.exp(np.log(None) * (m["t2"]["tsquare"] / "x")) * 100),
    (lambda T, m: T.cal_T2(m["scaled"], m["pca"], m["mu"], m["cov"], 7),
     lambda m: pd.DataFrame(index=7)),
    (lambda T, m: T.SPE_residual(WITH_NAN, range(6), 0.05), lambda m: _spe_residual(WITH_NAN)),
    (lambda T, m: T.SPE_residual_testing(None, WITH_NAN, range(6), 0.05),
     lambda m: PCA(n_components=0.9).fit(WITH_NAN)),
    (lambda T, m: T.SPE_residual(m["df"], m["df"].index, np.full((2, 2), 0.05)),
     lambda m: np.sum(_spe_residual(m["df"]) ** 2, axis=1) > np.ones((2, 2))),
    (lambda T, m: T.analyze_T2_anomalies(m["scaled"], None, m["df"], m["t2"], m["pca"], 0.0),
     lambda m: m["none"][0]),
    (lambda T, m: T.IQR_outlier_percent_clean(None, 0.01, "_time"),
     lambda m: pd.Series(False, index=m["none"].index)),
    (lambda T, m: T.IQR_outlier_percent_clean([1.0, 2.0], 0.01, "_time"),
     lambda m: pd.Series(False, index=[1.0, 2.0].index)),
    (lambda T, m: T.purge_by_chebyshev(None, max_iter=None), lambda m: m["none"].copy()),
    (lambda T, m: T.training_model_GB_compare(None, m["readings"], "min"),
     lambda m: m["none"].select_dtypes(include="number")),
    (lambda T, m: T.training_model_GB_compare(m["readings"], ARRAY, None),
     lambda m: ARRAY.select_dtypes(include="number")),
], ids=["testing_scaler", "testing_minmax", "standardize", "minmax_scale", "Health_Index",
        "cal_T2", "SPE_residual", "SPE_residual_testing", "SPE_alpha", "analyze_T2_anomalies",
        "IQR_none", "IQR_list", "purge_by_chebyshev", "GB_good", "GB_bad"])
def test_bad_arguments_fail_where_the_expression_reads_them(T, model, call, literal):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(Exception) as want:
            literal(model)
        with pytest.raises(want.type) as got:
            call(T, model)
    assert str(got.value) == str(want.value)
