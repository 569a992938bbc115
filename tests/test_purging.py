"""IQR hybrid outlier filter, Chebyshev/Cantelli T2 limit and the T2 purge loop."""
import datetime as dt
import math
import types
import warnings

import numpy as np
import pandas as pd
import pytest
from sklearn.preprocessing import MinMaxScaler, StandardScaler


# ---------------------------------------------------------------- reference expressions

def iqr_reference(df, max_ratio, datetime_name, iqr_k=1.5):
    drop_mask = pd.Series(False, index=df.index)
    numeric_cols = [c for c in df.select_dtypes(include=[np.number]).columns if c != datetime_name]
    for col in numeric_cols:
        series = df[col].dropna()
        q1, q3 = series.quantile([0.25, 0.75])
        iqr = q3 - q1
        mask_iqr = (series < q1 - iqr_k * iqr) | (series > q3 + iqr_k * iqr)
        with np.errstate(invalid="ignore"):
            ratio = mask_iqr.sum() / len(series)
        if ratio <= max_ratio:
            mask = mask_iqr
        else:
            lo = series.quantile(max_ratio / 2)
            hi = series.quantile(1 - max_ratio / 2)
            mask = (series < lo) | (series > hi)
        drop_mask = drop_mask | mask
    return df[~drop_mask]


def iqr_table(n=400, seed=0, labels=None):
    """Prepared-looking readings: a time column, float and int columns with
    missing values and outliers, a text and a Boolean column."""
    rng = np.random.default_rng(seed)
    df = pd.DataFrame({
        "_time": pd.date_range("2024-03-01", periods=n, freq="s"),
        "X_Overall": rng.normal(2.0, 0.3, n),
        "Y_Peak": rng.lognormal(0.0, 0.8, n),              # skewed: many IQR outliers
        "Bearing": np.where(rng.random(n) < 0.5, rng.normal(0, 1, n), rng.normal(8, 1, n)),
        "RPM": rng.integers(1400, 1600, n),
        "label": rng.choice(["a", "b"], n),
        "flag": rng.random(n) < 0.5,
    })
    df.loc[rng.choice(n, 15, replace=False), "X_Overall"] = np.nan
    df.loc[rng.choice(n, 5, replace=False), "X_Overall"] = 50.0
    if labels is not None:
        df.index = labels
    return df


# ---------------------------------------------------------------- IQR filter

class TestIQRFilter:
    @pytest.mark.parametrize("max_ratio", [0.0, 0.01, 0.05, 0.2, 1.0, 3.0])
    def test_matches_reference_on_random_tables(self, T, max_ratio):
        for seed in range(3):
            labels = np.random.default_rng(seed).permutation(np.arange(1000, 1400)) * 7
            df = iqr_table(seed=seed, labels=labels)
            before = df.copy()
            out = T.IQR_outlier_percent_clean(df, max_ratio, "_time")
            pd.testing.assert_frame_equal(out, iqr_reference(df, max_ratio, "_time"))
            pd.testing.assert_frame_equal(df, before)  # input untouched
            assert out is not df
            # labels and order survive, gaps where rows went
            assert list(out.index) == [i for i in df.index if i in set(out.index)]
            assert list(out.columns) == list(df.columns)
            assert list(out.dtypes) == list(df.dtypes)

    def test_float_columns_agree_with_pandas_quantiles_bit_for_bit(self, T):
        # ties, infinities, tiny and odd sizes, levels that do not round-trip
        # through percentages exactly, values placed on the computed cut points
        rng = np.random.default_rng(21)
        for trial in range(40):
            n = int(rng.choice([1, 2, 3, 5, 17, 101, 1000]))
            data = {
                "ties": rng.integers(0, 4, n).astype(float),
                "heavy": rng.standard_cauchy(n),
                "normal": rng.normal(size=n),
            }
            if n > 3:
                data["normal"][rng.choice(n, 2, replace=False)] = [np.inf, -np.inf]
                data["heavy"][rng.choice(n, n // 4, replace=False)] = np.nan
            df = pd.DataFrame(data, index=rng.permutation(n) + 10)
            ratio = float(rng.choice([0.0, 0.07, 0.13, 0.29, 0.57, 1.0, rng.random()]))
            s = df["normal"].replace([np.inf, -np.inf], np.nan).dropna()
            if len(s) > 2:  # put a value exactly on the tail cut point
                df.iloc[0, 2] = df["normal"].quantile(ratio / 2)
            k = float(rng.choice([0.0, 0.5, 1.5, 3.0]))
            got = T.IQR_outlier_percent_clean(df, ratio, "_time", k)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                want = iqr_reference(df, ratio, "_time", k)
            pd.testing.assert_frame_equal(got, want, obj=f"trial {trial}")

    def test_large_table_split_over_workers_agrees(self, T):
        # over a million cells: the columns are shared out between threads
        rng = np.random.default_rng(33)
        n, p = 20000, 60
        data = rng.standard_t(3, size=(n, p))
        data[rng.random((n, p)) < 0.01] = np.nan
        df = pd.DataFrame(data, columns=[f"c{j}" for j in range(p)],
                          index=rng.permutation(n))
        df.insert(0, "_time", pd.date_range("2024-01-01", periods=n, freq="s"))
        for ratio in (0.0, 0.02, 0.3):
            got = T.IQR_outlier_percent_clean(df, ratio, "_time")
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                pd.testing.assert_frame_equal(got, iqr_reference(df, ratio, "_time"))

    def test_label_join_road_for_odd_tables(self, T):
        df = iqr_table(n=200, seed=9)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            # nullable extension columns and float32 columns
            ext = df.assign(X_Overall=df["X_Overall"].astype("Float64"),
                            Y_Peak=df["Y_Peak"].astype("float32"))
            pd.testing.assert_frame_equal(T.IQR_outlier_percent_clean(ext, 0.05, "_time"),
                                          iqr_reference(ext, 0.05, "_time"))
            # a ratio given as a NumPy integer or a fraction-like object
            pd.testing.assert_frame_equal(T.IQR_outlier_percent_clean(df, np.int64(0), "_time"),
                                          iqr_reference(df, 0, "_time"))
            # repeated labels: whatever the label join gives, both roads agree
            dup = df.set_index(np.arange(200) // 2)
            try:
                want = iqr_reference(dup, 0.05, "_time")
            except Exception as exc:  # the library refuses: so does the filter
                with pytest.raises(type(exc)):
                    T.IQR_outlier_percent_clean(dup, 0.05, "_time")
            else:
                pd.testing.assert_frame_equal(T.IQR_outlier_percent_clean(dup, 0.05, "_time"),
                                              want)

    def test_unique_labels_filter_without_reindex_warning(self, T):
        labels = np.random.default_rng(2).permutation(400) * 3
        df = iqr_table(seed=2, labels=labels)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            out = T.IQR_outlier_percent_clean(df, 0.05, "_time")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            pd.testing.assert_frame_equal(out, iqr_reference(df, 0.05, "_time"))

    def test_iqr_k_changes_the_fences(self, T):
        df = iqr_table(seed=4)
        for k in (0.5, 1.5, 3.0):
            pd.testing.assert_frame_equal(T.IQR_outlier_percent_clean(df, 0.2, "_time", iqr_k=k),
                                          iqr_reference(df, 0.2, "_time", k))
        assert len(T.IQR_outlier_percent_clean(df, 1.0, "_time", 0.5)) < \
            len(T.IQR_outlier_percent_clean(df, 1.0, "_time", 3.0))

    def test_fences_are_strict(self, T):
        # 0..8 plus one value x: Q1 = 2.25, Q3 = 6.75, upper fence 13.5
        base = [0.0, 1, 2, 3, 4, 5, 6, 7, 8]
        on = pd.DataFrame({"v": base + [13.5]})
        assert len(T.IQR_outlier_percent_clean(on, 1.0, "_time")) == 10
        above = pd.DataFrame({"v": base + [13.5000001]})
        out = T.IQR_outlier_percent_clean(above, 1.0, "_time")
        assert list(out.index) == list(range(9))
        # the lower fence mirrors it: Q1 = 1.25, Q3 = 5.75, lower fence -5.5
        low = pd.DataFrame({"v": [-5.5, 0.0, 1, 2, 3, 4, 5, 6, 7, 8]})
        q1, q3 = low["v"].quantile([0.25, 0.75])
        assert q1 - 1.5 * (q3 - q1) == -5.5
        assert len(T.IQR_outlier_percent_clean(low, 1.0, "_time")) == 10
        low.loc[0, "v"] = -5.5000001
        assert list(T.IQR_outlier_percent_clean(low, 1.0, "_time").index) == list(range(1, 10))

    def test_share_at_max_ratio_keeps_iqr_flags_just_above_switches_to_tails(self, T):
        df = pd.DataFrame({"v": [0.0, 1, 2, 3, 4, 5, 6, 7, 8, 14]})  # one IQR outlier: share 0.1
        out = T.IQR_outlier_percent_clean(df, 0.1, "_time")
        assert list(out["v"]) == [0.0, 1, 2, 3, 4, 5, 6, 7, 8]
        # tail rule at 0.09: cuts at the 0.045 and 0.955 quantiles drop 0 and 14
        out = T.IQR_outlier_percent_clean(df, 0.09, "_time")
        assert list(out["v"]) == [1.0, 2, 3, 4, 5, 6, 7, 8]

    def test_tail_cuts_are_strict(self, T):
        # 21 values: 3 IQR outliers (share 1/7 > 0.1) send the column to the tail
        # rule, whose cut points at the 0.05 / 0.95 levels fall on data points
        df = pd.DataFrame({"v": [float(i) for i in range(18)] + [100.0, 200.0, 300.0]})
        s = df["v"]
        q1, q3 = s.quantile([0.25, 0.75])
        assert ((s < q1 - 1.5 * (q3 - q1)) | (s > q3 + 1.5 * (q3 - q1))).sum() == 3
        assert (s.quantile(0.1 / 2), s.quantile(1 - 0.1 / 2)) == (1.0, 200.0)
        out = T.IQR_outlier_percent_clean(df, 0.1, "_time")
        assert list(out["v"]) == [float(i) for i in range(1, 18)] + [100.0, 200.0]
        assert list(out.index) == list(range(1, 20))

    def test_max_ratio_zero_removes_nothing(self, T):
        df = iqr_table(seed=7)
        assert len(T.IQR_outlier_percent_clean(df, 1.0, "_time")) < len(df)
        pd.testing.assert_frame_equal(T.IQR_outlier_percent_clean(df, 0, "_time"), df)

    def test_max_ratio_one_keeps_iqr_flags(self, T):
        df = iqr_table(seed=8)
        out = T.IQR_outlier_percent_clean(df, 1, "_time")
        keep = pd.Series(True, index=df.index)
        for col in ["X_Overall", "Y_Peak", "Bearing", "RPM"]:
            s = df[col].dropna()
            q1, q3 = s.quantile([0.25, 0.75])
            bad = s[(s < q1 - 1.5 * (q3 - q1)) | (s > q3 + 1.5 * (q3 - q1))].index
            keep[bad] = False
        pd.testing.assert_frame_equal(out, df[keep])

    def test_heavy_tailed_column_flags_max_ratio_half_at_each_end(self, T):
        v = np.random.default_rng(3).standard_cauchy(1000)
        df = pd.DataFrame({"v": v})
        s = df["v"]
        q1, q3 = s.quantile([0.25, 0.75])
        assert ((s < q1 - 1.5 * (q3 - q1)) | (s > q3 + 1.5 * (q3 - q1))).mean() > 0.12
        out = T.IQR_outlier_percent_clean(df, 0.1, "_time")
        gone = df.loc[df.index.difference(out.index), "v"]
        assert (gone < s.median()).sum() == 50 and (gone > s.median()).sum() == 50
        assert set(gone) == set(np.sort(v)[:50]) | set(np.sort(v)[-50:])

    def test_constant_and_all_missing_columns_flag_nothing(self, T):
        df = pd.DataFrame({"c": [5.0] * 20, "m": [np.nan] * 20, "i": [3] * 20})
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            out = T.IQR_outlier_percent_clean(df, 0.05, "_time")
        pd.testing.assert_frame_equal(out, df)

    def test_missing_values_never_remove_and_each_row_goes_once(self, T):
        df = pd.DataFrame({"a": [1.0, 2, 3, 4, 5, 6, 7, 8, 9, 100, np.nan],
                           "b": [1.0, 2, 3, 4, 5, 6, 7, 8, 9, -100, 100]},
                          index=list("abcdefghijk"))
        out = T.IQR_outlier_percent_clean(df, 0.5, "_time")
        # row j is flagged by both columns; row k only by b (its a is missing)
        assert list(out.index) == list("abcdefghi")
        df2 = df.copy()
        df2.loc["k", "b"] = np.nan
        assert list(T.IQR_outlier_percent_clean(df2, 0.5, "_time").index) == list("abcdefghik")

    def test_time_column_and_non_numeric_columns(self, T):
        # the named column is skipped even when numeric; a missing one is no error
        df = pd.DataFrame({"t": [0.0] * 9 + [1e9], "v": np.arange(10.0),
                           "s": list("abcdefghij"), "b": [True] * 9 + [False]})
        pd.testing.assert_frame_equal(T.IQR_outlier_percent_clean(df, 0.05, "t"), df)
        assert len(T.IQR_outlier_percent_clean(df, 0.05, "other")) == 9
        only_text = pd.DataFrame({"_time": pd.date_range("2024", periods=5, freq="s"),
                                  "s": list("abcde")})
        pd.testing.assert_frame_equal(T.IQR_outlier_percent_clean(only_text, 0.01, "_time"),
                                      only_text)

    def test_negative_ratio_raises_library_error(self, T):
        df = iqr_table(seed=1)
        with pytest.raises(ValueError, match="percentiles should all be in the interval"):
            T.IQR_outlier_percent_clean(df, -0.1, "_time")
        with pytest.raises(TypeError):
            T.IQR_outlier_percent_clean(df, "0.1", "_time")

    def test_binding_and_doc(self, T):
        f = T.IQR_outlier_percent_clean
        assert f.__doc__ == ("對 DataFrame 每個欄位做 hybrid outlier filter\n"
                             "返回: 清理後的 DataFrame（刪掉所有欄位 outlier 的 row）")
        assert f.__defaults__ == (1.5,)
        df = iqr_table(n=50)
        with pytest.raises(TypeError, match=r"^IQR_outlier_percent_clean\(\) takes at least 3 "
                                            r"positional arguments \(2 given\)$"):
            f(df, 0.1)
        with pytest.raises(TypeError, match=r"takes at most 4 positional arguments \(5 given\)$"):
            f(df, 0.1, "_time", 1.5, 0)
        with pytest.raises(TypeError, match=r"got an unexpected keyword argument 'k'$"):
            f(df, 0.1, "_time", k=1)
        with pytest.raises(TypeError, match=r"got multiple values for keyword argument 'df'$"):
            f(df, 0.1, "_time", df=df)
        pd.testing.assert_frame_equal(f(datetime_name="_time", max_ratio=0.1, df=df, iqr_k=2),
                                      iqr_reference(df, 0.1, "_time", 2))


# ---------------------------------------------------------------- Chebyshev / Cantelli limit

class TestChebyshevLimit:
    def test_against_formulas(self, T):
        rng = np.random.default_rng(5)
        for _ in range(5):
            t2 = rng.chisquare(4, size=rng.integers(5, 300))
            m, s = np.mean(t2), np.std(t2, ddof=1)
            for alpha in (0.01, 0.05, 0.1, 0.3):
                one = T.chebyshev_ucl(t2, alpha)
                two = T.chebyshev_ucl(t2, alpha, False)
                assert one == m + np.sqrt((1 - alpha) / alpha) * s
                assert two == m + 1 / np.sqrt(alpha) * s
                assert isinstance(one, float) and isinstance(two, float)
                assert two >= one
            assert T.chebyshev_ucl(t2) == m + np.sqrt((1 - 0.05) / 0.05) * s
            assert T.chebyshev_ucl(t2) == pytest.approx(m + np.sqrt(19) * s, rel=1e-15)

    def test_factors(self, T):
        t2 = np.array([1.0, 3.0])  # mean 2, sample std sqrt(2)
        s = np.std(t2, ddof=1)
        assert T.chebyshev_ucl(t2, 0.1) == pytest.approx(2 + 3 * s, rel=1e-15)
        assert T.chebyshev_ucl(t2, 0.01) == pytest.approx(2 + np.sqrt(99) * s, rel=1e-15)
        assert T.chebyshev_ucl(t2, 0.01, False) == pytest.approx(2 + 10 * s, rel=1e-15)
        assert T.chebyshev_ucl(t2, 0.05, one_sided=False) == pytest.approx(2 + np.sqrt(20) * s)

    def test_one_sided_taken_by_truth_and_lists_accepted(self, T):
        t2 = [1.0, 2.0, 4.0, 8.0]
        two = T.chebyshev_ucl(t2, 0.05, False)
        for falsy in (None, 0, "", []):
            assert T.chebyshev_ucl(t2, 0.05, falsy) == two
        one = T.chebyshev_ucl(t2)
        for truthy in ("no", 1, [0]):
            assert T.chebyshev_ucl(t2, 0.05, truthy) == one
        assert one == np.mean(t2) + np.sqrt(0.95 / 0.05) * np.std(t2, ddof=1)

    def test_no_validation(self, T):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            assert np.isnan(T.chebyshev_ucl(np.array([1.0])))
        with pytest.raises(ZeroDivisionError):
            T.chebyshev_ucl([1.0, 2.0], 0)

    def test_doc_and_binding(self, T):
        assert T.chebyshev_ucl.__doc__ == (
            "用樣本的 T² 平均與標準差，利用 Chebyshev / Cantelli 不等式估計 UCL。\n"
            "one_sided=True → Cantelli (單尾，只管右尾)\n"
            "one_sided=False → Chebyshev (雙尾，上下對稱)")
        assert T.chebyshev_ucl.__defaults__ == (0.05, True)
        with pytest.raises(TypeError, match=r"^chebyshev_ucl\(\) takes at least 1 positional "
                                            r"argument \(0 given\)$"):
            T.chebyshev_ucl()
        with pytest.raises(TypeError, match=r"takes at most 3 positional arguments \(4 given\)"):
            T.chebyshev_ucl([1.0, 2.0], 0.05, True, 1)


# ---------------------------------------------------------------- purge loop

def scaled_features(n=300, p=6, seed=0, outliers=0):
    rng = np.random.default_rng(seed)
    base = rng.normal(size=(n, 3))
    data = np.column_stack([base, base @ rng.normal(size=(3, p - 3)) + 0.3 * rng.normal(size=(n, p - 3))])
    if outliers:
        rows = rng.choice(n, outliers, replace=False)
        data[rows] += rng.normal(0, 6, size=(outliers, p))
    idx = pd.date_range("2024-01-01", periods=n, freq="min", name="_time")
    cols = [f"X_Power_in_Band_{i:02d}_max" for i in range(p)]
    return pd.DataFrame((data - data.mean(0)) / data.std(0), index=idx, columns=cols)


def purge_reference(T, df_scaled, alpha=0.05, max_iter=10, one_sided=True):
    lines = []
    df_current = df_scaled.copy()
    prev_ucl = None
    for i in range(max_iter):
        mu, cov, _, pca = T.health_modeling(df_current)
        T2_df, _ = T.cal_T2(df_current, pca, mu, cov, df_current.index)
        ucl = T.chebyshev_ucl(T2_df["tsquare"].values, alpha, one_sided)
        mask = T2_df["tsquare"] <= ucl
        n_removed = (~mask).sum()
        delta = abs(ucl - prev_ucl) if prev_ucl is not None else np.inf
        lines.append(f"第 {i + 1} 次篩選：UCL = {ucl:.3f}，移除 {n_removed} 筆；UCL 變化量 = {delta:.4f}")
        if n_removed == 0 or (prev_ucl is not None and delta < 1e-3):
            lines.append("Chebyshev purging 收斂 ✅")
            break
        df_current = df_current.loc[mask]
        prev_ucl = ucl
    lines.append(f"最終保留樣本數：{len(df_current)}")
    return (df_current, pca, mu, cov, ucl), lines


def assert_same_purge(got, want):
    pd.testing.assert_frame_equal(got[0], want[0])
    np.testing.assert_allclose(got[1].components_, want[1].components_)
    np.testing.assert_allclose(got[2], want[2], atol=1e-12)
    np.testing.assert_allclose(got[3], want[3], atol=1e-12)
    assert got[4] == pytest.approx(want[4], rel=1e-12)


class TestPurgeLoop:
    @pytest.mark.parametrize("seed,outliers,one_sided,alpha", [
        (0, 12, True, 0.05), (1, 30, True, 0.05), (2, 12, False, 0.05), (3, 20, True, 0.01),
        (4, 0, True, 0.1)])
    def test_matches_reference_with_printed_lines(self, T, capsys, seed, outliers, one_sided, alpha):
        df = scaled_features(seed=seed, outliers=outliers)
        before = df.copy()
        got = T.purge_by_chebyshev(df, alpha, 10, one_sided)
        out = capsys.readouterr().out
        want, lines = purge_reference(T, df, alpha, 10, one_sided)
        capsys.readouterr()
        assert out == "\n".join(lines) + "\n"
        assert isinstance(got, tuple) and len(got) == 5
        assert_same_purge(got, want)
        pd.testing.assert_frame_equal(df, before)
        assert got[0] is not df

    def test_clean_input_one_fit_then_converges(self, T, capsys):
        df = scaled_features(seed=11)
        calls = []
        real = T.health_modeling

        def counting(*a, **k):
            calls.append(len(a[0]))
            return real(*a, **k)

        T.health_modeling = counting
        try:
            # Cantelli with a small alpha: no T2 above the limit on clean data
            got = T.purge_by_chebyshev(df, alpha=0.01)
        finally:
            T.health_modeling = real
        out = capsys.readouterr().out.splitlines()
        assert calls == [len(df)]
        assert len(out) == 3
        assert out[0].startswith("第 1 次篩選：UCL = ") and out[0].endswith("，移除 0 筆；UCL 變化量 = inf")
        assert out[1] == "Chebyshev purging 收斂 ✅"
        assert out[2] == f"最終保留樣本數：{len(df)}"
        pd.testing.assert_frame_equal(got[0], df)
        mu, cov, _, pca = real(df)
        np.testing.assert_allclose(got[2], mu, atol=1e-12)
        np.testing.assert_allclose(got[3], cov, atol=1e-12)

    def test_max_iter_one(self, T, capsys):
        df = scaled_features(seed=1, outliers=30)
        got = T.purge_by_chebyshev(df, max_iter=1)
        out = capsys.readouterr().out.splitlines()
        assert len(out) == 2 and out[0].startswith("第 1 次篩選：")
        assert out[1].startswith("最終保留樣本數：")
        assert int(out[1].split("：")[1]) == len(got[0]) < len(df)
        mu, cov, _, pca = T.health_modeling(df)  # the model fitted on the whole input
        np.testing.assert_allclose(got[2], mu, atol=1e-12)
        T2_df, _ = T.cal_T2(df, pca, mu, cov, df.index)
        assert got[4] == pytest.approx(T.chebyshev_ucl(T2_df["tsquare"].values), rel=1e-12)
        pd.testing.assert_frame_equal(got[0], df[T2_df["tsquare"] <= got[4]])

    def test_ten_rounds_without_convergence_and_late_binding(self, T, capsys, monkeypatch):
        # a limit at the 97 % quantile always removes rows and always moves
        monkeypatch.setattr(T, "chebyshev_ucl", lambda v, a, s: float(np.quantile(v, 0.97)))
        df = scaled_features(n=600, seed=2)
        got = T.purge_by_chebyshev(df)
        out = capsys.readouterr().out.splitlines()
        assert len(out) == 11
        assert [line.split(" ")[1] for line in out[:10]] == [str(i) for i in range(1, 11)]
        assert "Chebyshev purging 收斂 ✅" not in out
        assert out[10] == f"最終保留樣本數：{len(got[0])}"
        want, lines = purge_reference(T, df)
        assert out == lines
        assert_same_purge(got, want)

    def scripted(self, T, monkeypatch, limits, n=100):
        """cal_T2 gives row i the value (i + 1) * 4e-5; chebyshev_ucl returns `limits` in turn."""
        df = scaled_features(n=n, seed=9)
        t_of = pd.Series((np.arange(n) + 1) * 4e-5, index=df.index)

        def fake_T2(df_scaled, pca, mu, cov, index):
            return pd.DataFrame({"tsquare": t_of.loc[index].values}, index=index), None

        seq = iter(limits)
        monkeypatch.setattr(T, "cal_T2", fake_T2)
        monkeypatch.setattr(T, "chebyshev_ucl", lambda v, a, s: next(seq))
        return df, t_of

    def test_change_of_exactly_0_001_does_not_stop(self, T, capsys, monkeypatch):
        y = 0.003
        assert abs((y - 0.001) - y) == 0.001
        df, t_of = self.scripted(T, monkeypatch, [y, y - 0.001, y - 0.001 - 0.0005, 0.0])
        got = T.purge_by_chebyshev(df)
        out = capsys.readouterr().out.splitlines()
        assert out == [
            "第 1 次篩選：UCL = 0.003，移除 25 筆；UCL 變化量 = inf",
            "第 2 次篩選：UCL = 0.002，移除 25 筆；UCL 變化量 = 0.0010",
            "第 3 次篩選：UCL = 0.002，移除 13 筆；UCL 變化量 = 0.0005",
            "Chebyshev purging 收斂 ✅",
            "最終保留樣本數：50",
        ]
        # the rows marked in the converging round stay in the table
        assert got[4] == y - 0.0015
        pd.testing.assert_frame_equal(got[0], df[t_of <= y - 0.001])

    def test_change_below_0_001_stops_even_when_printed_as_0_0010(self, T, capsys, monkeypatch):
        df, t_of = self.scripted(T, monkeypatch, [0.003, 0.003 - 0.00096, 0.0])
        got = T.purge_by_chebyshev(df)
        out = capsys.readouterr().out.splitlines()
        assert out[1] == "第 2 次篩選：UCL = 0.002，移除 24 筆；UCL 變化量 = 0.0010"
        assert out[2:] == ["Chebyshev purging 收斂 ✅", "最終保留樣本數：75"]
        assert len(got[0]) == 75

    def test_first_round_never_stops_on_change(self, T, capsys, monkeypatch):
        # first limit removes rows: no stop although there is no previous limit
        df, t_of = self.scripted(T, monkeypatch, [0.002, 0.002, 0.0])
        T.purge_by_chebyshev(df)
        out = capsys.readouterr().out.splitlines()
        assert out == [
            "第 1 次篩選：UCL = 0.002，移除 50 筆；UCL 變化量 = inf",
            "第 2 次篩選：UCL = 0.002，移除 0 筆；UCL 變化量 = 0.0000",
            "Chebyshev purging 收斂 ✅",
            "最終保留樣本數：50",
        ]

    def test_limit_equal_to_a_T2_keeps_that_row(self, T, capsys, monkeypatch):
        df, t_of = self.scripted(T, monkeypatch, [t_of_val := 50 * 4e-5, t_of_val])
        got = T.purge_by_chebyshev(df, max_iter=1)
        assert len(got[0]) == int((t_of <= t_of_val).sum())
        assert t_of.iloc[49] == t_of_val and t_of.index[49] in got[0].index
        assert t_of.index[50] not in got[0].index
        capsys.readouterr()

    def test_alpha_reaches_the_limit_only(self, T, capsys, monkeypatch):
        seen = []
        real_fit, real_limit = T.health_modeling, T.chebyshev_ucl

        def fit(*a, **k):
            seen.append(("fit", len(a), dict(k)))
            return real_fit(*a, **k)

        def limit(*a, **k):
            seen.append(("limit", a[1:], dict(k)))
            return real_limit(*a, **k)

        monkeypatch.setattr(T, "health_modeling", fit)
        monkeypatch.setattr(T, "chebyshev_ucl", limit)
        T.purge_by_chebyshev(scaled_features(seed=3, outliers=20), 0.01, 2, 0)
        capsys.readouterr()
        assert seen[0] == ("fit", 1, {})
        assert seen[1] == ("limit", (0.01, 0), {})

    def test_bad_arguments(self, T, capsys, monkeypatch):
        df = scaled_features(seed=4)
        with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
            T.purge_by_chebyshev(df, max_iter=2.0)
        # a huge count is a valid range: refused only by what the loop meets
        with pytest.raises(ValueError):
            T.purge_by_chebyshev(df.assign(s="x"), max_iter=10**20)
        for bad in (0, -3):
            with pytest.raises(ValueError, match=f"^max_iter must be at least 1, got {bad}$"):
                T.purge_by_chebyshev(df, max_iter=bad)
        assert capsys.readouterr().out == ""  # refused before any work
        with pytest.raises(TypeError, match=r"^purge_by_chebyshev\(\) takes at least 1 positional"
                                            r" argument \(0 given\)$"):
            T.purge_by_chebyshev()
        with pytest.raises(TypeError, match=r"unexpected keyword argument 'alpah'"):
            T.purge_by_chebyshev(df, alpah=0.1)
        # a stage function that returns the wrong shape: the interpreter's unpacking texts
        monkeypatch.setattr(T, "health_modeling", lambda d: (1, 2, 3))
        with pytest.raises(ValueError, match=r"^not enough values to unpack \(expected 4, got 3\)$"):
            T.purge_by_chebyshev(df)
        monkeypatch.setattr(T, "health_modeling", lambda d: 5)
        with pytest.raises(TypeError, match=r"^cannot unpack non-iterable int object$"):
            T.purge_by_chebyshev(df)

    def test_library_errors_pass_through(self, T, capsys):
        empty = scaled_features().iloc[:0]
        with pytest.raises(ValueError):
            T.purge_by_chebyshev(empty)
        with pytest.raises(AttributeError, match="'str' object has no attribute 'copy'"):
            T.purge_by_chebyshev("table")

    def test_doc(self, T):
        assert T.purge_by_chebyshev.__doc__ == (
            "對『標準化後的 df_scaled』進行多輪 T² + Chebyshev 離群值刪除。\n\n"
            "回傳：\n"
            "df_clean : 清理後的 df_scaled\n"
            "pca, mu, cov : 最終 PCA 模型與 μ, Σ\n"
            "ucl : 收斂後的 Chebyshev UCL")
        assert T.purge_by_chebyshev.__defaults__ == (0.05, 10, True)


# ================================================================ pipelines
from purging_readings import BANDS, needs_stage_functions, readings, record_calls  # noqa: E402

RESPOND_MET = "Data cleaned successfully. Robustness index meets standard."
RESPOND_BELOW = ("Robustness index still below standard. Recommended to select another "
                 "time period for modeling.")
NOT_SUFFICIENT = "Data is not sufficient for modeling."
CLEAN_KEYS = ["T2", "Talvo_Score", "mu", "cov", "ucl", "scaler", "pca", "indicator_col_name",
              "datetime_name", "quenda_deadline_t_square", "quenda_deadline", "time_scale",
              "training_anomalies", "model_bias", "training_model_robust_index",
              "training_model_robust_status", "start_time", "end_time", "algo_config",
              "codebook_setup", "is_error", "error_code", "error_stage", "error_message",
              "build_time", "respond"]
FAILURE_KEYS = ["T2", "Talvo_Score", "mu", "cov", "ucl", "scaler", "pca", "indicator_col_name",
                "datetime_name", "quenda_deadline_t_square", "quenda_deadline", "time_scale",
                "training_anomalies", "model_bias", "training_model_robust_index",
                "training_model_robust_status", "algo_config", "build_time", "start_time",
                "end_time", "codebook_setup", "is_error", "error_code", "error_stage",
                "error_message"]
CHEB_KEYS = ["T2", "Talvo_Score", "mu", "cov", "ucl", "scaler", "pca", "indicator_col_name",
             "datetime_name", "quenda_deadline_t_square", "quenda_deadline", "time_scale",
             "training_anomalies", "model_bias", "training_model_robust_index",
             "training_model_robust_status", "algo_config", "is_error", "error_code",
             "error_stage", "error_message", "build_time", "start_time", "end_time"]


def unbound(name):
    return f"local variable '{name}' referenced before assignment"


def settings(config="0,1,0,1,2,1,1,1", time_scale="min", codebook=None, name="_time"):
    return {"datetime_name": name, "algo_config": config, "time_scale": time_scale,
            "codebook_setup": codebook}


def prepared(T, df, name="_time"):
    """The pipeline's prepared table: per second, time + numeric, no pct/QC."""
    d = T.compress_by_second(df, name)[0]
    d = d[[name] + d.select_dtypes(include="number").columns.tolist()]
    d = d.loc[:, ~d.columns.str.contains("percentage", case=False, na=False)]
    return d.loc[:, ~d.columns.str.contains("QC", case=False, na=False)]


def one_pass_reference(T, df_prepared, ratio, record, name="_time"):
    """One pass of the stepwise cleaning with time buckets per minute and
    standard scaling, by the library pieces."""
    f = T.IQR_outlier_percent_clean(df_prepared.copy(), ratio, name)
    f[name] = pd.to_datetime(f[name], errors="coerce")
    start, end = (f[name].min().strftime("%Y-%m-%d %H:%M:%S"),
                  f[name].max().strftime("%Y-%m-%d %H:%M:%S"))
    f = f.dropna(subset=[name]).set_index(name)
    feats, record = T.feature_extraction(f, record, "min")
    scaled, scaler = T.standardize(feats)
    mu, cov, ucl, pca = T.health_modeling(scaled)
    T2 = T.cal_T2(scaled, pca, mu, cov, scaled.index)[0]
    t = T2["tsquare"].mean() + 12 * T2["tsquare"].std()
    return dict(T2=T2, mu=mu, cov=cov, ucl=ucl, t=t,
                deadline=max(np.exp(np.log(0.9) * (t / ucl)) * 100, 0.0),
                anomalies=T.T2_Anomaly_Rate(T2["tsquare"].values, ucl),
                bias=T.SPE_residual(feats, scaled.index, alpha=0.05)[3],
                start=start, end=end, scaler=scaler)


def ratio_sums(start, step, limit):
    out, r = [], start
    while r <= limit:
        out.append(r)
        r = r + step
    return out


@needs_stage_functions
class TestOutlierClean:
    def test_first_pass_meets_standard(self, T, monkeypatch):
        df = readings(seed=1)
        df_before = df.copy()
        d = settings()
        d_before = dict(d)
        iqr = record_calls(monkeypatch, T, "IQR_outlier_percent_clean")
        r = T.outlier_clean(df, d)
        assert list(r) == CLEAN_KEYS
        assert [(a[1], a[2]) for a, k in iqr] == [(0.01, "_time")] and iqr[0][1] == {}
        assert r["respond"] == RESPOND_MET and r["training_model_robust_status"] == "verify"
        assert (r["is_error"], r["error_code"], r["error_stage"], r["error_message"]) == \
            ("False", "None", "None", "None")
        assert r["datetime_name"] == "_time" and r["time_scale"] == "min"
        assert r["algo_config"] is d["algo_config"] and r["codebook_setup"] is None
        rec = r["indicator_col_name"]
        assert (rec.time, rec.frequency, rec.fail_mode) == (["X_Overall"], BANDS, ["Bearing"])
        ref = one_pass_reference(T, prepared(T, df), 0.01,
                                 types.SimpleNamespace(time=["X_Overall"], frequency=BANDS,
                                                       fail_mode=["Bearing"]))
        pd.testing.assert_frame_equal(r["T2"], ref["T2"])
        assert r["T2"].index.name == "_time"
        np.testing.assert_allclose(r["Talvo_Score"]["Score"],
                                   100 * 0.9 ** (ref["T2"]["tsquare"] / ref["ucl"]), rtol=1e-12)
        assert r["ucl"] == ref["ucl"]
        np.testing.assert_array_equal(r["mu"], ref["mu"])
        assert r["quenda_deadline_t_square"] == ref["t"]
        assert r["quenda_deadline"] == ref["deadline"]
        assert r["training_anomalies"] == ref["anomalies"] and r["model_bias"] == ref["bias"]
        assert r["training_model_robust_index"] == round(1 - max(ref["anomalies"], ref["bias"]), 2)
        assert (r["start_time"], r["end_time"]) == (ref["start"], ref["end"])
        assert type(r["scaler"]) is StandardScaler
        dt.datetime.strptime(r["build_time"], "%Y-%m-%d %H:%M:%S")
        assert "quenda_warning_line" not in r
        pd.testing.assert_frame_equal(df, df_before)
        assert d == d_before

    def test_no_copy_warnings_from_the_passes(self, T):
        import warnings as w
        with w.catch_warnings(record=True) as caught:
            w.simplefilter("always")
            r = T.outlier_clean(readings(seconds=900, seed=18), settings(), 0.01, 0.01, 0.03)
        assert r["is_error"] == "False"
        assert not [x for x in caught if issubclass(x.category, pd.errors.SettingWithCopyWarning)]

    def test_never_met_runs_49_passes_with_running_sums(self, T, monkeypatch):
        monkeypatch.setattr(T, "T2_Anomaly_Rate", lambda v, ucl: np.float64(0.5))
        iqr = record_calls(monkeypatch, T, "IQR_outlier_percent_clean")
        r = T.outlier_clean(readings(seconds=1800, seed=2), settings())
        ratios = [a[1] for a, k in iqr]
        assert len(ratios) == 49
        assert ratios == ratio_sums(0.01, 0.01, 0.5)
        assert ratios[5] == 0.060000000000000005 and ratios[9] == 0.09999999999999999
        assert ratios[-1] == 0.49000000000000027
        assert list(r) == CLEAN_KEYS and r["respond"] == RESPOND_BELOW
        assert r["training_model_robust_index"] == 0.5
        assert r["training_model_robust_status"] == "warning"
        assert r["is_error"] == "False"

    def test_start_equal_to_limit_runs_one_pass(self, T, monkeypatch):
        iqr = record_calls(monkeypatch, T, "IQR_outlier_percent_clean")
        r = T.outlier_clean(readings(seconds=1800, seed=3), settings(), 0.2, 0.01, 0.2)
        assert [a[1] for a, k in iqr] == [0.2] and r["respond"] == RESPOND_MET
        monkeypatch.setattr(T, "T2_Anomaly_Rate", lambda v, ucl: np.float64(0.3))
        r = T.outlier_clean(readings(seconds=1800, seed=3), settings(), max_ratio_start=0.2,
                            max_ratio_limit=0.2)
        assert len(iqr) == 2 and r["respond"] == RESPOND_BELOW
        assert r["training_model_robust_index"] == 0.7

    def test_index_exactly_0_9_meets_and_0_89_does_not(self, T, monkeypatch):
        df = readings(seconds=1800, seed=4)
        iqr = record_calls(monkeypatch, T, "IQR_outlier_percent_clean")
        monkeypatch.setattr(T, "T2_Anomaly_Rate", lambda v, ucl: np.float64(0.1))
        r = T.outlier_clean(df, settings())
        assert r["training_model_robust_index"] == 0.9 and r["respond"] == RESPOND_MET
        assert r["training_model_robust_status"] == "verify" and len(iqr) == 1
        monkeypatch.setattr(T, "T2_Anomaly_Rate", lambda v, ucl: np.float64(0.11))
        r = T.outlier_clean(df, settings(), 0.01, 0.1, 0.25)
        assert r["training_model_robust_index"] == 0.89
        assert r["training_model_robust_status"] == "warning" and r["respond"] == RESPOND_BELOW
        assert [a[1] for a, k in iqr[1:]] == [0.01, 0.11, 0.21000000000000002]

    def test_larger_spe_ratio_takes_precedence(self, T, monkeypatch):
        df = readings(seconds=1800, seed=5)
        monkeypatch.setattr(T, "T2_Anomaly_Rate", lambda v, ucl: np.float64(0.05))
        real_spe = T.SPE_residual
        spe = [0.2]
        monkeypatch.setattr(T, "SPE_residual",
                            lambda *a, **k: (*real_spe(*a, **k)[:3], np.float64(spe[0])))
        r = T.outlier_clean(df, settings(), 0.01, 0.01, 0.01)
        assert (r["training_anomalies"], r["model_bias"]) == (0.05, 0.2)
        assert r["training_model_robust_index"] == 0.8
        spe[0] = 0.05
        r = T.outlier_clean(df, settings(), 0.01, 0.01, 0.01)
        assert r["training_model_robust_index"] == 0.95

    def test_size_note(self, T):
        # rolling 60/30 windows: 90 s give 2 windows, 120 s give 3
        r = T.outlier_clean(readings(seconds=90, seed=6), settings("0,1,0,1,2,1,1,4"), 0, 0.01, 0)
        assert list(r) == FAILURE_KEYS
        assert (r["error_stage"], r["error_code"]) == ("Error_08", NOT_SUFFICIENT)
        assert r["error_message"] == "division by zero"
        r = T.outlier_clean(readings(seconds=120, seed=6), settings("0,1,0,1,2,1,1,4"), 0, 0.01, 0)
        assert r["is_error"] == "False" and r["error_code"] == "None" and len(r["T2"]) == 3

    def test_codebook_gate(self, T, monkeypatch):
        df = readings(seconds=900, seed=7)
        maps = record_calls(monkeypatch, T, "feature_threshold_mapping")
        filt = record_calls(monkeypatch, T, "codebook_df_filter")
        for cb in (None, {}, {"setup_name": "None", "config": "not read"}):
            r = T.outlier_clean(df, settings(codebook=cb), 0.01, 0.01, 0.01)
            assert r["is_error"] == "False" and r["codebook_setup"] is cb
        assert maps == [] and filt == []
        cb = {"config": {"axis": {"X": {"time_domain": [], "power_in_band": [
            {"type": "Band 01", "min": 0.0, "max": 100.0}]}}, "fail_mode_thresholds": []}}
        r = T.outlier_clean(df, settings(codebook=cb), 0.01, 0.01, 0.01)
        assert r["codebook_setup"] is cb
        assert len(maps) == 1 and maps[0] == ((cb,), {})
        assert len(filt) == 1 and filt[0][1] == {"control": "all"}
        assert list(filt[0][0][0].columns)[0] == "_time"

    def test_missing_settings_and_bad_codes(self, T):
        df = readings(seconds=600, seed=8)
        for key, stage in (("codebook_setup", "Error_03"), ("algo_config", "Error_02"),
                           ("time_scale", "Error_02")):
            d = settings()
            del d[key]
            r = T.outlier_clean(df, d)
            assert list(r) == FAILURE_KEYS
            assert (r["error_stage"], r["error_message"]) == (stage, repr(key))
        d = settings()
        del d["datetime_name"]
        with pytest.raises(KeyError, match="datetime_name"):
            T.outlier_clean(df, d)
        with pytest.raises(TypeError):
            T.outlier_clean(df, None)
        r = T.outlier_clean(df, settings("0,1,0,1,2,1,1"))
        assert (r["error_stage"], r["error_message"]) == ("Error_02",
                                                          "need more than 7 values to unpack")
        r = T.outlier_clean(df, settings("0,1,0,1,2,1,1,1,1"))
        assert r["error_message"] == "too many values to unpack (expected 8)"
        # a failure form handed back as settings: its "algo_config" is None
        failed = T.outlier_clean(df, settings("0"))
        r = T.outlier_clean(df, failed)
        assert (r["error_stage"], r["error_message"]) == (
            "Error_02", "'NoneType' object has no attribute 'split'")
        for config, stage, name in (("0,1,0,7,2,1,1,1", "Error_06", "indicator_col_name"),
                                    ("0,1,0,7,2,1,1,9", "Error_09", "indicator_col_name"),
                                    ("0,1,0,1,9,1,1,1", "Error_08", "df_scaled"),
                                    ("0,1,0,1,2,0,1,1", "Error_09", "T2"),
                                    ("0,1,0,1,2,1,3,1", "Error_09", "quenda_deadline_t_square")):
            r = T.outlier_clean(df, settings(config), 0.01, 0.01, 0.01)
            assert list(r) == FAILURE_KEYS
            assert (r["error_stage"], r["error_message"]) == (stage, unbound(name)), config
            assert r["datetime_name"] == "_time" and r["training_model_robust_status"] == "None"
            assert r["is_error"] == "True" and r["error_code"] == "None"
            assert all(r[k] is None for k in FAILURE_KEYS[:8] + FAILURE_KEYS[9:15] +
                       FAILURE_KEYS[16:21])

    def test_hourly_filter_and_feature_codes(self, T, monkeypatch):
        df = readings(seconds=5 * 3600, seed=9)
        tf = record_calls(monkeypatch, T, "time_filter")
        fe = record_calls(monkeypatch, T, "feature_extraction")
        roll = record_calls(monkeypatch, T, "feature_extraction_rolling")
        r = T.outlier_clean(df, settings(time_scale="h"), 0.01, 0.01, 0.01)
        assert len(tf) == 1 and tf[0][0][1] == "_time" and tf[0][1] == {"sec_count": 2500}
        assert fe[0][0][2] == "h" and r["time_scale"] == "h"
        # the hourly filter keeps clock hours with at least 2500 rows left
        assert r["T2"].index.equals(pd.date_range("2024-05-01", periods=5, freq="h", name="_time"))
        short = df.drop(index=range(3600, 3600 + 1200))  # the second hour keeps 2400 rows
        r = T.outlier_clean(short, settings(time_scale="h"), 0.01, 0.01, 0.01)
        assert list(r["T2"].index.hour) == [0, 2, 3, 4]
        T.outlier_clean(df, settings(time_scale="min"), 0.01, 0.01, 0.01)
        assert len(tf) == 2 and fe[2][0][2] == "min"
        for code, wanted in (("2", (120, 60)), ("3", (3600, 1800)), ("4", (60, 30))):
            r = T.outlier_clean(df, settings(f"0,1,0,1,2,1,1,{code}"), 0.01, 0.01, 0.01)
            assert roll[-1][0][2:] == wanted
            assert r["T2"].index.name is None
        assert len(fe) == 3

    def test_no_feature_step(self, T, monkeypatch):
        df = readings(seconds=600, seed=10)
        spe = record_calls(monkeypatch, T, "SPE_residual")
        r = T.outlier_clean(df, settings("0,1,0,1,2,1,1,9"), 0.01, 0.01, 0.01)
        assert r["is_error"] == "False"
        cols = ["RPM"] + BANDS + ["X_Overall", "Bearing"]
        assert list(r["scaler"].feature_names_in_) == cols
        table = spe[0][0][0]
        assert list(table.columns) == cols and table.index.name == "_time"
        assert len(r["T2"]) == len(table) and r["T2"].index.equals(table.index)

    def test_unfitted_scaler_and_minmax(self, T):
        from sklearn.exceptions import NotFittedError
        from sklearn.utils.validation import check_is_fitted
        df = readings(seconds=1200, seed=11)
        r = T.outlier_clean(df, settings("0,1,0,1,1,1,1,1"), 0.01, 0.01, 0.01)
        assert type(r["scaler"]) is StandardScaler
        with pytest.raises(NotFittedError):
            check_is_fitted(r["scaler"])
        r = T.outlier_clean(df, settings("0,1,0,1,3,1,1,1"), 0.01, 0.01, 0.01)
        assert type(r["scaler"]) is MinMaxScaler

    def test_low_resolution_columns_leave_table_and_lists(self, T, monkeypatch):
        df = readings(seconds=900, seed=12)
        r = T.outlier_clean(df, settings("0,1,1,1,2,1,1,1"), 0.01, 0.01, 0.01)
        rec = r["indicator_col_name"]
        assert (rec.time, rec.frequency, rec.fail_mode) == (["X_Overall"], BANDS, ["Bearing"])
        df["Z_Power_in_Band_02"] = df["Z_Power_in_Band_02"] * 1e-5
        assert T.low_resolution(prepared(T, df)) == ["Z_Power_in_Band_02"]
        iqr = record_calls(monkeypatch, T, "IQR_outlier_percent_clean")
        r = T.outlier_clean(df, settings("0,1,1,3,2,1,1,1"), 0.01, 0.01, 0.01)
        rec = r["indicator_col_name"]
        assert (rec.time, rec.frequency, rec.fail_mode) == ([], BANDS[:-1], [])
        assert "Z_Power_in_Band_02" not in iqr[0][0][0].columns
        assert list(r["pca"].feature_names_in_) == [c + "_max" for c in BANDS[:-1]] + \
            [c + "_mean" for c in BANDS[:-1]]

    def test_other_time_column_name(self, T):
        df = readings(seconds=900, seed=13).rename(columns={"_time": "ts"})
        r = T.outlier_clean(df, settings(name="ts"), 0.01, 0.01, 0.01)
        assert r["is_error"] == "False" and r["datetime_name"] == "ts"
        assert r["T2"].index.name == "ts"
        r = T.outlier_clean(df, settings("0,1", name="ts"))
        assert r["is_error"] == "True" and r["datetime_name"] == "_time"

    def test_warning_mode(self, T):
        r = T.outlier_clean(readings(seconds=900, seed=14), settings("0,1,0,1,2,1,2,1"),
                            0.01, 0.01, 0.01)
        # The warning line is computed but this form has no key for it.
        assert list(r) == CLEAN_KEYS
        assert r["quenda_deadline"] == 0 and type(r["quenda_deadline"]) is int
        assert r["quenda_deadline_t_square"] == float("inf")

    def test_ratio_arguments_that_cannot_end_or_run(self, T, monkeypatch):
        df = readings(seconds=900, seed=15)
        r = T.outlier_clean(df, settings(), 0.6)
        assert list(r) == FAILURE_KEYS and r["error_stage"] == "Error_06"
        assert r["error_message"] == "no cleaning pass ran: max_ratio_start 0.6 is not at " \
                                     "most max_ratio_limit 0.5"
        r = T.outlier_clean(df, settings(), float("nan"))
        assert r["error_stage"] == "Error_06" and r["error_message"].startswith(
            "no cleaning pass ran: max_ratio_start nan")
        # A step that does not move the ratio: a pass meeting the standard still
        # returns at once; otherwise the search ends as at the limit, with the
        # last pass's model.
        iqr = record_calls(monkeypatch, T, "IQR_outlier_percent_clean")
        ok = T.outlier_clean(df, settings(), 0.01, 0)
        assert ok["respond"] == RESPOND_MET and len(iqr) == 1
        monkeypatch.setattr(T, "T2_Anomaly_Rate", lambda v, ucl: np.float64(0.5))
        below = math.nextafter(0.25, 0)
        for start, step, ratios in [(0.01, 0, [0.01]), (0.01, -0.01, [0.01]),
                                    (0.01, 1e-20, [0.01]), (0.01, np.float64(0.0), [0.01]),
                                    # the running sum moves once, then rounds back to itself
                                    (below, 0.25 - below, [below, 0.25])]:
            iqr.clear()
            r = T.outlier_clean(df, settings(), start, step)
            assert [a[1] for a, k in iqr] == ratios
            assert list(r) == CLEAN_KEYS and r["respond"] == RESPOND_BELOW
            assert (r["is_error"], r["error_stage"], r["training_model_robust_index"]) == \
                ("False", "None", 0.5)
        r = T.outlier_clean(df, settings(), 0.01, None)
        assert r["error_stage"] == "Error_09" and "unsupported operand" in r["error_message"]

    def test_failure_in_a_later_pass_discards_earlier_ones(self, T, monkeypatch):
        monkeypatch.setattr(T, "T2_Anomaly_Rate", lambda v, ucl: np.float64(0.5))

        def third_fails(out, n):
            if n == 3:
                raise RuntimeError("boom")
            return out

        record_calls(monkeypatch, T, "IQR_outlier_percent_clean", third_fails)
        r = T.outlier_clean(readings(seconds=900, seed=16), settings())
        assert list(r) == FAILURE_KEYS
        assert (r["error_stage"], r["error_message"]) == ("Error_03", "boom")

    def test_base_exceptions_are_not_caught(self, T, monkeypatch):
        def interrupt(*a, **k):
            raise KeyboardInterrupt

        monkeypatch.setattr(T, "IQR_outlier_percent_clean", interrupt)
        with pytest.raises(KeyboardInterrupt):
            T.outlier_clean(readings(seconds=300), settings())

    def test_binding(self, T):
        f = T.outlier_clean
        assert f.__defaults__ == (0.01, 0.01, 0.5)
        with pytest.raises(TypeError, match=r"^outlier_clean\(\) takes at least 2 positional "
                                            r"arguments \(1 given\)$"):
            f(readings(seconds=10))
        with pytest.raises(TypeError, match=r"takes at most 5 positional arguments \(6 given\)"):
            f(1, 2, 3, 4, 5, 6)
        with pytest.raises(TypeError, match=r"^outlier_clean\(\) got an unexpected keyword "
                                            r"argument 'max_ratio'$"):
            f(1, {}, max_ratio=0.1)
        r = f(dictionary=settings(), df=readings(seconds=600, seed=17), max_ratio_limit=0.01)
        assert r["respond"] == RESPOND_MET


def cheb_reference(T, df, feature="1", scale="2", time_scale="min", families=None):
    """The Chebyshev purging pipeline by the library pieces (deadline mode 1)."""
    d = T.compress_by_second(df, "_time")[0]
    d = d[["_time"] + d.select_dtypes(include="number").columns.tolist()].copy()
    d["_time"] = pd.to_datetime(d["_time"], errors="coerce")
    start = d["_time"].min().strftime("%Y-%m-%d %H:%M:%S")
    end = d["_time"].max().strftime("%Y-%m-%d %H:%M:%S")
    d = d.dropna(subset=["_time"]).set_index("_time")
    d = d.loc[:, ~d.columns.str.contains("percentage", case=False, na=False)]
    d = d.loc[:, ~d.columns.str.contains("QC", case=False, na=False)]
    rec = families or types.SimpleNamespace(time=["X_Overall"], frequency=BANDS,
                                            fail_mode=["Bearing"])
    if feature == "1":
        if time_scale == "h":
            d = T.time_filter(d, "_time", sec_count=1800)
        d, rec = T.feature_extraction(d, rec, time_scale)
    elif feature == "2":
        d, rec = T.feature_extraction_rolling(d, rec, 120, 60)
    scaled, scaler = {"2": T.standardize, "3": T.minmax_scale}[scale](d)
    kept = T.purge_by_chebyshev(scaled, alpha=0.05, max_iter=10, one_sided=True)[0]
    mu, cov, ucl, pca = T.health_modeling(kept)
    T2 = T.cal_T2(scaled, pca, mu, cov, scaled.index)[0]
    t = T2["tsquare"].mean() + 12 * T2["tsquare"].std()
    anomalies = T.T2_Anomaly_Rate(T2["tsquare"].values, ucl)
    bias = T.SPE_residual(d, scaled.index, alpha=0.05)[3]
    return dict(features=d, scaled=scaled, kept=kept, mu=mu, cov=cov, ucl=ucl, T2=T2, t=t,
                deadline=max(100 * np.exp(np.log(0.9) * (t / ucl)), 0.0), anomalies=anomalies,
                bias=bias, index=round(1 - max(anomalies, bias), 2), start=start, end=end)


def with_outliers(seconds=3600, seed=0):
    """Readings with one minute of strong excursion, so the purge removes rows."""
    df = readings(seconds=seconds, seed=seed)
    rows = slice(20 * 60, 20 * 60 + 59)
    df.loc[rows, BANDS[:3]] = df.loc[rows, BANDS[:3]].values + 30
    return df


@needs_stage_functions
class TestChebyshevPipeline:
    def test_form_and_values(self, T, capsys):
        df = with_outliers(seed=1)
        before = df.copy()
        r = T.outlier_chebyshev_T2_purging(df, "0,1,0,1,2,1,1,1")
        printed = capsys.readouterr().out
        assert list(r) == CHEB_KEYS
        ref = cheb_reference(T, df)
        ref_printed = capsys.readouterr().out
        assert printed == ref_printed and printed.endswith(f"最終保留樣本數：{len(ref['kept'])}\n")
        assert len(ref["kept"]) < len(ref["scaled"])  # the purge removed rows
        # T2 and score over all scaled rows, the model from the kept rows only
        pd.testing.assert_frame_equal(r["T2"], ref["T2"])
        assert len(r["T2"]) == len(ref["scaled"]) and r["T2"].index.name == "_time"
        np.testing.assert_allclose(r["Talvo_Score"]["Score"],
                                   100 * 0.9 ** (r["T2"]["tsquare"] / r["ucl"]), rtol=1e-12)
        assert r["ucl"] == ref["ucl"]
        np.testing.assert_array_equal(r["mu"], ref["mu"])
        np.testing.assert_array_equal(r["cov"], ref["cov"])
        assert r["pca"].n_samples_ == len(ref["kept"])
        assert r["quenda_deadline_t_square"] == ref["t"]
        assert r["quenda_deadline"] == ref["deadline"]
        assert r["training_anomalies"] == ref["anomalies"] and r["model_bias"] == ref["bias"]
        assert r["training_model_robust_index"] == ref["index"]
        assert r["training_model_robust_status"] == ("verify" if ref["index"] >= 0.9 else "warning")
        assert (r["start_time"], r["end_time"]) == (ref["start"], ref["end"])
        assert (r["datetime_name"], r["time_scale"], r["algo_config"]) == ("_time", "min",
                                                                           "0,1,0,1,2,1,1,1")
        assert (r["is_error"], r["error_code"], r["error_stage"], r["error_message"]) == \
            ("False", "None", "None", "None")
        assert type(r["scaler"]) is StandardScaler
        rec = r["indicator_col_name"]
        assert (rec.time, rec.frequency, rec.fail_mode) == (["X_Overall"], BANDS, ["Bearing"])
        dt.datetime.strptime(r["build_time"], "%Y-%m-%d %H:%M:%S")
        pd.testing.assert_frame_equal(df, before)

    def test_calls_made(self, T, capsys, monkeypatch):
        purge = record_calls(monkeypatch, T, "purge_by_chebyshev")
        comp = record_calls(monkeypatch, T, "compress_by_second")
        tf = record_calls(monkeypatch, T, "time_filter")
        fe = record_calls(monkeypatch, T, "feature_extraction")
        r = T.outlier_chebyshev_T2_purging(readings(5 * 3600, seed=2), "1,0,0,1,2,1,1,1")
        assert comp[0][0][1:] == ("_time",) and comp[0][1] == {}
        assert len(purge) == 1 and len(purge[0][0]) == 1
        assert purge[0][1] == {"alpha": 0.05, "max_iter": 10, "one_sided": True}
        assert purge[0][1]["one_sided"] is True
        assert tf[0][0][1] == "_time" and tf[0][1] == {"sec_count": 1800}
        assert fe[0][0][2] == "h" and r["time_scale"] == "h" and len(r["T2"]) == 5
        T.outlier_chebyshev_T2_purging(readings(3600, seed=2), "0,0,0,1,2,1,1,1")
        assert len(tf) == 1 and fe[1][0][2] == "min"
        capsys.readouterr()

    def test_positions_1_and_5_have_no_effect_and_blanks_are_stripped(self, T, capsys):
        df = readings(1800, seed=3)
        a = T.outlier_chebyshev_T2_purging(df, "1,1,0,1,2,0,1,2")
        b = T.outlier_chebyshev_T2_purging(df, " 1, 0 ,0,1 ,2,1,1,  2 ")
        assert b["algo_config"] == " 1, 0 ,0,1 ,2,1,1,  2 "
        for key in CHEB_KEYS:
            if key in ("algo_config", "build_time", "scaler", "pca", "indicator_col_name"):
                continue
            va, vb = a[key], b[key]
            if isinstance(va, pd.DataFrame):
                pd.testing.assert_frame_equal(va, vb)
            else:
                np.testing.assert_array_equal(va, vb)
        capsys.readouterr()

    def test_code_4_and_unknown_feature_codes_skip_features(self, T, capsys, monkeypatch):
        spe = record_calls(monkeypatch, T, "SPE_residual")
        r = T.outlier_chebyshev_T2_purging(readings(600, seed=4), "0,1,0,1,2,1,1,4")
        cols = ["RPM"] + BANDS + ["X_Overall", "Bearing"]
        assert list(r["scaler"].feature_names_in_) == cols
        assert list(spe[0][0][0].columns) == cols and len(r["T2"]) == 600
        rec = r["indicator_col_name"]
        assert (rec.time, rec.frequency, rec.fail_mode) == (["X_Overall"], BANDS, ["Bearing"])
        capsys.readouterr()

    def test_families_and_low_resolution(self, T, capsys):
        df = readings(1800, seed=5)
        r = T.outlier_chebyshev_T2_purging(df, "0,1,0,3,3,1,1,1")
        assert list(r["pca"].feature_names_in_) == [c + "_max" for c in BANDS] + \
            [c + "_mean" for c in BANDS]
        assert type(r["scaler"]) is MinMaxScaler
        r = T.outlier_chebyshev_T2_purging(df, "0,1,0,2,2,1,1,1")
        assert r["indicator_col_name"].fail_mode == [] and r["indicator_col_name"].time == ["X_Overall"]
        df["Z_Power_in_Band_02"] *= 1e-5
        r = T.outlier_chebyshev_T2_purging(df, "0,1,1,1,2,1,1,4")
        assert r["indicator_col_name"].frequency == BANDS[:-1]
        # screened from the lists only: the column still reaches the scaler
        assert "Z_Power_in_Band_02" in list(r["scaler"].feature_names_in_)
        capsys.readouterr()

    def test_rolling_feature_codes(self, T, capsys, monkeypatch):
        roll = record_calls(monkeypatch, T, "feature_extraction_rolling")
        r = T.outlier_chebyshev_T2_purging(readings(1800, seed=6), "0,1,0,1,2,1,1,2")
        assert roll[0][0][2:] == (120, 60) and r["T2"].index.name is None and len(r["T2"]) == 29
        T.outlier_chebyshev_T2_purging(readings(3 * 3600, seed=6), "0,1,0,1,2,1,1,3")
        assert roll[1][0][2:] == (3600, 1800)
        capsys.readouterr()

    def test_warning_mode_and_unscaled(self, T, capsys):
        from sklearn.exceptions import NotFittedError
        from sklearn.utils.validation import check_is_fitted
        r = T.outlier_chebyshev_T2_purging(readings(1800, seed=7), "0,1,0,1,1,1,2,1")
        assert list(r) == CHEB_KEYS + ["quenda_warning_line"]
        assert r["quenda_deadline"] == 0 and type(r["quenda_deadline"]) is int
        assert r["quenda_deadline_t_square"] == float("inf")
        t = r["T2"]["tsquare"]
        assert r["quenda_warning_line"] == max(
            100 * np.exp(np.log(0.9) * ((t.mean() + 24 * t.std()) / r["ucl"])), 0.0)
        with pytest.raises(NotFittedError):
            check_is_fitted(r["scaler"])
        capsys.readouterr()

    def test_failures_raise(self, T, capsys):
        df = readings(600, seed=8)
        with pytest.raises(ValueError, match=r"^need more than 7 values to unpack$"):
            T.outlier_chebyshev_T2_purging(df, "0,1,0,1,2,1,1")
        with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 8\)$"):
            T.outlier_chebyshev_T2_purging(df, "0,1,0,1,2,1,1,1,1")
        for config, pos, allowed, got in (("2,1,0,1,2,1,1,1", 0, "'0', '1'", "'2'"),
                                          ("0,1,0,4,2,1,1,1", 3, "'1', '2', '3'", "'4'"),
                                          ("0,1,0,1,x,1,1,1", 4, "'1', '2', '3'", "'x'"),
                                          ("0,1,0,1,2,1,0,1", 6, "'1', '2'", "'0'")):
            with pytest.raises(ValueError) as info:
                T.outlier_chebyshev_T2_purging(df, config)
            assert str(info.value) == f"algo_config position {pos} must be one of {allowed}, got {got}"
        with pytest.raises(KeyError):
            T.outlier_chebyshev_T2_purging(df.drop(columns="_time"), "0,1,0,1,2,1,1,1")
        bad = df.assign(_time="not a time")
        with pytest.raises(ValueError):
            T.outlier_chebyshev_T2_purging(bad, "0,1,0,1,2,1,1,1")
        # two feature rows: the health model cannot be fitted
        with pytest.raises(ZeroDivisionError):
            T.outlier_chebyshev_T2_purging(readings(120, seed=9), "0,1,0,1,2,1,1,1")
        assert capsys.readouterr().out == ""

    def test_binding(self, T):
        f = T.outlier_chebyshev_T2_purging
        assert f.__defaults__ is None
        with pytest.raises(TypeError, match=r"^outlier_chebyshev_T2_purging\(\) takes exactly 2 "
                                            r"positional arguments \(1 given\)$"):
            f(readings(10))
        with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(3 given\)"):
            f(1, 2, 3)
        with pytest.raises(TypeError, match=r"unexpected keyword argument 'config'"):
            f(1, config="x")
