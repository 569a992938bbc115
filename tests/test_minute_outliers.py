"""drop_outliers_by_min: per-minute interquartile fences."""
import numpy as np
import pandas as pd
import pytest


def pandas_loop(df, time_col, exclude_cols=None, iqr_k=1.5):
    """The per-minute pandas loop that the native kernel replaces."""
    if exclude_cols is None:
        exclude_cols = [time_col]
    df = df.copy()
    df[time_col] = pd.to_datetime(df[time_col])
    df.set_index(time_col, inplace=True)
    result = []
    for _, group in df.groupby(pd.Grouper(freq="1min")):
        filtered = group.copy()
        for col in group.columns:
            if col in exclude_cols:
                continue
            q1 = group[col].quantile(0.25)
            q3 = group[col].quantile(0.75)
            iqr = q3 - q1
            lower = q1 - iqr_k * iqr
            upper = q3 + iqr_k * iqr
            filtered = filtered[(filtered[col] >= lower) & (filtered[col] <= upper)]
        result.append(filtered)
    return pd.concat(result).sort_index().reset_index()


def stamps(start, seconds):
    return pd.Timestamp(start) + pd.to_timedelta(np.asarray(seconds, dtype=float), unit="s")


def check_same(ours, theirs):
    pd.testing.assert_frame_equal(ours, theirs, check_exact=True)
    assert isinstance(ours.index, pd.RangeIndex)
    assert list(ours.index) == list(range(len(ours)))


# ---------------------------------------------------------------- worked cases

class TestWorkedCases:
    def test_one_to_nine_and_hundred(self, T):
        df = pd.DataFrame({"_time": stamps("2024-03-01 10:00:00", range(10)),
                           "v": [1, 2, 3, 4, 5, 6, 7, 8, 9, 100]})
        out = T.drop_outliers_by_min(df, "_time")
        assert out["v"].tolist() == [1, 2, 3, 4, 5, 6, 7, 8, 9]
        assert list(out.columns) == ["_time", "v"]
        assert out["v"].dtype == np.int64

    @pytest.mark.parametrize("last, kept", [(14.5, True), (14.5000001, False)])
    def test_upper_fence_is_inclusive(self, T, last, kept):
        # Q1 = 3.25 and Q3 = 7.75 do not depend on the largest value, so the
        # upper fence stays 14.5.
        df = pd.DataFrame({"_time": stamps("2024-03-01 10:00:00", range(10)),
                           "v": [1, 2, 3, 4, 5, 6, 7, 8, 9, last]})
        out = T.drop_outliers_by_min(df, "_time")
        assert (last in out["v"].tolist()) is kept
        assert len(out) == 9 + kept

    def test_lower_fence_is_inclusive(self, T):
        df = pd.DataFrame({"_time": stamps("2024-03-01 10:00:00", range(10)),
                           "v": [-3.5, 2, 3, 4, 5, 6, 7, 8, 9, 10]})
        # sorted: -3.5, 2..10 -> Q1 = 3.25, Q3 = 7.75: fences -3.5 and 14.5
        out = T.drop_outliers_by_min(df, "_time")
        assert out["v"].tolist() == df["v"].tolist()
        df.loc[0, "v"] = -3.6
        assert -3.6 not in T.drop_outliers_by_min(df, "_time")["v"].tolist()

    def test_single_row_minute_kept_unless_missing(self, T):
        df = pd.DataFrame({"_time": ["2024-03-01 10:00:10", "2024-03-01 10:01:10",
                                     "2024-03-01 10:02:10"],
                           "a": [5.0, 7.0, np.nan], "b": [1, 2, 3]})
        out = T.drop_outliers_by_min(df, "_time")
        assert out["a"].tolist() == [5.0, 7.0]
        assert out["_time"].tolist() == [pd.Timestamp("2024-03-01 10:00:10"),
                                         pd.Timestamp("2024-03-01 10:01:10")]

    def test_missing_value_removes_the_row(self, T):
        df = pd.DataFrame({"_time": stamps("2024-03-01 10:00:00", range(5)),
                           "a": [1.0, 2.0, np.nan, 2.0, 1.0], "b": [1.0, 1.0, 1.0, 1.0, 1.0]})
        out = T.drop_outliers_by_min(df, "_time")
        assert out["a"].tolist() == [1.0, 2.0, 2.0, 1.0]

    def test_column_missing_throughout_a_minute_removes_the_minute(self, T):
        df = pd.DataFrame({"_time": stamps("2024-03-01 10:00:30", range(0, 60, 10)),
                           "a": [np.nan, np.nan, np.nan, 1.0, 2.0, 3.0]})
        out = T.drop_outliers_by_min(df, "_time")
        assert out["_time"].dt.minute.tolist() == [1, 1, 1]

    def test_constant_column_keeps_exactly_the_constant(self, T):
        df = pd.DataFrame({"_time": stamps("2024-03-01 10:00:00", range(8)),
                           "c": [4.0, 4.0, 4.0, 4.0, 4.0, 4.0, 4.0, 4.5]})
        out = T.drop_outliers_by_min(df, "_time")
        assert out["c"].tolist() == [4.0] * 7

    def test_factor_zero_keeps_the_inner_quartiles(self, T):
        df = pd.DataFrame({"_time": stamps("2024-03-01 10:00:00", range(9)),
                           "v": [1, 2, 3, 4, 5, 6, 7, 8, 9]})
        # Q1 = 3, Q3 = 7
        out = T.drop_outliers_by_min(df, "_time", iqr_k=0)
        assert out["v"].tolist() == [3, 4, 5, 6, 7]
        out = T.drop_outliers_by_min(df, "_time", None, 0.0)
        assert out["v"].tolist() == [3, 4, 5, 6, 7]

    def test_minute_boundary_splits_the_groups(self, T):
        # Together 10:00:59 (value 100) would be an outlier among the ones;
        # on its own in minute 10:00 it is kept.
        times = ["2024-03-01 10:00:59"] + [f"2024-03-01 10:01:{s:02d}" for s in range(9)]
        df = pd.DataFrame({"_time": times, "v": [100.0] + [1.0] * 9})
        out = T.drop_outliers_by_min(df, "_time")
        assert len(out) == 10
        together = df.assign(_time=["2024-03-01 10:01:59"] + times[1:])
        assert 100.0 not in T.drop_outliers_by_min(together, "_time")["v"].tolist()


class TestShape:
    def test_excluded_columns_come_back_unchanged(self, T):
        df = pd.DataFrame({"_time": stamps("2024-03-01 10:00:00", range(10)),
                           "v": [1, 2, 3, 4, 5, 6, 7, 8, 9, 100],
                           "tag": [1000.0, np.nan, 3, 4, 5, 6, 7, 8, 9, -1e9]})
        out = T.drop_outliers_by_min(df, "_time", exclude_cols=["_time", "tag"])
        assert out["tag"].tolist()[2:] == [3, 4, 5, 6, 7, 8, 9]
        assert out["tag"].tolist()[0] == 1000.0
        assert np.isnan(out["tag"].tolist()[1])
        assert list(out.columns) == ["_time", "v", "tag"]
        # A set works as well (membership test only).
        out2 = T.drop_outliers_by_min(df, "_time", exclude_cols={"tag"})
        check_same(out2, out)

    def test_excluding_nothing_still_skips_the_time_column(self, T):
        df = pd.DataFrame({"_time": stamps("2024-03-01 10:00:00", range(4)), "v": [1, 2, 3, 4]})
        out = T.drop_outliers_by_min(df, "_time", exclude_cols=[])
        check_same(out, pandas_loop(df, "_time", exclude_cols=[]))

    def test_unsorted_input_sorted_with_fresh_index(self, T):
        rng = np.random.default_rng(3)
        secs = rng.permutation(200)
        df = pd.DataFrame({"v": rng.normal(size=200), "_time": stamps("2024-03-01", secs)},
                          index=rng.permutation(np.arange(1000, 1200)))
        out = T.drop_outliers_by_min(df, "_time")
        assert out["_time"].is_monotonic_increasing
        assert list(out.columns) == ["_time", "v"]
        check_same(out, pandas_loop(df, "_time"))

    def test_missing_times_are_dropped(self, T):
        df = pd.DataFrame({"_time": ["2024-03-01 10:00:00", None, "2024-03-01 10:00:02",
                                     np.nan], "v": [1.0, 2.0, 3.0, 4.0]})
        out = T.drop_outliers_by_min(df, "_time")
        assert out["v"].tolist() == [1.0, 3.0]
        check_same(out, pandas_loop(df, "_time"))

    def test_input_is_not_modified(self, T):
        df = pd.DataFrame({"_time": ["2024-03-01 10:00:01", "2024-03-01 10:00:00"],
                           "v": [1.0, 2.0]}, index=[7, 3])
        before = df.copy()
        T.drop_outliers_by_min(df, "_time")
        pd.testing.assert_frame_equal(df, before)
        assert df["_time"].dtype == object

    def test_equal_stamps_keep_input_order(self, T):
        # Sound behaviour: the sort is stable, so rows sharing a stamp keep
        # the order they had in the input.
        times = ["2024-03-01 10:00:05"] * 20 + ["2024-03-01 10:00:01"] * 20
        df = pd.DataFrame({"_time": times, "v": np.arange(40.0) % 7, "id": np.arange(40)})
        out = T.drop_outliers_by_min(df, "_time", exclude_cols=["id"])
        assert out["id"].tolist() == list(range(20, 40)) + list(range(20))

    def test_dtypes_are_kept(self, T):
        df = pd.DataFrame({"_time": stamps("2024-03-01", range(6)),
                           "i8": np.array([1, 2, 3, 4, 5, 6], dtype=np.int8),
                           "u32": np.array([1, 2, 3, 4, 5, 6], dtype=np.uint32),
                           "i32": np.array([1, 2, 3, 4, 5, 6], dtype=np.int32),
                           "f32": np.array([1, 2, 3, 4, 5, 6], dtype=np.float32),
                           "s": list("abcdef")})
        out = T.drop_outliers_by_min(df, "_time", exclude_cols=["s"])
        assert out.dtypes.astype(str).tolist() == ["datetime64[ns]", "int8", "uint32", "int32",
                                                   "float32", "object"]
        check_same(out, pandas_loop(df, "_time", exclude_cols=["s"]))

    def test_header_name_and_column_order(self, T):
        df = pd.DataFrame({"a": [1.0, 2.0], "_time": ["2024-03-01 10:00:00",
                                                       "2024-03-01 10:00:01"], "b": [3, 4]})
        df.columns.name = "header"
        out = T.drop_outliers_by_min(df, "_time")
        assert list(out.columns) == ["_time", "a", "b"]
        assert out.columns.name == "header"
        check_same(out, pandas_loop(df, "_time"))


class TestFailures:
    def test_unparsable_time_raises_the_parse_error(self, T):
        df = pd.DataFrame({"_time": ["2024-03-01 10:00:00", "not a time"], "v": [1.0, 2.0]})
        with pytest.raises(Exception) as ours:
            T.drop_outliers_by_min(df, "_time")
        with pytest.raises(Exception) as theirs:
            pd.to_datetime(df["_time"])
        assert type(ours.value) is type(theirs.value)
        assert str(ours.value) == str(theirs.value)

    def test_empty_table_cannot_be_concatenated(self, T):
        df = pd.DataFrame({"_time": pd.Series([], dtype=object), "v": pd.Series([], dtype=float)})
        with pytest.raises(ValueError, match="^No objects to concatenate$"):
            T.drop_outliers_by_min(df, "_time")

    @pytest.mark.parametrize("extra", [{}, {"s": ["x", "y"]}])
    def test_no_parsable_time_at_all(self, T, extra):
        # No minute at all: nothing to concatenate, as for an empty table.
        # (The pandas loop fails inside the minute grouper instead.)
        df = pd.DataFrame({"_time": [None, None], "v": [1.0, 2.0], **extra})
        with pytest.raises(ValueError, match="^No objects to concatenate$"):
            T.drop_outliers_by_min(df, "_time")
        with pytest.raises(AttributeError, match="'NaTType' object has no attribute"):
            pandas_loop(df, "_time")

    def test_text_column_raises_type_error(self, T):
        df = pd.DataFrame({"_time": ["2024-03-01 10:00:00"], "s": ["x"]})
        with pytest.raises(TypeError) as ours:
            T.drop_outliers_by_min(df, "_time")
        with pytest.raises(TypeError) as theirs:
            pandas_loop(df, "_time")
        assert str(ours.value) == str(theirs.value)

    def test_missing_time_column(self, T):
        df = pd.DataFrame({"v": [1.0]})
        with pytest.raises(KeyError):
            T.drop_outliers_by_min(df, "_time")

    def test_non_container_exclusion(self, T):
        df = pd.DataFrame({"_time": ["2024-03-01 10:00:00"], "v": [1.0]})
        with pytest.raises(TypeError, match="not iterable"):
            T.drop_outliers_by_min(df, "_time", exclude_cols=5)


# ------------------------------------------------------- kernel against pandas

def random_readings(seed, n_rows, n_cols, rate_hz=1.0, shuffle=False, text_times=False):
    rng = np.random.default_rng(seed)
    ticks = rng.choice(int(n_rows * 1.6), size=n_rows, replace=False)
    secs = np.sort(ticks) / rate_hz
    df = pd.DataFrame({"_time": stamps("2024-03-01 09:58:17", secs)})
    for j in range(n_cols):
        kind = j % 6
        if kind == 0:
            col = rng.normal(10, 2, n_rows)
            col[rng.random(n_rows) < 0.05] = np.nan
            col[rng.random(n_rows) < 0.02] *= 10
        elif kind == 1:
            col = rng.integers(0, 5, n_rows)  # many ties, int64
        elif kind == 2:
            col = np.full(n_rows, 3.25)
            col[rng.random(n_rows) < 0.01] = 3.5
        elif kind == 3:
            col = rng.standard_cauchy(n_rows)
        elif kind == 4:
            col = rng.normal(size=n_rows).round(1)
            col[rng.random(n_rows) < 0.3] = np.nan
        else:
            col = rng.integers(-3, 3, n_rows).astype(np.int32)
        df[f"c{j}"] = col
    # A few lone readings far away: minutes with one row.
    lone = df.iloc[:3].copy()
    end = df["_time"].max().floor("min")
    lone["_time"] = end + pd.to_timedelta(["2min", "3min 30s", "5min 59.5s"])
    df = pd.concat([df, lone], ignore_index=True)
    if shuffle:
        df = df.sample(frac=1.0, random_state=seed).reset_index(drop=True)
    if text_times:
        df["_time"] = df["_time"].dt.strftime("%Y-%m-%d %H:%M:%S.%f")
    return df


class TestAgainstPandasLoop:
    @pytest.mark.parametrize("seed", range(6))
    def test_random_readings(self, T, seed):
        df = random_readings(seed, 900, 12, shuffle=seed % 2 == 1, text_times=seed % 3 == 0)
        check_same(T.drop_outliers_by_min(df, "_time"), pandas_loop(df, "_time"))

    @pytest.mark.parametrize("iqr_k", [0, 0.5, 1.5, 3, 2.0])
    def test_fence_factors(self, T, iqr_k):
        df = random_readings(11, 600, 6)
        check_same(T.drop_outliers_by_min(df, "_time", iqr_k=iqr_k),
                   pandas_loop(df, "_time", iqr_k=iqr_k))

    def test_dense_minutes_and_many_columns(self, T):
        # 10 readings a second: minutes of several hundred rows (selection
        # path of the kernel) and enough cells for the threaded path.
        df = random_readings(5, 6000, 40, rate_hz=10.0)
        check_same(T.drop_outliers_by_min(df, "_time"), pandas_loop(df, "_time"))

    @pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")
    def test_infinite_values(self, T):
        df = random_readings(8, 300, 4)
        df.loc[::17, "c0"] = np.inf
        df.loc[::23, "c3"] = -np.inf
        df.loc[300:, "c0"] = np.inf  # the lone rows: a one-row minute holding inf
        check_same(T.drop_outliers_by_min(df, "_time"), pandas_loop(df, "_time"))

    def test_exclusions_and_negative_times(self, T):
        df = random_readings(9, 400, 6)
        df["_time"] = df["_time"] - pd.Timestamp("2024-03-01") + pd.Timestamp("1969-12-31 23:50")
        ex = ["c0", "c3"]
        check_same(T.drop_outliers_by_min(df, "_time", ex), pandas_loop(df, "_time", ex))

    @pytest.mark.parametrize("case", ["tz", "float32", "nullable", "numpy_k", "object_numbers"])
    def test_library_road_inputs(self, T, case):
        df = random_readings(4, 300, 3)
        k = 1.5
        if case == "tz":
            df["_time"] = df["_time"].dt.tz_localize("Asia/Taipei")
        elif case == "float32":
            df["c0"] = df["c0"].astype(np.float32)
        elif case == "nullable":
            df["c1"] = df["c1"].astype("Int64")
        elif case == "numpy_k":
            k = np.float32(1.5)
        else:
            df["c0"] = df["c0"].astype(object)
        check_same(T.drop_outliers_by_min(df, "_time", iqr_k=k),
                   pandas_loop(df, "_time", iqr_k=k))


def odd_inputs():
    base = pd.DataFrame({"_time": pd.date_range("2024-01-01", periods=130, freq="s"),
                         "a": np.arange(130.0), "b": np.arange(130) % 7})
    mi = base.copy()
    mi.columns = pd.MultiIndex.from_tuples([("_time", ""), ("a", "x"), ("b", "y")])
    fortran = pd.DataFrame(np.asfortranarray(np.random.default_rng(0).random((130, 4))),
                           columns=list("wxyz")).assign(_time=base["_time"])
    return {
        "not a table": ({"_time": [1]}, "_time", {}),
        "list as time column": (base, ["_time"], {}),
        "nan factor": (base, "_time", {"iqr_k": np.nan}),
        "negative factor": (base, "_time", {"iqr_k": -1}),
        "huge int factor": (base, "_time", {"iqr_k": 2 ** 70}),
        "text factor": (base, "_time", {"iqr_k": "x"}),
        "two-level header": (mi, ("_time", ""), {}),
        "repeated column": (pd.concat([base, base[["a"]]], axis=1), "_time", {}),
        "repeated time column": (pd.concat([base, base[["_time"]]], axis=1), "_time", {}),
        "categorical": (base.assign(c=pd.Categorical(["x", "y"] * 65)), "_time", {}),
        "datetime column": (base.assign(c=base["_time"]), "_time", {}),
        "timedelta column": (base.assign(c=pd.to_timedelta(np.arange(130), unit="s")),
                             "_time", {}),
        "text exclusion": (base, "_time", {"exclude_cols": "ab"}),
        "mixed offsets": (pd.DataFrame({"_time": ["2024-01-01 00:00:00+01:00",
                                                  "2024-01-01 00:00:01+02:00"],
                                        "a": [1.0, 2.0]}), "_time", {}),
        "integer stamps": (pd.DataFrame({"_time": [60 * 10 ** 9, 61 * 10 ** 9],
                                         "a": [1.0, 2.0]}), "_time", {}),
        "integer labels": (pd.DataFrame({0: pd.date_range("2024", periods=3, freq="s"),
                                         1: [1.0, 2, 3]}), 0, {}),
        "large uint64": (base.assign(c=np.array([2 ** 63 + 5] * 130, dtype=np.uint64)),
                         "_time", {}),
        "large int64": (base.assign(c=np.array([2 ** 62 + 1, 2 ** 62 + 3] * 65)), "_time", {}),
        "float16": (base.assign(c=np.arange(130, dtype=np.float16)), "_time", {}),
        "strided columns": (fortran, "_time", {}),
    }


class TestOddInputs:
    """Odd inputs give what the pandas loop gives: the same table or the same
    exception, never a crash."""

    @pytest.mark.filterwarnings("ignore")
    @pytest.mark.parametrize("case", list(odd_inputs()))
    def test_same_as_the_loop(self, T, case):
        df, time_col, kwargs = odd_inputs()[case]

        def outcome(fn):
            try:
                return fn(df, time_col, **kwargs), None
            except Exception as e:  # compared below
                return None, e

        ours, our_error = outcome(T.drop_outliers_by_min)
        theirs, their_error = outcome(pandas_loop)
        if their_error is None:
            assert our_error is None, our_error
            pd.testing.assert_frame_equal(ours, theirs, check_exact=True)
        else:
            assert type(our_error) is type(their_error)
            assert str(our_error) == str(their_error)
