"""SPE abnormal times with their top contributions; bad zones and alert grouping."""
import numpy as np
import pandas as pd
import pytest


# ---------------------------------------------------------------- references

def spe_abnormal_reference(spe_df, spe_ucl, residual_df, top_k=3):
    """The plain pandas loop the module function replaces (non-empty case)."""
    abnormal_df = spe_df[spe_df["SPE"] > spe_ucl]
    abnormal_times = abnormal_df.index
    records = []
    for ts in abnormal_times:
        contrib = residual_df.loc[ts] ** 2
        top_vars = contrib.sort_values(ascending=False).head(top_k)
        record = {"Time": ts}
        for rank, (var, val) in enumerate(top_vars.items(), 1):
            record[f"Top{rank}_Var"] = var
            record[f"Top{rank}_Contrib"] = val
        records.append(record)
    return abnormal_times, pd.DataFrame(records).set_index("Time")


def rank_columns(k):
    return [name for r in range(1, k + 1) for name in (f"Top{r}_Var", f"Top{r}_Contrib")]


def residual_tables(seed, n=60, p=7, nan_share=0.0, index=None):
    rng = np.random.default_rng(seed)
    values = rng.normal(size=(n, p))
    if nan_share:
        values[rng.random(size=(n, p)) < nan_share] = np.nan
    if index is None:
        index = pd.date_range("2024-03-01", periods=n, freq="10min", name="_time")
    residual_df = pd.DataFrame(values, index=index,
                               columns=[f"F{j}_max" for j in range(p)])
    spe_df = (residual_df ** 2).sum(axis=1).rename("SPE").to_frame()
    return spe_df, residual_df


# ---------------------------------------------------------- SPE abnormal times

class TestSpeAbnormalTimes:
    def test_native_ranking_matches_pandas_loop_on_random_residuals(self, T):
        for seed in range(8):
            for nan_share in (0.0, 0.2):
                spe_df, residual_df = residual_tables(seed, nan_share=nan_share)
                limit = spe_df["SPE"].median()
                for top_k in (3, 1, 7, 12, 0, -2, np.int64(4)):
                    times, table = T.find_SPE_abnormal_times(spe_df, limit, residual_df, top_k)
                    ref_times, ref_table = spe_abnormal_reference(spe_df, limit, residual_df,
                                                                  top_k)
                    pd.testing.assert_index_equal(times, ref_times)
                    pd.testing.assert_frame_equal(table, ref_table)

    def test_native_road_needs_no_label_lookup(self, T):
        class NoLoc(pd.DataFrame):
            @property
            def _constructor(self):
                return NoLoc

            @property
            def loc(self):
                raise AssertionError("row lookup through .loc")

        spe_df, residual_df = residual_tables(4)
        limit = spe_df["SPE"].median()
        table = T.find_SPE_abnormal_times(spe_df, limit, NoLoc(residual_df), 3)[1]
        pd.testing.assert_frame_equal(table, spe_abnormal_reference(spe_df, limit,
                                                                    residual_df)[1])

    def test_many_columns_and_float32_fall_back_or_match(self, T):
        # 40 columns: beyond the size where the library's sort is stable; no ties here.
        for nan_share in (0.0, 0.3):
            spe_df, residual_df = residual_tables(11, n=30, p=40, nan_share=nan_share)
            limit = spe_df["SPE"].quantile(0.3)
            for top_k in (10, 40, -5):
                pd.testing.assert_frame_equal(
                    T.find_SPE_abnormal_times(spe_df, limit, residual_df, top_k)[1],
                    spe_abnormal_reference(spe_df, limit, residual_df, top_k)[1])
        # Non-float64 residuals take the library road: same result as the loop.
        spe_df, residual_df = residual_tables(12, n=30, p=40)
        limit = spe_df["SPE"].quantile(0.3)
        r32 = residual_df.astype("float32")
        pd.testing.assert_frame_equal(
            T.find_SPE_abnormal_times(spe_df, limit, r32, 2)[1],
            spe_abnormal_reference(spe_df, limit, r32, 2)[1])
        rint = (residual_df * 10).round().astype("int64")
        pd.testing.assert_frame_equal(
            T.find_SPE_abnormal_times(spe_df, limit, rint, 3)[1],
            spe_abnormal_reference(spe_df, limit, rint, 3)[1])

    def test_strict_limit_and_table_order(self, T):
        idx = pd.date_range("2024-01-01", periods=5, freq="H")
        spe_df = pd.DataFrame({"SPE": [5.0, 2.0, 9.0, 2.0, 3.0]}, index=idx)
        residual_df = pd.DataFrame({"a": [1.0, 2, 3, 4, 5], "b": [-2.0, 1, 0, 1, 1]}, index=idx)
        times, table = T.find_SPE_abnormal_times(spe_df, 3.0, residual_df)
        # 3.0 equals the limit and is left out; order is the table's, not by size.
        assert list(times) == [idx[0], idx[2]]
        assert list(table.index) == [idx[0], idx[2]]
        assert table.index.name == "Time"
        assert list(table.columns) == rank_columns(2)
        assert table.loc[idx[0]].tolist() == ["b", 4.0, "a", 1.0]
        assert table.loc[idx[2]].tolist() == ["a", 9.0, "b", 0.0]
        assert table["Top1_Contrib"].dtype == np.float64
        assert table["Top1_Var"].dtype == object

    def test_sign_does_not_matter_and_ties_keep_column_order(self, T):
        idx = pd.Index([10, 20], name="row")
        spe_df = pd.DataFrame({"SPE": [10.0, 10.0]}, index=idx)
        residual_df = pd.DataFrame({"p": [1.0, -3.0], "q": [-1.0, 3.0], "r": [-2.0, 0.5]},
                                   index=idx)
        times, table = T.find_SPE_abnormal_times(spe_df, 1.0, residual_df, 3)
        assert table.loc[10].tolist() == ["r", 4.0, "p", 1.0, "q", 1.0]
        assert table.loc[20].tolist() == ["p", 9.0, "q", 9.0, "r", 0.25]
        assert table.index.dtype == np.int64

    def test_top_k_larger_zero_and_negative(self, T):
        spe_df, residual_df = residual_tables(3, n=20, p=4)
        limit = spe_df["SPE"].median()
        n_abnormal = int((spe_df["SPE"] > limit).sum())
        _, big = T.find_SPE_abnormal_times(spe_df, limit, residual_df, 10)
        assert list(big.columns) == rank_columns(4)
        _, zero = T.find_SPE_abnormal_times(spe_df, limit, residual_df, 0)
        assert zero.shape == (n_abnormal, 0) and zero.index.name == "Time"
        _, neg = T.find_SPE_abnormal_times(spe_df, limit, residual_df, -1)
        assert list(neg.columns) == rank_columns(3)
        # head(-1) drops the smallest square, so the ranks kept are those of top_k=3.
        pd.testing.assert_frame_equal(neg, T.find_SPE_abnormal_times(spe_df, limit,
                                                                     residual_df, 3)[1])
        _, none_left = T.find_SPE_abnormal_times(spe_df, limit, residual_df, -9)
        assert none_left.shape == (n_abnormal, 0)

    def test_nan_residuals_rank_last(self, T):
        idx = pd.date_range("2024-01-01", periods=1, freq="H")
        spe_df = pd.DataFrame({"SPE": [4.0]}, index=idx)
        residual_df = pd.DataFrame({"a": [np.nan], "b": [0.1], "c": [np.nan], "d": [-5.0]},
                                   index=idx)
        _, table = T.find_SPE_abnormal_times(spe_df, 1.0, residual_df, 4)
        row = table.iloc[0].tolist()
        assert row[:4] == ["d", 25.0, "b", pytest.approx(0.01)]
        assert row[4] == "a" and np.isnan(row[5]) and row[6] == "c" and np.isnan(row[7])

    def test_nothing_above_the_limit_gives_empty_results(self, T):
        spe_df, residual_df = residual_tables(5, n=10, p=5)
        times, table = T.find_SPE_abnormal_times(spe_df, 1e9, residual_df)
        assert len(times) == 0 and isinstance(times, pd.DatetimeIndex)
        assert table.shape == (0, 6)
        assert table.index.name == "Time"
        assert list(table.columns) == rank_columns(3)
        assert table["Top2_Var"].dtype == object and table["Top2_Contrib"].dtype == np.float64
        _, wide = T.find_SPE_abnormal_times(spe_df, 1e9, residual_df, 8)
        assert list(wide.columns) == rank_columns(5)
        _, neg = T.find_SPE_abnormal_times(spe_df, 1e9, residual_df, -2)
        assert list(neg.columns) == rank_columns(3)
        _, zero = T.find_SPE_abnormal_times(spe_df, 1e9, residual_df, 0)
        assert zero.shape == (0, 0) and zero.index.name == "Time"

    def test_repeated_labels_take_the_library_road(self, T):
        idx = pd.Index(["a", "b", "b"])
        spe_df = pd.DataFrame({"SPE": [5.0, 1.0, 1.0]}, index=["a", "x", "y"])
        residual_df = pd.DataFrame({"u": [1.0, 2.0, 3.0], "v": [2.0, 1.0, 0.0]}, index=idx)
        times, table = T.find_SPE_abnormal_times(spe_df, 2.0, residual_df)
        pd.testing.assert_frame_equal(table, spe_abnormal_reference(spe_df, 2.0, residual_df)[1])
        spe_df = pd.DataFrame({"SPE": [5.0]}, index=["b"])
        with pytest.raises(TypeError) as ours:
            T.find_SPE_abnormal_times(spe_df, 2.0, residual_df)
        with pytest.raises(TypeError) as ref:
            spe_abnormal_reference(spe_df, 2.0, residual_df)
        assert str(ours.value) == str(ref.value)

    def test_missing_label_and_missing_column_raise_key_error(self, T):
        spe_df = pd.DataFrame({"SPE": [5.0, 6.0]}, index=[1, 2])
        residual_df = pd.DataFrame({"u": [1.0]}, index=[1])
        with pytest.raises(KeyError) as e:
            T.find_SPE_abnormal_times(spe_df, 2.0, residual_df)
        assert e.value.args == (2,)
        with pytest.raises(KeyError):
            T.find_SPE_abnormal_times(spe_df.rename(columns={"SPE": "Q"}), 2.0, residual_df)

    def test_odd_top_k_and_mismatched_index_use_the_library(self, T):
        spe_df, residual_df = residual_tables(8, n=12, p=3)
        limit = spe_df["SPE"].median()
        with pytest.raises(TypeError, match="positional indexing"):
            T.find_SPE_abnormal_times(spe_df, limit, residual_df, True)
        # Labels given as text against a time index: the lookup is the library's.
        spe_text = spe_df.set_axis(spe_df.index.strftime("%Y-%m-%d %H:%M:%S"))
        times, table = T.find_SPE_abnormal_times(spe_text, limit, residual_df)
        pd.testing.assert_frame_equal(table,
                                      spe_abnormal_reference(spe_text, limit, residual_df)[1])

    def test_other_index_kinds(self, T):
        for index in (pd.Index([f"s{i}" for i in range(15)]),
                      pd.date_range("2024-01-01", periods=15, freq="H", tz="Asia/Taipei"),
                      pd.CategoricalIndex([f"c{i}" for i in range(15)]),
                      pd.MultiIndex.from_product([["m"], range(15)]),
                      pd.Index(np.arange(15, dtype="uint32") * 3)):
            spe_df, residual_df = residual_tables(6, n=15, p=5, index=index)
            limit = spe_df["SPE"].median()
            times, table = T.find_SPE_abnormal_times(spe_df, limit, residual_df)
            ref_times, ref_table = spe_abnormal_reference(spe_df, limit, residual_df)
            pd.testing.assert_index_equal(times, ref_times)
            pd.testing.assert_frame_equal(table, ref_table)

    def test_inputs_unchanged_and_strided_residuals(self, T):
        spe_df, residual_df = residual_tables(9, n=25, p=6)
        spe_copy, res_copy = spe_df.copy(), residual_df.copy()
        limit = spe_df["SPE"].median()
        T.find_SPE_abnormal_times(spe_df, limit, residual_df, 2)
        pd.testing.assert_frame_equal(spe_df, spe_copy)
        pd.testing.assert_frame_equal(residual_df, res_copy)
        # A table built from a C-ordered block (one row per memory row).
        c_ordered = pd.DataFrame(np.ascontiguousarray(residual_df.to_numpy()),
                                 index=residual_df.index, columns=residual_df.columns)
        mixed = residual_df.copy()
        mixed["extra"] = 1.5  # second block
        flipped = pd.DataFrame(residual_df.to_numpy()[::-1, ::-1], index=residual_df.index[::-1],
                               columns=residual_df.columns[::-1])
        for table in (c_ordered, mixed, flipped):
            pd.testing.assert_frame_equal(
                T.find_SPE_abnormal_times(spe_df, limit, table, 4)[1],
                spe_abnormal_reference(spe_df, limit, table, 4)[1])


# --------------------------------------------------------------- bad zones

def bad_zone_reference(df, threshold, envelope_window="1D", envelope_method="min",
                       envelope_param=0.1, density_window="10D", density_threshold=0.7):
    df = df.copy()
    roll = df["Score"].rolling(window=envelope_window, center=False)
    df["envelope"] = roll.quantile(envelope_param) if envelope_method == "quantile" else roll.min()
    df["is_low"] = df["envelope"] < threshold
    df["rolling_density"] = df["is_low"].rolling(window=density_window, center=True).mean()
    df["alert"] = df["rolling_density"] >= density_threshold
    times = sorted(df.loc[df["alert"]].index)
    ranges, start, prev = [], None, None
    for t in times:
        if start is None:
            start = prev = t
        elif t - prev > pd.Timedelta(envelope_window):
            ranges.append((start, prev))
            start = prev = t
        else:
            prev = t
    if start is not None:
        ranges.append((start, prev))
    return ranges


def score_table(seed=0, n=24 * 40, freq="H"):
    rng = np.random.default_rng(seed)
    idx = pd.date_range("2024-01-01", periods=n, freq=freq)
    level = np.where((np.arange(n) // (24 * 8)) % 2 == 1, 70.0, 95.0)
    return pd.DataFrame({"Score": level + rng.normal(scale=6, size=n)}, index=idx)


class TestGroupAlertTimes:
    def test_example_gap_equal_to_window_joins(self, T):
        stamps = [pd.Timestamp("2024-01-01 00:00"), pd.Timestamp("2024-01-01 12:00"),
                  pd.Timestamp("2024-01-02 12:00"), pd.Timestamp("2024-01-04 00:00")]
        assert T.group_alert_times(stamps, "1D") == [
            (pd.Timestamp("2024-01-01 00:00"), pd.Timestamp("2024-01-02 12:00")),
            (pd.Timestamp("2024-01-04 00:00"), pd.Timestamp("2024-01-04 00:00"))]

    def test_unsorted_duplicates_and_texts(self, T):
        stamps = ["2024-01-04", "2024-01-01 12:00", "2024-01-02 12:00", "2024-01-01",
                  "2024-01-01"]
        got = T.group_alert_times(stamps, "1D")
        assert got == T.group_alert_times(sorted(pd.to_datetime(stamps)), "1D")
        assert got[0] == (pd.Timestamp("2024-01-01"), pd.Timestamp("2024-01-02 12:00"))
        assert all(isinstance(t, pd.Timestamp) for pair in got for t in pair)
        same = pd.Timestamp("2024-05-05 05:05")
        assert T.group_alert_times([same, same], "5min") == [(same, same)]

    def test_empty_single_and_integer_window(self, T):
        assert T.group_alert_times([], "1D") == []
        t = pd.Timestamp("2024-02-02")
        assert T.group_alert_times([t], "not a window") == [(t, t)]
        stamps = pd.date_range("2024-01-01", periods=3, freq="s")
        assert len(T.group_alert_times(list(stamps), 5)) == 3  # 5 ns
        with pytest.raises(ValueError):
            T.group_alert_times(list(stamps), "not a window")


class TestDetectBadZone:
    def test_matches_the_pandas_steps_on_random_scores(self, T):
        for seed in range(4):
            df = score_table(seed)
            for kwargs in ({}, {"envelope_method": "quantile", "envelope_param": 0.3},
                           {"envelope_window": "12H", "density_window": "3D",
                            "density_threshold": 0.5}):
                got = T.detect_bad_Talvo_zone(df, 85, **kwargs)
                assert got == bad_zone_reference(df, 85, **kwargs)
            assert T.detect_bad_Talvo_zone(df, 85) != []

    def test_quantile_zero_equals_min(self, T):
        df = score_table(7)
        assert T.detect_bad_Talvo_zone(df, 80, envelope_method="quantile",
                                       envelope_param=0.0) == T.detect_bad_Talvo_zone(df, 80)

    def test_envelope_method_text(self, T):
        df = score_table(1, n=48)
        with pytest.raises(ValueError) as e:
            T.detect_bad_Talvo_zone(df, 80, envelope_method="max")
        assert str(e.value) == "envelope_method 必須是 'quantile' 或 'min'"

    def test_time_windows_need_a_monotonic_index(self, T):
        df = score_table(2, n=100)
        df = df.iloc[np.random.default_rng(0).permutation(len(df))]
        with pytest.raises(ValueError, match="index values must be monotonic"):
            T.detect_bad_Talvo_zone(df, 80)
        with pytest.raises(KeyError):
            T.detect_bad_Talvo_zone(score_table(2, n=10).rename(columns={"Score": "S"}), 80)

    def test_caller_table_unchanged(self, T):
        df = score_table(3)
        before = df.copy()
        T.detect_bad_Talvo_zone(df, 85, envelope_method="quantile")
        pd.testing.assert_frame_equal(df, before)
        assert list(df.columns) == ["Score"]

    def test_boundaries_of_low_and_density(self, T):
        idx = pd.date_range("2024-01-01", periods=10, freq="D")
        # Envelope equal to the threshold is not low: nothing anywhere.
        flat = pd.DataFrame({"Score": [80.0] * 10}, index=idx)
        assert T.detect_bad_Talvo_zone(flat, 80, density_threshold=0.01) == []
        assert T.detect_bad_Talvo_zone(flat, 80.5) == [(idx[0], idx[-1])]
        # One low day in a 5-day centred window: density 0.2 exactly reaches 0.2.
        scores = [90.0] * 10
        scores[5] = 10.0
        one = pd.DataFrame({"Score": scores}, index=idx)
        got = T.detect_bad_Talvo_zone(one, 50, envelope_window="1D", density_window="5D",
                                      density_threshold=0.2)
        assert got == bad_zone_reference(one, 50, density_window="5D", density_threshold=0.2)
        assert got == [(idx[3], idx[7])]
        assert T.detect_bad_Talvo_zone(one, 50, density_window="5D",
                                       density_threshold=0.21) == []
