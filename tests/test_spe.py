"""SPE residuals, the Jackson-Mudholkar limit and the share of rows above it."""
import types
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy.stats import norm
from sklearn.decomposition import PCA
from sklearn.preprocessing import StandardScaler


def features(n=300, p=8, seed=0):
    rng = np.random.default_rng(seed)
    mix = rng.normal(size=(p, p)) * np.linspace(3, 0.2, p)[:, None]
    values = rng.normal(size=(n, p)) @ mix + 5
    index = pd.date_range("2024-06-01", periods=n, freq="min", name="_time")
    return pd.DataFrame(values, index=index, columns=[f"f{i}_max" for i in range(p)])


def reference(df, scaled, index, alpha):
    """The library expression, residuals placed by position."""
    pca = PCA(n_components=0.9).fit(scaled)
    residual = np.asarray(scaled) - pca.inverse_transform(pca.transform(scaled))
    spe = np.sum(residual ** 2, axis=1)
    lam = PCA().fit(scaled).explained_variance_[pca.n_components_:]
    t1, t2, t3 = lam.sum(), (lam ** 2).sum(), (lam ** 3).sum()
    h0 = 1 - 2 * t1 * t3 / (3 * t2 ** 2)
    z = norm.ppf(1 - alpha)
    ucl = t1 * (z * np.sqrt(2 * t2 * h0 ** 2) / t1 + 1 + t2 * h0 * (h0 - 1) / t1 ** 2) ** (1 / h0)
    return (pd.DataFrame(residual, index=index, columns=df.columns),
            pd.Series(spe, index=index, name="SPE").to_frame(), ucl,
            np.sum(spe > ucl) / len(spe))


class TestAgainstLibraryExpression:
    @pytest.mark.parametrize("alpha", [0.05, 0.01, 0.3])
    def test_spe_residual(self, T, alpha):
        df = features()
        before = df.copy()
        res, spe, ucl, ratio = T.SPE_residual(df, df.index, alpha)
        want = reference(df, StandardScaler().fit_transform(df), df.index, alpha)
        pd.testing.assert_frame_equal(res, want[0], rtol=1e-9, atol=1e-12)
        pd.testing.assert_frame_equal(spe, want[1], rtol=1e-9, atol=1e-12)
        assert ucl == pytest.approx(want[2], rel=1e-12)
        assert ratio == want[3]
        assert isinstance(ucl, float) and isinstance(ratio, float)
        pd.testing.assert_frame_equal(df, before)

    def test_spe_residual_testing_on_matrix(self, T):
        df = features(seed=3)
        scaled = (df - df.min()).to_numpy() / (df.max() - df.min()).to_numpy()
        res, spe, ucl, ratio = T.SPE_residual_testing(df, scaled, df.index, 0.05)
        want = reference(df, scaled, df.index, 0.05)
        pd.testing.assert_frame_equal(res, want[0], rtol=1e-9, atol=1e-12)
        pd.testing.assert_frame_equal(spe, want[1], rtol=1e-9, atol=1e-12)
        assert ucl == pytest.approx(want[2], rel=1e-12) and ratio == want[3]

    def test_sum_of_squared_residuals_is_the_spe_column(self, T):
        df = features(seed=5)
        res, spe, _, _ = T.SPE_residual(df, df.index, 0.05)
        assert list(spe.columns) == ["SPE"] and spe["SPE"].dtype == np.float64
        np.testing.assert_allclose(spe["SPE"].to_numpy(), (res ** 2).sum(axis=1).to_numpy(),
                                   rtol=1e-12, atol=0)

    def test_ratio_is_a_multiple_of_one_over_n(self, T):
        df = features(n=137, seed=6)
        _, spe, ucl, ratio = T.SPE_residual(df, df.index, 0.2)
        assert ratio * 137 == pytest.approx(round(ratio * 137))
        assert ratio == (spe["SPE"] > ucl).sum() / 137
        assert 0 < ratio < 1


class TestLimit:
    def test_limit_ignores_row_order(self, T):
        df = features(seed=1)
        shuffled = df.sample(frac=1.0, random_state=4)
        _, spe_a, ucl_a, ratio_a = T.SPE_residual(df, df.index, 0.05)
        _, spe_b, ucl_b, ratio_b = T.SPE_residual(shuffled, shuffled.index, 0.05)
        assert ucl_a == pytest.approx(ucl_b, rel=1e-10)
        assert ratio_a == ratio_b
        pd.testing.assert_frame_equal(spe_a, spe_b.loc[spe_a.index], rtol=1e-8, check_freq=False)

    def test_limit_comes_from_discarded_eigenvalues_and_alpha(self, T):
        df = features(seed=2)
        scaled = StandardScaler().fit_transform(df)
        pca = PCA(n_components=0.9).fit(scaled)
        lam = PCA().fit(scaled).explained_variance_[pca.n_components_:]
        _, _, ucl_05, _ = T.SPE_residual(df, df.index, 0.05)
        _, _, ucl_01, _ = T.SPE_residual(df, df.index, 0.01)
        assert ucl_01 > ucl_05
        for alpha, ucl in [(0.05, ucl_05), (0.01, ucl_01)]:
            t1, t2, t3 = lam.sum(), (lam ** 2).sum(), (lam ** 3).sum()
            h0 = 1 - 2 * t1 * t3 / (3 * t2 ** 2)
            c = norm.ppf(1 - alpha)
            assert ucl == pytest.approx(
                t1 * (c * np.sqrt(2 * t2 * h0 ** 2) / t1 + 1 + t2 * h0 * (h0 - 1) / t1 ** 2)
                ** (1 / h0), rel=1e-12)

    def test_normal_quantile_is_late_bound(self, T, monkeypatch):
        df = features(seed=2)
        calls = []
        fake = types.SimpleNamespace(ppf=lambda q: calls.append(q) or norm.ppf(q))
        monkeypatch.setattr(T, "norm", fake)
        T.SPE_residual(df, df.index, 0.05)
        assert calls == [pytest.approx(0.95)]

    def test_row_at_the_limit_is_not_above(self, T, monkeypatch):
        # The limit comes from the eigenvalues and the quantile, the SPE column
        # from np.sum. A first call gives the limit; a second one, whose np.sum
        # is steered, puts one row exactly at it and one a step above it.
        df = features(n=60, p=4, seed=9)
        scaled = StandardScaler().fit_transform(df)
        ucl = T.SPE_residual_testing(df, scaled, df.index, 0.05)[2]
        planted = np.full(len(df), ucl / 2)
        planted[[7, 30]] = ucl, np.nextafter(ucl, np.inf)

        class SteeredNumPy:
            def __getattr__(self, name):
                return getattr(np, name)

            @staticmethod
            def sum(a, axis=None):
                assert axis == 1 and np.shape(a) == scaled.shape
                return planted.copy()

        monkeypatch.setattr(T, "np", SteeredNumPy())
        _, spe, again, ratio = T.SPE_residual_testing(df, scaled, df.index, 0.05)
        assert again == ucl, "the same call gave another limit"
        np.testing.assert_array_equal(spe["SPE"].to_numpy(), planted)
        assert ratio == 1 / len(df)  # the row a step above, not the one at the limit

    def test_all_components_kept_gives_nan_limit_without_warnings(self, T):
        df = features()[["f0_max"]]
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            res, spe, ucl, ratio = T.SPE_residual(df, df.index, 0.05)
            _, _, ucl_t, ratio_t = T.SPE_residual_testing(df, df.to_numpy(), df.index, 0.05)
        assert np.isnan(ucl) and ratio == 0.0 and np.isnan(ucl_t) and ratio_t == 0.0
        np.testing.assert_allclose(spe["SPE"], 0.0, atol=1e-20)
        assert list(res.columns) == ["f0_max"]


class TestLabels:
    def test_result_takes_the_given_index(self, T):
        df = features(n=50)
        labels = pd.Index(range(100, 150), name="row")
        res, spe, _, _ = T.SPE_residual(df, labels, 0.05)
        assert res.index.equals(labels) and spe.index.equals(labels)
        assert res.index.name == "row" and list(res.columns) == list(df.columns)
        assert not res.isna().any().any()

    def test_labelled_scaled_table_is_placed_by_position(self, T):
        df = features(n=80, seed=4)
        values = StandardScaler().fit_transform(df)
        scaled = pd.DataFrame(values, index=range(500, 580), columns=[f"s{i}" for i in range(8)])
        index = df.index
        res, spe, ucl, ratio = T.SPE_residual_testing(df, scaled, index, 0.05)
        want = reference(df, values, index, 0.05)
        pd.testing.assert_frame_equal(res, want[0], rtol=1e-9, atol=1e-12)
        pd.testing.assert_frame_equal(spe, want[1], rtol=1e-9, atol=1e-12)
        assert not spe["SPE"].isna().any()
        assert ratio == (spe["SPE"] > ucl).sum() / len(spe)
        assert list(scaled.columns) == [f"s{i}" for i in range(8)]  # input unchanged

    def test_matching_labels_give_the_same_table(self, T):
        df = features(n=80, seed=4)
        values = StandardScaler().fit_transform(df)
        scaled = pd.DataFrame(values, index=df.index, columns=df.columns)
        a = T.SPE_residual_testing(df, scaled, df.index, 0.05)
        b = T.SPE_residual_testing(df, values, df.index, 0.05)
        pd.testing.assert_frame_equal(a[0], b[0])
        pd.testing.assert_frame_equal(a[1], b[1])
        assert a[2] == b[2] and a[3] == b[3]


class TestFailures:
    def test_index_of_other_length(self, T):
        df = features(n=40)
        with pytest.raises(ValueError):
            T.SPE_residual(df, df.index[:-1], 0.05)
        with pytest.raises(ValueError):
            T.SPE_residual_testing(df, df.to_numpy(), df.index[:-1], 0.05)

    def test_scaled_table_of_other_shape(self, T):
        df = features(n=40)
        with pytest.raises(ValueError):
            T.SPE_residual_testing(df, df.iloc[:, :-1].to_numpy(), df.index, 0.05)

    @pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")
    def test_missing_and_text_values(self, T):
        df = features(n=40)
        with pytest.raises(ValueError):
            T.SPE_residual(df.assign(f0_max=np.nan), df.index, 0.05)
        with pytest.raises(ValueError):
            T.SPE_residual(df.assign(f1_max="x"), df.index, 0.05)

    def test_arguments_are_required(self, T):
        df = features(n=40)
        with pytest.raises(TypeError):
            T.SPE_residual(df, df.index)
        with pytest.raises(TypeError):
            T.SPE_residual_testing(df, df, df.index)
