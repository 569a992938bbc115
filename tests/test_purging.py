"""IQR hybrid outlier filter, Chebyshev/Cantelli T2 limit and the T2 purge loop."""
import warnings

import numpy as np
import pandas as pd
import pytest


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


def readings(n=400, seed=0, labels=None):
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
            df = readings(seed=seed, labels=labels)
            before = df.copy()
            out = T.IQR_outlier_percent_clean(df, max_ratio, "_time")
            pd.testing.assert_frame_equal(out, iqr_reference(df, max_ratio, "_time"))
            pd.testing.assert_frame_equal(df, before)  # input untouched
            assert out is not df
            # labels and order survive, gaps where rows went
            assert list(out.index) == [i for i in df.index if i in set(out.index)]
            assert list(out.columns) == list(df.columns)
            assert list(out.dtypes) == list(df.dtypes)

    def test_iqr_k_changes_the_fences(self, T):
        df = readings(seed=4)
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
        df = readings(seed=7)
        assert len(T.IQR_outlier_percent_clean(df, 1.0, "_time")) < len(df)
        pd.testing.assert_frame_equal(T.IQR_outlier_percent_clean(df, 0, "_time"), df)

    def test_max_ratio_one_keeps_iqr_flags(self, T):
        df = readings(seed=8)
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
        df = readings(seed=1)
        with pytest.raises(ValueError, match="percentiles should all be in the interval"):
            T.IQR_outlier_percent_clean(df, -0.1, "_time")
        with pytest.raises(TypeError):
            T.IQR_outlier_percent_clean(df, "0.1", "_time")

    def test_binding_and_doc(self, T):
        f = T.IQR_outlier_percent_clean
        assert f.__doc__ == ("對 DataFrame 每個欄位做 hybrid outlier filter\n"
                             "返回: 清理後的 DataFrame（刪掉所有欄位 outlier 的 row）")
        assert f.__defaults__ == (1.5,)
        df = readings(n=50)
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
