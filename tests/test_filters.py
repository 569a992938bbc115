"""Hourly completeness filter and low-resolution column screening."""
import numpy as np
import pandas as pd
import pytest


def seconds(start, count):
    return pd.date_range(start, periods=count, freq="s")


def hourly_table(*blocks):
    index = seconds(*blocks[0])
    for b in blocks[1:]:
        index = index.append(seconds(*b))
    return pd.DataFrame({"X_Overall": np.arange(len(index), dtype=float)},
                        index=index.rename("_time"))


class TestTimeFilter:
    def test_1799_rows_go_1800_stay(self, T):
        df = hourly_table(("2024-01-01 10:00:00", 1800), ("2024-01-01 11:00:00", 1799),
                          ("2024-01-01 13:10:00", 2000))
        before = df.copy()
        got = T.time_filter(df, "_time", 1800)
        hours = got.index.floor("h").unique()
        assert list(hours) == [pd.Timestamp("2024-01-01 10:00"), pd.Timestamp("2024-01-01 13:00")]
        assert len(got) == 3800
        pd.testing.assert_frame_equal(got, df[df.index.floor("h") != "2024-01-01 11:00"])
        pd.testing.assert_frame_equal(df, before)

    def test_clock_hours_not_windows_from_first_reading(self, T):
        # 10:30:00 to 11:29:59 is one hour of readings split over two clock hours.
        df = hourly_table(("2024-01-01 10:30:00", 3600))
        assert T.time_filter(df, "_time", 1800).equals(df)
        assert T.time_filter(df, "_time", 1801).empty

    def test_datetime_name_is_not_used(self, T):
        df = hourly_table(("2024-01-01 10:00:00", 100), ("2024-01-01 12:00:00", 10))
        a = T.time_filter(df, "_time", 50)
        b = T.time_filter(df=df, datetime_name="not a column", sec_count=50)
        pd.testing.assert_frame_equal(a, b)
        assert len(a) == 100

    def test_zero_or_negative_count_removes_nothing(self, T):
        df = hourly_table(("2024-01-01 10:00:00", 3), ("2024-01-01 15:00:00", 1))
        pd.testing.assert_frame_equal(T.time_filter(df, "_time", 0), df)
        pd.testing.assert_frame_equal(T.time_filter(df, "_time", -5), df)

    def test_empty_table(self, T):
        df = hourly_table(("2024-01-01 10:00:00", 5)).iloc[:0]
        got = T.time_filter(df, "_time", 1800)
        assert got.empty and list(got.columns) == ["X_Overall"]

    def test_not_time_indexed(self, T):
        with pytest.raises(TypeError):
            T.time_filter(pd.DataFrame({"a": [1.0, 2.0]}), "_time", 1)

    def test_missing_stamps_are_kept(self, T):
        index = pd.DatetimeIndex(["2024-01-01 10:00:00", "NaT", "2024-01-01 10:00:01",
                                  "2024-01-01 11:00:00"])
        df = pd.DataFrame({"v": [1.0, 2.0, 3.0, 4.0]}, index=index)
        got = T.time_filter(df, "_time", 2)
        assert list(got["v"]) == [1.0, 2.0, 3.0]

    def test_random_stamps_against_pandas_expression(self, T):
        rng = np.random.default_rng(8)
        stamps = pd.Timestamp("2024-02-01") + pd.to_timedelta(
            np.sort(rng.integers(0, 48 * 3600, 40000)), unit="s")
        df = pd.DataFrame({"v": rng.random(len(stamps))}, index=stamps)
        counts = df.resample("1h").size()
        drop = counts[counts < 850].index
        want = df[~df.index.floor("h").isin(drop)]
        got = T.time_filter(df, "_time", 850)
        pd.testing.assert_frame_equal(got, want)
        assert 0 < len(got) < len(df)


def quartile_table(q3s, rows=8):
    """Columns whose 0.75 quantile is exactly the given value (constant columns)."""
    return pd.DataFrame({f"c{i}": [q] * rows for i, q in enumerate(q3s)})


class TestLowResolution:
    def test_fixed_threshold(self, T):
        df = quartile_table([0.5, 0.004, 2.0])
        before = df.copy()
        assert T.low_resolution(df) == ["c1"]
        pd.testing.assert_frame_equal(df, before)

    def test_relative_threshold_when_all_below(self, T):
        assert T.low_resolution(quartile_table([0.008, 0.002, 0.0015])) == ["c1", "c2"]

    def test_all_zero(self, T):
        assert T.low_resolution(quartile_table([0.0, 0.0])) == []

    def test_rounding_to_four_places(self, T):
        assert T.low_resolution(quartile_table([0.009996, 0.5])) == []
        assert T.low_resolution(quartile_table([0.00994, 0.5])) == ["c0"]

    def test_text_column_keeps_fixed_threshold(self, T):
        df = quartile_table([0.008, 0.002])
        df["text"] = "abc"
        assert T.low_resolution(df) == ["c0", "c1"]
        # Without the text column the relative threshold 0.0064 applies.
        assert T.low_resolution(df[["c0", "c1"]]) == ["c1"]

    def test_no_usable_numbers(self, T):
        df = pd.DataFrame({"a": ["x", "y"], "b": [None, None]})
        assert T.low_resolution(df) == []
        assert T.low_resolution(quartile_table([0.001, 0.002]).iloc[:0]) == []

    def test_no_columns(self, T):
        with pytest.raises(KeyError, match="Q3"):
            T.low_resolution(pd.DataFrame(index=range(3)))

    def test_failing_column_is_normal_and_keeps_threshold(self, T):
        # A repeated label makes df[label] a table, which to_numeric rejects.
        df = pd.DataFrame([[0.001, 0.001, 0.002]] * 4, columns=["d", "d", "e"])
        assert T.low_resolution(df) == ["e"]

    def test_quantile_interpolation_and_mixed_entries(self, T):
        df = pd.DataFrame({"a": [0.0, 0.0, 0.0, 0.012, 1.0],   # q3 0.012
                           "b": ["0.001", "x", 0.002, None, 0.003],  # numeric q3 0.0025
                           "l": [0, 1, 2, 3, 4]})               # q3 3
        assert T.low_resolution(df) == ["b"]

    def test_random_tables_against_pandas_expression(self, T):
        rng = np.random.default_rng(12)
        for trial in range(20):
            scale = 10.0 ** rng.uniform(-4, 0, size=6)
            df = pd.DataFrame(rng.random((50, 6)) * scale, columns=list("abcdef"))
            q3 = [round(df[c].quantile(0.75), 4) for c in df]
            thr = 0.01
            if all(q < thr for q in q3):
                thr = max(q3) * 0.8
            want = [c for c, q in zip(df.columns, q3) if q < thr]
            assert T.low_resolution(df) == want
