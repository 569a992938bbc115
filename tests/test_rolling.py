"""feature_extraction_rolling: native windows against the per-window pandas loop."""
import types

import numpy as np
import pandas as pd
import pytest

def assert_same_windows(got, want):
    """Labels, dtypes and maxima exactly; means and deviations to a relative
    1e-12 (their last bits depend on the summation order)."""
    pd.testing.assert_frame_equal(got, want, check_exact=False, rtol=1e-12, atol=0)
    maxima = [c for c in want.columns if str(c).endswith("_max")]
    np.testing.assert_array_equal(got[maxima].to_numpy(), want[maxima].to_numpy())


def pandas_windows(df, rec, window, step):
    """The per-window pandas loop the native kernel replaces."""
    time, freq, fail = rec.time, rec.frequency, rec.fail_mode
    names = time + freq + fail
    max_name = [str(c) + "_max" for c in names]
    mean_name = [str(c) + "_mean" for c in names]
    std_name = [str(c) + "_std" for c in time]
    results, index_list = [], []
    n = len(df)
    if n < window:
        window = n
    for s in range(0, n - window + 1, step):
        e = s + window
        sub = df.iloc[s:e]
        feat = {}
        feat.update(zip(max_name, sub[names].max()))
        feat.update(zip(mean_name, sub[names].mean()))
        if time:
            feat.update(zip(std_name, sub[time].std()))
        results.append(feat)
        index_list.append(df.index[e - 1])
    return pd.DataFrame(results, index=index_list).dropna(axis="index", how="any")


def record(time=("X_Overall", "Y_Peak"), frequency=("X_Power_in_Band_01",),
           fail_mode=("Bearing",)):
    return types.SimpleNamespace(time=list(time), frequency=list(frequency),
                                 fail_mode=list(fail_mode))


def readings(n, rng, nan_share=0.05, columns=None, start="2024-03-01 08:00:00"):
    columns = columns or ["X_Overall", "Y_Peak", "X_Power_in_Band_01", "Bearing", "RPM"]
    values = rng.normal(loc=2.0, scale=1.5, size=(n, len(columns)))
    values[rng.random(values.shape) < nan_share] = np.nan
    index = pd.date_range(start, periods=n, freq="s", name="_time")
    return pd.DataFrame(values, index=index, columns=columns)


# pandas' window deviations follow bottleneck's summation order or NumPy's, as
# installed and switched on: the comparisons run under each.
@pytest.mark.usefixtures("pandas_arithmetic")
class TestAgainstPandasLoop:
    @pytest.mark.parametrize("n, window, step, nan_share", [
        (3000, 120, 60, 0.05),
        (3000, 120, 60, 0.6),     # many windows with a column of one value or none
        (20000, 3600, 1800, 0.02),
        (9000, 3600, 1800, 0.0),
        (50, 120, 60, 0.1),       # shorter than the window: one window
        (1000, 60, 30, 0.2),
        (1003, 97, 41, 0.1),      # trailing rows in no window
        (500, 7, 7, 0.1),         # windows below the pairwise block size
        (800, 300, 1, 0.1),       # pairwise sums split in halves
        (10, 1, 1, 0.0),          # windows of one row: std missing everywhere
    ])
    def test_random_tables(self, T, n, window, step, nan_share):
        rng = np.random.default_rng(n + window + step)
        df = readings(n, rng, nan_share)
        rec = record()
        got, rec_back = T.feature_extraction_rolling(df, rec, window, step)
        want = pandas_windows(df, rec, window, step)
        assert rec_back is rec
        assert_same_windows(got, want)
        assert got.index.name is None and got.index.freq is None

    @pytest.mark.parametrize("layout", ["interleaved", "contiguous", "reversed", "mixed"])
    def test_memory_layouts(self, T, layout):
        # Tables built from a 2-D array keep rows together; tables built from
        # columns keep columns together; a reversed view walks backwards.
        rng = np.random.default_rng(21)
        df = readings(2500, rng, 0.05)
        if layout == "contiguous":
            df = pd.DataFrame({c: df[c].to_numpy().copy() for c in df}, index=df.index)
        elif layout == "reversed":
            df = df.iloc[::-1]
        elif layout == "mixed":
            df = df.copy()
            df["Y_Peak"] = df["Y_Peak"].to_numpy().copy()  # a block of its own
        rec = record()
        got, _ = T.feature_extraction_rolling(df, rec, 120, 60)
        want = pandas_windows(df, rec, 120, 60)
        assert_same_windows(got, want)

    def test_means_near_zero(self, T):
        # Window sums that nearly cancel leave a relative bound no room for
        # drift (running sums, one-pass variance).
        rng = np.random.default_rng(7)
        df = readings(6000, rng, 0.1)
        df = df - df.mean()
        rec = record()
        got, _ = T.feature_extraction_rolling(df, rec, 120, 60)
        want = pandas_windows(df, rec, 120, 60)
        assert (want.filter(like="_mean").abs() < 0.01).any().any()
        assert_same_windows(got, want)

    @pytest.mark.filterwarnings("ignore:overflow encountered:RuntimeWarning")
    def test_infinite_and_huge_values(self, T):
        rng = np.random.default_rng(3)
        df = readings(1200, rng, 0.05)
        df.iloc[100, 0] = np.inf
        df.iloc[400, 1] = -np.inf
        df.iloc[700:705, 0] = 1e300   # squared deviations overflow to infinity
        df.iloc[900:960, 3] = np.nan  # a whole window of one column missing
        rec = record()
        for window, step in [(120, 60), (50, 25)]:
            got, _ = T.feature_extraction_rolling(df, rec, window, step)
            want = pandas_windows(df, rec, window, step)
            assert_same_windows(got, want)

    @pytest.mark.parametrize("index", [
        pd.RangeIndex(400),
        pd.Index(np.arange(400) * 2.5),
        pd.date_range("2024-01-01", periods=400, freq="s", tz="Asia/Taipei", name="t"),
        pd.Index([f"r{i}" for i in range(400)]),
    ])
    def test_other_indexes(self, T, index):
        rng = np.random.default_rng(11)
        df = readings(400, rng, 0.05).set_axis(index, axis=0)
        rec = record()
        got, _ = T.feature_extraction_rolling(df, rec, 120, 60)
        want = pandas_windows(df, rec, 120, 60)
        assert_same_windows(got, want)
        pd.testing.assert_index_equal(got.index, want.index, exact=True)

    def test_non_float_columns_follow_pandas(self, T):
        rng = np.random.default_rng(5)
        n = 300
        df = pd.DataFrame({
            "X_Overall": rng.integers(0, 100, n),
            "Y_Peak": rng.random(n).astype(np.float32),
            "X_Power_in_Band_01": rng.random(n) < 0.5,
            "Bearing": rng.random(n),
        }, index=pd.date_range("2024-01-01", periods=n, freq="s"))
        for rec in [record(), record(time=["X_Overall"], frequency=[], fail_mode=[])]:
            got, _ = T.feature_extraction_rolling(df, rec, 120, 60)
            want = pandas_windows(df, rec, 120, 60)
            pd.testing.assert_frame_equal(got, want)

    def test_non_text_labels_name_features_by_their_text(self, T):
        rng = np.random.default_rng(2)
        df = pd.DataFrame(rng.random((200, 3)), columns=[1, 2, 3],
                          index=pd.date_range("2024-01-01", periods=200, freq="s"))
        rec = types.SimpleNamespace(time=[1], frequency=[2], fail_mode=[3])
        got, _ = T.feature_extraction_rolling(df, rec, 60, 30)
        assert list(got.columns) == ["1_max", "2_max", "3_max", "1_mean", "2_mean", "3_mean",
                                     "1_std"]
        pd.testing.assert_frame_equal(got, pandas_windows(df, rec, 60, 30), rtol=1e-12)

    def test_input_left_unchanged(self, T):
        rng = np.random.default_rng(9)
        df = readings(500, rng, 0.1)
        before = df.copy()
        T.feature_extraction_rolling(df, record(), 120, 60)
        pd.testing.assert_frame_equal(df, before)


class TestWindowsAndStamps:
    def table(self, n):
        rng = np.random.default_rng(n)
        return readings(n, rng, 0.0)

    @pytest.mark.parametrize("n, starts", [(300, [0, 60, 120, 180]), (250, [0, 60, 120])])
    def test_window_starts_and_stamps(self, T, n, starts, pandas_arithmetic):
        df = self.table(n)
        got, _ = T.feature_extraction_rolling(df, record(), 120, 60)
        assert list(got.index) == [df.index[s + 119] for s in starts]
        for s, (_, row) in zip(starts, got.iterrows()):
            assert row["X_Overall_max"] == df["X_Overall"].iloc[s:s + 120].max()
            assert row["Y_Peak_std"] == pytest.approx(df["Y_Peak"].iloc[s:s + 120].std(),
                                                      rel=1e-12)

    def test_short_table_is_one_window(self, T):
        df = self.table(50)
        got, _ = T.feature_extraction_rolling(df, record(), 120, 60)
        assert len(got) == 1 and got.index[0] == df.index[49]
        assert got["Bearing_mean"].iloc[0] == pytest.approx(df["Bearing"].mean(), rel=1e-12)

    def test_single_row_with_time_family_comes_out_empty(self, T):
        df = self.table(1)
        got, _ = T.feature_extraction_rolling(df, record(), 120, 60)
        assert got.empty
        assert list(got.columns) == [
            "X_Overall_max", "Y_Peak_max", "X_Power_in_Band_01_max", "Bearing_max",
            "X_Overall_mean", "Y_Peak_mean", "X_Power_in_Band_01_mean", "Bearing_mean",
            "X_Overall_std", "Y_Peak_std"]

    def test_empty_time_family_has_no_std_block(self, T):
        df = self.table(1)
        rec = record(time=[])
        got, _ = T.feature_extraction_rolling(df, rec, 120, 60)
        assert len(got) == 1
        assert list(got.columns) == ["X_Power_in_Band_01_max", "Bearing_max",
                                     "X_Power_in_Band_01_mean", "Bearing_mean"]
        assert all(dt == np.float64 for dt in got.dtypes)

    def test_keyword_arguments(self, T):
        df = self.table(300)
        rec = record()
        a, _ = T.feature_extraction_rolling(df=df, indicator_col_name=rec, window=120, step=60)
        pd.testing.assert_frame_equal(a, pandas_windows(df, rec, 120, 60), rtol=1e-12)


class TestOddArguments:
    def table(self, n=200):
        return readings(n, np.random.default_rng(1), 0.0)

    def test_empty_table_raises_index_error(self, T):
        with pytest.raises(IndexError):
            T.feature_extraction_rolling(self.table(0), record(), 120, 60)

    def test_step_zero_raises_range_error(self, T):
        with pytest.raises(ValueError, match="range\\(\\) arg 3 must not be zero"):
            T.feature_extraction_rolling(self.table(), record(), 120, 0)

    def test_missing_column_raises_key_error(self, T):
        with pytest.raises(KeyError):
            T.feature_extraction_rolling(self.table(), record(fail_mode=["Looseness"]), 120, 60)

    def test_float_window_is_a_type_error(self, T):
        with pytest.raises(TypeError):
            T.feature_extraction_rolling(self.table(), record(), 120.0, 60)

    @pytest.mark.parametrize("window, step", [(120, -1), (0, 60), (-3, 1), (120, 500),
                                              (True, 1), (np.int64(50), np.int64(25))])
    def test_like_the_pandas_loop(self, T, window, step, pandas_arithmetic):
        df = self.table()
        rec = record()
        got, _ = T.feature_extraction_rolling(df, rec, window, step)
        want = pandas_windows(df, rec, window, step)
        pd.testing.assert_frame_equal(got, want, check_exact=False, rtol=1e-12)

    @pytest.mark.parametrize("time", [[["X_Overall"]], [["X_Overall"], "Y_Peak"]])
    def test_unhashable_label_reports_the_library_error(self, T, time):
        rec = record(time=time)
        with pytest.raises(Exception) as theirs:
            pandas_windows(self.table(), rec, 120, 60)
        with pytest.raises(theirs.type) as ours:
            T.feature_extraction_rolling(self.table(), rec, 120, 60)
        assert str(ours.value) == str(theirs.value)

    def test_record_must_have_the_three_fields(self, T):
        with pytest.raises(AttributeError):
            T.feature_extraction_rolling(self.table(), types.SimpleNamespace(time=[]), 120, 60)
