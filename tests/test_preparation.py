"""Column names, per-second compression and chunked resampling."""
import copy
import pickle

import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_frame_equal, assert_series_equal

from examples.sample_readings import RAW_COLUMNS, generate

# ---------------------------------------------------------------------------
# Library roads the module functions must reproduce, written out with pandas.


def ref_compress(df, time_col, on_conflict="last", want_conflicts=True):
    """One row per second with grouped table operations (stable sort)."""
    df = df.copy()
    for c in df.select_dtypes(include="object").columns:
        s = df[c].astype(str)
        df[c] = df[c].mask(s.str.fullmatch(r"\s*"))
    df[time_col] = pd.to_datetime(df[time_col], errors="coerce")
    df = df.sort_values(time_col, kind="stable")
    df["_sec"] = df[time_col].values.astype("datetime64[s]")
    feature_cols = [c for c in df.columns if c not in (time_col, "_sec")]

    def pairs(nunique):
        marks = nunique.gt(1).stack()
        return (marks.loc[lambda s: s].reset_index()
                .rename(columns={"level_1": "column", 0: "conflict"})
                .drop(columns="conflict"))

    if on_conflict in ("last", "first"):
        g = df.groupby("_sec", sort=False)[feature_cols]
        if on_conflict == "last":
            df[feature_cols] = g.ffill()
            out = df.drop_duplicates("_sec", keep="last")[["_sec"] + feature_cols]
        else:
            df[feature_cols] = g.bfill()
            out = df.drop_duplicates("_sec", keep="first")[["_sec"] + feature_cols]
        out = out.rename(columns={"_sec": time_col})
        conflicts = None
        if want_conflicts:
            conflicts = pairs(df.groupby("_sec")[feature_cols].nunique(dropna=True))
        return out, conflicts

    filled = df.copy()
    filled[feature_cols] = filled.groupby("_sec", sort=False)[feature_cols].ffill()
    base = filled.drop_duplicates("_sec", keep="last")[["_sec"] + feature_cols]
    nunique = df.groupby("_sec")[feature_cols].nunique(dropna=True)
    any_conflict = nunique.gt(1).any(axis=0)
    conflict_cols = [c for c in feature_cols if any_conflict[c]]
    conflicts = pairs(nunique) if want_conflicts else None
    if not conflict_cols:
        return base.rename(columns={"_sec": time_col}), conflicts

    def _reduce_series(s):
        s = s.dropna()
        if len(s) == 0:
            return np.nan
        if len(pd.unique(s)) == 1:
            return pd.unique(s)[0]
        if on_conflict == "mode":
            return s.mode(dropna=True).iloc[-1]
        if on_conflict == "concat":
            return "|".join(pd.unique(s.astype(str)))
        if on_conflict == "nan":
            return np.nan
        return s.iloc[-1]

    reduced = df.groupby("_sec", as_index=False)[conflict_cols].agg(_reduce_series)
    out = (base.drop(columns=conflict_cols).merge(reduced, on="_sec", how="left")
           .rename(columns={"_sec": time_col}))
    return out, conflicts


def assert_same_frame(a, b):
    """Equal values, dtypes, labels and index types; object cells also of the
    same Python type (None stays None, NaN stays NaN)."""
    assert_frame_equal(a, b, check_exact=True, check_index_type=True,
                       check_column_type=True, check_names=True)
    for j in range(a.shape[1]):
        if a.dtypes.iloc[j] == object:
            assert [type(x) for x in a.iloc[:, j]] == [type(x) for x in b.iloc[:, j]]


def assert_same_result(got, want):
    assert isinstance(got, tuple) and len(got) == 2
    assert_same_frame(got[0], want[0])
    if want[1] is None:
        assert got[1] is None
    else:
        assert_same_frame(got[1], want[1])


# ---------------------------------------------------------------------------
# rename_columns


class TestRenameColumns:
    CANONICAL = (
        ["_time", "RPM"]
        + [f"{a}_Overall" for a in "XYZ"] + [f"{a}_Peak" for a in "XYZ"]
        + [f"{a}_Peak_to_Peak" for a in "XYZ"] + [f"{a}_Crest_Factor" for a in "XYZ"]
        + [f"{a}_Power_in_Band_{b:02d}" for a in "XYZ" for b in range(1, 11)]
        + ["Bearing", "Looseness", "Misalignment", "Imbalance", "Gear_mesh", "Van_Pass"]
        + [f"{f}_percentage" for f in ["Bearing", "Looseness", "Misalignment", "Imbalance",
                                        "Gear_mesh", "Van_Pass"]]
        + ["Temperature", "X_Overall_QC", "Y_Overall_QC", "Z_Overall_QC"]
    )

    def test_whole_vocabulary(self, T):
        df = pd.DataFrame([range(60)], columns=RAW_COLUMNS)
        out = T.rename_columns(df)
        assert list(out.columns) == self.CANONICAL
        assert len(set(self.CANONICAL)) == 60
        assert out.values.tolist() == [list(range(60))]
        assert list(df.columns) == RAW_COLUMNS  # the caller keeps its names

    def test_trims_caller_headers_in_place(self, T):
        df = pd.DataFrame({" X-Overall ": [1.0], "\tTime": ["2024-01-01"], "Other ": [2]})
        out = T.rename_columns(df)
        assert list(out.columns) == ["X_Overall", "_time", "Other"]
        assert list(df.columns) == ["X-Overall", "Time", "Other"]
        assert out is not df

    def test_unknown_forms_pass_unchanged(self, T):
        names = ["x-overall", "X - Overall", "X-overall", "Bearing%", "time", "Speed"]
        df = pd.DataFrame([range(6)], columns=names)
        assert list(T.rename_columns(df).columns) == names

    def test_canonical_names_are_fixed_points(self, T):
        df = pd.DataFrame([range(4)], columns=["X_Overall", "_time", "Bearing_percentage", "RPM"])
        once = T.rename_columns(df)
        twice = T.rename_columns(once)
        assert list(once.columns) == list(df.columns) == list(twice.columns)

    def test_raw_and_canonical_together_give_two_columns(self, T):
        df = pd.DataFrame([[1, 2]], columns=["X-Overall", "X_Overall"])
        out = T.rename_columns(df)
        assert list(out.columns) == ["X_Overall", "X_Overall"]
        assert out.iloc[0].tolist() == [1, 2]

    def test_no_rows(self, T):
        df = pd.DataFrame(columns=[" Time", "Z-Power in Band 10 ", "Imbalance %"])
        out = T.rename_columns(df)
        assert len(out) == 0
        assert list(out.columns) == ["_time", "Z_Power_in_Band_10", "Imbalance_percentage"]

    def test_rows_index_and_values_unchanged(self, T):
        df = pd.DataFrame({"Y-Peak": [3.0, 1.0, 2.0], "Status": ["a", "b", None]},
                          index=pd.Index([7, 3, 5], name="row"))
        out = T.rename_columns(df)
        assert list(out.columns) == ["Y_Peak", "Status"]
        assert_frame_equal(out, df.set_axis(["Y_Peak", "Status"], axis=1))

    def test_mixed_header_keeps_non_text_labels(self, T):
        # The library's accessor would turn 3 and 2.5 into missing labels on
        # the caller's own table; they stay as they are.
        df = pd.DataFrame([[1, 2, 3]], columns=[" Time ", 3, 2.5])
        out = T.rename_columns(df)
        assert list(out.columns) == ["_time", 3, 2.5]
        assert list(df.columns) == ["Time", 3, 2.5]

    def test_header_of_numbers_only_raises_accessor_error(self, T):
        df = pd.DataFrame([[1, 2]], columns=[0, 1])
        with pytest.raises(AttributeError, match="Can only use .str accessor with string"):
            T.rename_columns(df)
        assert list(df.columns) == [0, 1]

    def test_header_name_is_kept(self, T):
        df = pd.DataFrame([[1]], columns=pd.Index(["RPM "], name="hdr"))
        out = T.rename_columns(df)
        assert out.columns.name == "hdr" and df.columns.name == "hdr"

    def test_argument_binding(self, T):
        with pytest.raises(TypeError):
            T.rename_columns()
        with pytest.raises(TypeError):
            T.rename_columns(pd.DataFrame(), 1)
        with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
            T.rename_columns(df=pd.DataFrame(), x=1)
        assert list(T.rename_columns(df=pd.DataFrame(columns=["Time"])).columns) == ["_time"]


# ---------------------------------------------------------------------------
# compress_by_second: the Part's cases


def two_readings(second_value, second_time="2024-01-01 10:00:00.8"):
    return pd.DataFrame({
        "_time": ["2024-01-01 10:00:00.2", second_time],
        "s": ["a", second_value],
        "x": [1.0, 1.0],
    })


class TestCompressCases:
    @pytest.mark.parametrize("strategy,expected", [
        ("last", "b"), ("first", "a"), ("mode", "b"), ("concat", "a|b"), ("nan", None),
        ("whatever", "b"),
    ])
    def test_strategies_on_one_conflicting_second(self, T, strategy, expected):
        df = two_readings("b")
        out, conflicts = T.compress_by_second(df, "_time", strategy)
        assert len(out) == 1
        assert out["_time"].iloc[0] == pd.Timestamp("2024-01-01 10:00:00")
        value = out["s"].iloc[0]
        if expected is None:
            assert isinstance(value, float) and np.isnan(value)
        else:
            assert value == expected
        assert conflicts.to_dict("list") == {"_sec": [pd.Timestamp("2024-01-01 10:00:00")],
                                             "column": ["s"]}
        assert_same_result((out, conflicts), ref_compress(df, "_time", strategy))

    @pytest.mark.parametrize("other", [None, np.nan, "  ", "", "\t\n"])
    @pytest.mark.parametrize("strategy", ["last", "first", "mode", "concat", "nan", "zzz"])
    def test_missing_or_blank_is_no_conflict(self, T, strategy, other):
        for df in (two_readings(other), two_readings(other)[::-1]):
            out, conflicts = T.compress_by_second(df, "_time", strategy)
            assert out["s"].tolist() == ["a"]
            assert len(conflicts) == 0 and list(conflicts.columns) == ["_sec", "column"]
            assert_same_result((out, conflicts), ref_compress(df, "_time", strategy))

    def test_time_is_cut_never_rounded(self, T):
        df = pd.DataFrame({"_time": ["2024-01-01 10:00:00.9", "2024-01-01 10:00:01.1"],
                           "x": [1.0, 2.0]})
        for strategy in ("last", "first", "mode"):
            out, conflicts = T.compress_by_second(df, "_time", strategy)
            assert out["_time"].tolist() == [pd.Timestamp("2024-01-01 10:00:00"),
                                             pd.Timestamp("2024-01-01 10:00:01")]
            assert out["x"].tolist() == [1.0, 2.0]
            assert len(conflicts) == 0

    def test_before_1970_seconds_are_floored(self, T):
        df = pd.DataFrame({"t": pd.to_datetime(["1969-12-31 23:59:59.5",
                                                "1969-12-31 23:59:59.9"]), "x": [1, 2]})
        out, conflicts = T.compress_by_second(df, "t")
        assert out["t"].tolist() == [pd.Timestamp("1969-12-31 23:59:59")]
        assert_same_result((out, conflicts), ref_compress(df, "t"))

    def test_unparsable_times_end_in_one_last_row(self, T):
        df = pd.DataFrame({
            "_time": ["garbage", "2024-01-01 10:00:02", "", "2024-01-01 10:00:01", "N/A", None],
            "x": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
            "n": [1, 2, 3, 4, 5, 6],
            "b": [True, False, True, False, True, False],
            "s": ["p", "q", "r", "s", "t", "u"],
        })
        for strategy in ("last", "first"):
            got = T.compress_by_second(df, "_time", strategy)
            out = got[0]
            assert out["_time"].iloc[:2].tolist() == [pd.Timestamp("2024-01-01 10:00:01"),
                                                      pd.Timestamp("2024-01-01 10:00:02")]
            assert pd.isna(out["_time"].iloc[2]) and len(out) == 3
            # The row without a time holds no values; integer and boolean
            # columns are widened by it as the library's grouped fill does.
            assert out.iloc[2, 1:].isna().all()
            assert out["n"].dtype == np.float64 and out["b"].dtype == object
            assert out.index.tolist() == ([3, 1, 5] if strategy == "last" else [3, 1, 0])
            assert_same_result(got, ref_compress(df, "_time", strategy))

    def test_first_column_is_time_col_with_whole_seconds(self, T):
        df = pd.DataFrame({"x": [1.0, 2.0], "when": ["2024-01-01 10:00:00.5",
                                                      "2024-01-01 10:00:05.25"]})
        out, conflicts = T.compress_by_second(df, "when")
        assert list(out.columns) == ["when", "x"]
        assert out["when"].dtype == "datetime64[ns]"
        assert (out["when"].dt.microsecond == 0).all()
        assert list(conflicts.columns) == ["_sec", "column"]

    @pytest.mark.parametrize("strategy", ["last", "first", "mode"])
    def test_empty_table(self, T, strategy):
        df = pd.DataFrame({"_time": pd.Series([], dtype=object), "x": pd.Series([], dtype=float)})
        got = T.compress_by_second(df, "_time", strategy)
        assert list(got[0].columns) == ["_time", "x"] and len(got[0]) == 0
        assert got[0]["_time"].dtype == "datetime64[ns]"
        assert_same_result(got, ref_compress(df, "_time", strategy))

    @pytest.mark.parametrize("flag", [False, 0, "", [], None])
    @pytest.mark.parametrize("strategy", ["last", "first", "concat"])
    def test_want_conflicts_false(self, T, flag, strategy):
        df = two_readings("b")
        got = T.compress_by_second(df, "_time", strategy, flag)
        assert got[1] is None
        assert_same_result(got, ref_compress(df, "_time", strategy, flag))

    def test_want_conflicts_truth_value_error(self, T):
        with pytest.raises(ValueError, match="truth value of an array"):
            T.compress_by_second(two_readings("b"), "_time", "last", np.array([1, 2]))

    def test_labels(self, T):
        df = pd.DataFrame({
            "_time": ["2024-01-01 10:00:00.1", "2024-01-01 10:00:00.6", "2024-01-01 10:00:01.2",
                      "2024-01-01 10:00:02.0"],
            "a": [1.0, 2.0, 3.0, 4.0],
            "b": [5.0, 5.0, 6.0, 7.0],
            "c": ["x", "x", "y", "z"],
        }, index=[10, 11, 12, 13])
        out, _ = T.compress_by_second(df, "_time", "last")
        assert out.index.tolist() == [11, 12, 13]
        assert list(out.columns) == ["_time", "a", "b", "c"]
        out, _ = T.compress_by_second(df, "_time", "first")
        assert out.index.tolist() == [10, 12, 13]
        out, conflicts = T.compress_by_second(df, "_time", "mode")
        assert list(out.columns) == ["_time", "b", "c", "a"]
        assert out.index.tolist() == [0, 1, 2]
        assert out["a"].tolist() == [2.0, 3.0, 4.0]
        assert conflicts["column"].tolist() == ["a"]

    def test_equal_stamps_keep_input_order(self, T):
        df = pd.DataFrame({"_time": ["2024-01-01 10:00:00"] * 4 + ["2024-01-01 09:00:00"],
                           "x": [1.0, 2.0, 3.0, np.nan, 9.0]},
                          index=[0, 1, 2, 3, 4])
        out, conflicts = T.compress_by_second(df, "_time", "last")
        assert out["x"].tolist() == [9.0, 3.0] and out.index.tolist() == [4, 3]
        out, _ = T.compress_by_second(df, "_time", "first")
        assert out["x"].tolist() == [9.0, 1.0] and out.index.tolist() == [4, 0]
        assert conflicts["column"].tolist() == ["x"]

    def test_conflicts_are_ordered_by_second_then_column(self, T):
        df = pd.DataFrame({
            "_time": ["2024-01-01 10:00:01", "2024-01-01 10:00:00", "2024-01-01 10:00:01",
                      "2024-01-01 10:00:00"],
            "b": [1.0, 1.0, 2.0, 2.0],
            "a": [1.0, 3.0, 1.0, 4.0],
            "c": [0.0, -0.0, 0.0, 0.0],  # 0 and -0.0 are one value
        })
        out, conflicts = T.compress_by_second(df, "_time")
        assert conflicts["_sec"].tolist() == [pd.Timestamp("2024-01-01 10:00:00")] * 2 + [
            pd.Timestamp("2024-01-01 10:00:01")]
        assert conflicts["column"].tolist() == ["b", "a", "b"]
        assert conflicts.index.tolist() == [0, 1, 2]
        assert_same_result((out, conflicts), ref_compress(df, "_time"))

    def test_input_not_modified(self, T):
        df = generate(days=0.008, seed=1, resent_fraction=0.05).rename(columns={"Time": "_time"})
        before = copy.deepcopy(df)
        for strategy in ("last", "first", "concat"):
            T.compress_by_second(df, "_time", strategy)
        assert_frame_equal(df, before)
        assert [type(x) for x in df["Status"]] == [type(x) for x in before["Status"]]

    def test_missing_time_column_raises_key_error(self, T):
        with pytest.raises(KeyError, match="when"):
            T.compress_by_second(two_readings("b"), "when")

    def test_unhashable_cells_raise_like_the_library(self, T):
        df = pd.DataFrame({"_time": ["2024-01-01 10:00:00"] * 2, "s": [[1], [2]]})
        with pytest.raises(TypeError, match="unhashable type: 'list'"):
            ref_compress(df, "_time")
        with pytest.raises(TypeError, match="unhashable type: 'list'"):
            T.compress_by_second(df, "_time")
        # Without the report nothing is hashed.
        out, conflicts = T.compress_by_second(df, "_time", "last", False)
        assert out["s"].tolist() == [[2]] and conflicts is None


class TestCompressArguments:
    def test_time_col_types(self, T):
        df = two_readings("b")
        for value, name in [(None, "NoneType"), (3, "int"), (b"_time", "bytes"),
                            (["_time"], "list")]:
            with pytest.raises(TypeError) as e:
                T.compress_by_second(df, value)
            assert str(e.value) == (f"Argument 'time_col' has incorrect type "
                                    f"(expected str, got {name})")

    def test_on_conflict_types(self, T):
        with pytest.raises(TypeError) as e:
            T.compress_by_second(two_readings("b"), "_time", None)
        assert str(e.value) == ("Argument 'on_conflict' has incorrect type "
                                "(expected str, got NoneType)")

    def test_str_subclass_refused_with_note(self, T):
        class Name(str):
            pass
        with pytest.raises(TypeError) as e:
            T.compress_by_second(two_readings("b"), Name("_time"))
        text = str(e.value)
        assert text.startswith("Argument 'time_col' has incorrect type (expected str, got Name)")
        assert len(text) > len("Argument 'time_col' has incorrect type (expected str, got Name)")

    def test_checked_before_any_work_time_col_first(self, T):
        with pytest.raises(TypeError, match="'time_col'"):
            T.compress_by_second(None, 1, 2)
        with pytest.raises(TypeError, match="'on_conflict'"):
            T.compress_by_second(None, "_time", 2)

    def test_binding(self, T):
        import inspect
        sig = inspect.signature(T.compress_by_second)
        assert list(sig.parameters) == ["df", "time_col", "on_conflict", "want_conflicts"]
        assert T.compress_by_second.__defaults__ == ("last", True)
        assert T.compress_by_second.__annotations__ == {
            "df": "pd.DataFrame", "time_col": "str", "on_conflict": "str",
            "want_conflicts": "bool"}
        with pytest.raises(TypeError):
            T.compress_by_second(two_readings("b"))
        with pytest.raises(TypeError):
            T.compress_by_second(two_readings("b"), "_time", "last", True, 1)
        with pytest.raises(TypeError, match="unexpected keyword argument 'strategy'"):
            T.compress_by_second(two_readings("b"), "_time", strategy="last")
        got = T.compress_by_second(df=two_readings("b"), time_col="_time",
                                   want_conflicts=False, on_conflict="first")
        assert got[0]["s"].tolist() == ["a"] and got[1] is None


# ---------------------------------------------------------------------------
# compress_by_second: the native road against the library road


def mixed_frame(n, seed, with_bad_times=True):
    """Random readings of every column kind the native road reads."""
    rng = np.random.default_rng(seed)
    base = pd.Timestamp("2024-03-01 08:00:00").value
    stamps = base + rng.integers(0, n // 3 + 1, n) * 1_000_000_000 \
        + rng.choice([0, 0, 250_000_000, 999_999_999], n)
    times = pd.Series(pd.to_datetime(stamps)).dt.strftime("%Y-%m-%d %H:%M:%S.%f").astype(object)
    if with_bad_times:
        bad = rng.random(n) < 0.05
        times[bad] = rng.choice(np.array(["", " ", "nope", None], dtype=object), bad.sum())
    f = rng.integers(0, 4, n).astype(float)
    f[rng.random(n) < 0.3] = np.nan
    f32 = rng.normal(size=n).astype(np.float32)
    f32[rng.random(n) < 0.2] = np.nan
    dt = pd.Series(pd.to_datetime(base + rng.integers(0, 3, n) * 10**9))
    dt[rng.random(n) < 0.3] = pd.NaT
    td = pd.Series(pd.to_timedelta(rng.integers(0, 3, n), unit="s"))
    td[rng.random(n) < 0.3] = pd.NaT
    text = rng.choice(np.array(["a", "b", "", "  ", None, np.nan, "a "], dtype=object), n)
    mixed = rng.choice(np.array([1, 1.0, True, "1", None, pd.NaT, float("inf"), (1, 2)],
                                dtype=object), n)
    df = pd.DataFrame({
        "f64": f, "i64": rng.integers(0, 3, n), "_time": times, "f32": f32,
        "i8": rng.integers(-2, 2, n).astype(np.int8),
        "u16": rng.integers(0, 2, n).astype(np.uint16),
        "u64": rng.integers(0, 2, n).astype(np.uint64),
        "i32": rng.integers(0, 2, n).astype(np.int32),
        "b": rng.random(n) < 0.5, "dt": dt, "td": td, "text": text, "mixed": mixed,
    })
    df.index = pd.Index(rng.permutation(n) * 3 + 100, name="rowid")
    return df


class TestCompressNativeAgainstLibrary:
    @pytest.mark.parametrize("seed", range(6))
    @pytest.mark.parametrize("strategy", ["last", "first"])
    @pytest.mark.parametrize("want", [True, False])
    def test_random_mixed_kinds(self, T, seed, strategy, want):
        df = mixed_frame(400, seed, with_bad_times=seed % 2 == 0)
        assert_same_result(T.compress_by_second(df, "_time", strategy, want),
                           ref_compress(df, "_time", strategy, want))

    @pytest.mark.parametrize("strategy", ["last", "first"])
    def test_generated_readings(self, T, strategy):
        raw = generate(days=1, seed=3, degrade_from_day=0)
        df = T.rename_columns(raw)
        got = T.compress_by_second(df, "_time", strategy)
        want = ref_compress(df, "_time", strategy)
        assert_same_result(got, want)
        # The readings do hold what the comparison is meant to exercise.
        assert len(want[1]) > 100 and want[1]["column"].nunique() > 50
        assert "Status" in set(want[1]["column"])
        assert pd.isna(got[0]["_time"].iloc[-1])

    def test_time_column_of_time_stamps(self, T):
        df = mixed_frame(300, 11)
        df["_time"] = pd.to_datetime(df["_time"], errors="coerce")
        assert_same_result(T.compress_by_second(df, "_time"), ref_compress(df, "_time"))
        df = df.dropna(subset=["_time"])
        got = T.compress_by_second(df, "_time", "first")
        assert got[0]["i64"].dtype == np.int64 and got[0]["b"].dtype == bool
        assert_same_result(got, ref_compress(df, "_time", "first"))

    def test_zone_aware_times_become_utc_seconds(self, T):
        df = pd.DataFrame({
            "t": pd.to_datetime(["2024-01-01 10:00:00.5", "2024-01-01 10:00:00.7",
                                 "2024-01-01 11:00:00"]).tz_localize("Asia/Taipei"),
            "x": [1.0, 2.0, 3.0]})
        got = T.compress_by_second(df, "t")
        assert got[0]["t"].tolist() == [pd.Timestamp("2024-01-01 02:00:00"),
                                        pd.Timestamp("2024-01-01 03:00:00")]
        assert_same_result(got, ref_compress(df, "t"))

    def test_mostly_ordered_large(self, T):
        raw = generate(days=0.25, seed=5, resent_fraction=0.05, out_of_order_fraction=0.05)
        df = T.rename_columns(raw)
        for strategy in ("last", "first"):
            assert_same_result(T.compress_by_second(df, "_time", strategy),
                               ref_compress(df, "_time", strategy))

    @pytest.mark.parametrize("case", ["duplicate_labels", "number_labels", "extension",
                                      "category", "sec_column", "header_name", "not_frame_sub",
                                      "only_time", "all_bad_times"])
    @pytest.mark.parametrize("strategy", ["last", "first", "mode"])
    def test_tables_the_native_road_leaves_to_the_library(self, T, case, strategy):
        df = mixed_frame(120, 21)[["_time", "f64", "i64", "text"]]
        if case == "duplicate_labels":
            df.columns = ["_time", "v", "v", "text"]
        elif case == "number_labels":
            df.columns = ["_time", 1, 2, 3]
        elif case == "extension":
            df["i64"] = df["i64"].astype("Int64")
            df.loc[df.index[::7], "i64"] = pd.NA
        elif case == "category":
            df["text"] = df["text"].astype("category")
        elif case == "sec_column":
            df["_sec"] = 1.0
        elif case == "header_name":
            df.columns.name = "hdr"
        elif case == "not_frame_sub":
            class Sub(pd.DataFrame):
                pass
            df = Sub(df)
        elif case == "only_time":
            df = df[["_time"]]
        elif case == "all_bad_times":
            df["_time"] = "nope"
        try:
            want = ref_compress(df, "_time", strategy)
        except Exception as e:  # the library itself refuses some of them
            with pytest.raises(type(e)):
                T.compress_by_second(df, "_time", strategy)
            return
        assert_same_result(T.compress_by_second(df, "_time", strategy), want)


class TestCompressUnusualInputs:
    @pytest.mark.parametrize("index_kind", ["dates_with_freq", "text", "multi", "range"])
    @pytest.mark.parametrize("strategy", ["last", "first"])
    def test_row_index_kinds(self, T, index_kind, strategy):
        df = mixed_frame(60, 5)[["_time", "f64", "text", "i64"]]
        n = len(df)
        if index_kind == "dates_with_freq":
            df.index = pd.date_range("2020-01-01", periods=n, freq="D", name="day")
        elif index_kind == "text":
            df.index = [f"r{i}" for i in range(n)]
        elif index_kind == "multi":
            df.index = pd.MultiIndex.from_arrays([np.arange(n) % 3, np.arange(n)],
                                                 names=["a", "b"])
        else:
            df = df.reset_index(drop=True)
        assert_same_result(T.compress_by_second(df, "_time", strategy),
                           ref_compress(df, "_time", strategy))

    def test_other_byte_order(self, T):
        n = 50
        rng = np.random.default_rng(2)
        df = pd.DataFrame({
            "_time": pd.date_range("2024-01-01", periods=n, freq="300ms"),
            "big": rng.normal(size=n).astype(">f8"),
            "small": rng.integers(0, 3, n).astype(">i4"),
        })
        assert df["big"].dtype.byteorder == ">"
        # The library's own sort refuses such buffers; the native road must
        # not read them as native numbers either.
        with pytest.raises(ValueError, match="Big-endian buffer not supported"):
            ref_compress(df, "_time")
        with pytest.raises(ValueError, match="Big-endian buffer not supported"):
            T.compress_by_second(df, "_time")
        df["big"] = df["big"].astype("<f8")
        df["small"] = df["small"].astype("<i4")
        assert_same_result(T.compress_by_second(df, "_time"), ref_compress(df, "_time"))

    def test_cells_whose_text_is_blank(self, T):
        class Blank:
            def __str__(self):
                return " \u3000"  # ideographic space counts as white space
        df = pd.DataFrame({"_time": ["2024-01-01 10:00:00.1", "2024-01-01 10:00:00.2"],
                           "o": ["x", Blank()]})
        for strategy in ("last", "first"):
            got = T.compress_by_second(df, "_time", strategy)
            assert got[0]["o"].tolist() == ["x"] and len(got[1]) == 0
            assert_same_result(got, ref_compress(df, "_time", strategy))

    def test_equality_that_rewrites_the_table_does_not_crash(self, T):
        frames = []

        class Sneaky:
            def __init__(self, v):
                self.v = v

            def __hash__(self):
                return 1

            def __eq__(self, other):
                # Replaces every cell of the column while it is being compared.
                for f in frames:
                    f.loc[:, "o"] = [object() for _ in range(len(f))]
                return isinstance(other, Sneaky) and other.v == self.v

        df = pd.DataFrame({"_time": ["2024-01-01 10:00:00.1"] * 3 + ["2024-01-01 10:00:01"],
                           "o": [Sneaky(1), Sneaky(2), Sneaky(1), Sneaky(3)]})
        frames.append(df)
        out, conflicts = T.compress_by_second(df, "_time")
        assert len(out) == 2 and conflicts["column"].tolist() == ["o"]

    def test_equality_errors_propagate(self, T):
        class Angry:
            def __hash__(self):
                return 7

            def __eq__(self, other):
                raise RuntimeError("no comparing")

        df = pd.DataFrame({"_time": ["2024-01-01 10:00:00.1"] * 2, "o": [Angry(), Angry()]})
        with pytest.raises(RuntimeError, match="no comparing"):
            T.compress_by_second(df, "_time")
        out, conflicts = T.compress_by_second(df, "_time", "first", False)
        assert len(out) == 1 and conflicts is None

    def test_table_without_the_block_interface(self, T, monkeypatch):
        # Without the library's block-manager interface the result table is
        # built the ordinary way, with the same content.
        import sys
        df = mixed_frame(200, 8)
        fast = T.compress_by_second(df, "_time")
        monkeypatch.setitem(sys.modules, "pandas.core.internals.api", None)
        plain = T.compress_by_second(df, "_time")
        # One block per column kind there, one per column (plus the float one) here.
        assert plain[0]._mgr.nblocks < fast[0]._mgr.nblocks
        assert_same_result(plain, fast)
        assert_same_result(plain, ref_compress(df, "_time"))

    def test_result_table_behaves_like_any_other(self, T):
        df = T.rename_columns(generate(days=0.01, seed=2))
        out = T.compress_by_second(df, "_time")[0]
        back = pickle.loads(pickle.dumps(out))
        assert_same_frame(back, out)
        num = out.select_dtypes(include="number").columns.tolist()
        prepared = out[["_time"] + num].dropna(subset=["_time"]).set_index("_time")
        assert prepared.shape[1] == 59 and prepared.index.is_monotonic_increasing
        out["X_Overall"] = 0.0
        assert (out["X_Overall"] == 0).all() and out["Y_Overall"].gt(0).any()
        assert_frame_equal(out.copy(), out)

    def test_labels_and_texts_that_are_not_valid_utf8(self, T):
        df = pd.DataFrame({"_time": ["2024-01-01 10:00:00.1", "2024-01-01 10:00:00.2"],
                           "\udcff": [1.0, 2.0], "s": ["\ud800", "x"]})
        for strategy in ("last", "first", "\udcff"):
            assert_same_result(T.compress_by_second(df, "_time", strategy),
                               ref_compress(df, "_time", strategy))
        df = df.rename(columns={"_time": "\udc80"})
        assert_same_result(T.compress_by_second(df, "\udc80"), ref_compress(df, "\udc80"))

    def test_equal_values_of_different_types_are_one_value(self, T):
        df = pd.DataFrame({"_time": ["2024-01-01 10:00:00.1"] * 3 + ["2024-01-01 10:00:02"] * 2,
                           "o": [1, 1.0, True, "1", 1]})
        got = T.compress_by_second(df, "_time")
        assert got[1]["_sec"].tolist() == [pd.Timestamp("2024-01-01 10:00:02")]
        assert_same_result(got, ref_compress(df, "_time"))

    @pytest.mark.parametrize("strategy", ["last", "first", "mode"])
    def test_earliest_instants_raise_instead_of_wrapping(self, T, strategy):
        # Cut to its second, the earliest representable instant lies before
        # the range; the plain cast wraps it to 2262 and misplaces the row.
        df = pd.DataFrame({"t": [pd.Timestamp.min, pd.Timestamp("2000-01-01")], "x": [1.0, 2.0]})
        wrapped = ref_compress(df, "t")[0]
        assert wrapped["t"].iloc[0].year == 2262
        with pytest.raises(pd.errors.OutOfBoundsDatetime,
                           match="Out of bounds nanosecond timestamp: 1677-09-21 00:12:43"):
            T.compress_by_second(df, "t", strategy)
        df = pd.DataFrame({"t": [pd.Timestamp("1677-09-21 00:12:44.5"), pd.Timestamp.max,
                                 pd.Timestamp("1677-09-21 00:12:44")],
                           "x": [1.0, 2.0, 3.0]})
        # The plain cast sends 00:12:44 to 2262 and merges it with the last row.
        assert ref_compress(df, "t")[1]["_sec"].tolist() == [pd.Timestamp("2262-04-11 23:47:16")]
        out, conflicts = T.compress_by_second(df, "t", strategy)
        assert out["t"].tolist() == [pd.Timestamp("1677-09-21 00:12:44"),
                                     pd.Timestamp("2262-04-11 23:47:16")]
        # Readings 3.0 (at :44.0) then 1.0 (at :44.5); "mode" takes the larger.
        assert out["x"].tolist() == ([1.0 if strategy == "last" else 3.0, 2.0])
        assert conflicts.to_dict("list") == {"_sec": [pd.Timestamp("1677-09-21 00:12:44")],
                                             "column": ["x"]}


class TestCompressOtherStrategies:
    @pytest.mark.parametrize("strategy", ["mode", "concat", "nan", "other"])
    @pytest.mark.parametrize("want", [True, False])
    def test_random_mixed_kinds(self, T, strategy, want):
        df = mixed_frame(300, 7)[["_time", "f64", "i64", "text", "b", "dt"]]
        assert_same_result(T.compress_by_second(df, "_time", strategy, want),
                           ref_compress(df, "_time", strategy, want))

    def test_concat_makes_text_and_mode_prefers_largest(self, T):
        df = pd.DataFrame({"_time": ["2024-01-01 10:00:00.1", "2024-01-01 10:00:00.2",
                                     "2024-01-01 10:00:00.3", "2024-01-01 10:00:00.4"],
                           "x": [2.0, 1.0, 1.0, 2.0], "y": [5.0, 5.0, 5.0, np.nan]})
        out, _ = T.compress_by_second(df, "_time", "mode")
        assert out["x"].tolist() == [2.0] and list(out.columns) == ["_time", "y", "x"]
        out, _ = T.compress_by_second(df, "_time", "concat")
        assert out["x"].tolist() == ["2.0|1.0"]
        assert out["y"].tolist() == [5.0]

    def test_generated_readings(self, T):
        df = T.rename_columns(generate(days=0.004, seed=9, resent_fraction=0.05,
                                       bad_time_fraction=0.01))
        for strategy in ("mode", "concat"):
            assert_same_result(T.compress_by_second(df, "_time", strategy),
                               ref_compress(df, "_time", strategy))


# ---------------------------------------------------------------------------
# safe_resample_max / safe_resample_mean


def ref_chunked_mean(df, names, time_scale, chunk_size=50000):
    if isinstance(names, str):
        names = [names]
    total_sum = total_count = None
    for start in range(0, len(df), chunk_size):
        chunk = df.iloc[start:start + chunk_size]
        m = chunk[names].resample(time_scale).mean()
        c = chunk[names].resample(time_scale).count()
        if total_sum is None:
            total_sum, total_count = m * c, c
        else:
            total_sum = total_sum.add(m * c, fill_value=0)
            total_count = total_count.add(c, fill_value=0)
    return total_sum / total_count


def per_second(n, seed=0, start="2024-01-01 00:00:00", cols=("a", "b")):
    rng = np.random.default_rng(seed)
    idx = pd.date_range(start, periods=n, freq="s", name="_time")
    df = pd.DataFrame({c: rng.normal(10, 3, n) for c in cols}, index=idx)
    for c in cols:
        df.loc[rng.random(n) < 0.05, c] = np.nan
    return df


class TestResampling:
    def split_bucket(self):
        idx = pd.to_datetime(["2024-01-01 09:59:30", "2024-01-01 10:00:10",
                              "2024-01-01 10:00:20", "2024-01-01 10:00:40"])
        return pd.DataFrame({"v": [7.0, 1.0, 2.0, 3.0]}, index=idx)

    def test_bucket_split_between_chunks(self, T):
        df = self.split_bucket()
        mx = T.safe_resample_max(df, ["v"], "min", 3)
        mean = T.safe_resample_mean(df, ["v"], "min", 3)
        assert mx.loc["2024-01-01 10:00", "v"] == 3.0
        assert mean.loc["2024-01-01 10:00", "v"] == 2.0  # not (1.5 + 3) / 2
        assert mean.loc["2024-01-01 09:59", "v"] == 7.0
        assert mx.index.tolist() == mean.index.tolist() == [
            pd.Timestamp("2024-01-01 09:59"), pd.Timestamp("2024-01-01 10:00")]

    def test_every_chunk_size_gives_the_unchunked_result(self, T):
        df = per_second(400, seed=1)
        df = df.iloc[np.r_[0:150, 230:400]]  # a gap of empty minutes
        whole_max = df[["a", "b"]].resample("min").max()
        whole_mean = df[["a", "b"]].resample("min").mean()
        for size in list(range(1, 40)) + [59, 60, 61, 119, 320, 321, 1000]:
            assert_frame_equal(T.safe_resample_max(df, ["a", "b"], "min", size), whole_max,
                               check_freq=False)
            got = T.safe_resample_mean(df, ["a", "b"], "min", size)
            assert_frame_equal(got, ref_chunked_mean(df, ["a", "b"], "min", size),
                               check_exact=True, check_freq=False)
            assert_frame_equal(got, whole_mean, check_freq=False, rtol=1e-12)

    def test_hours_across_default_chunks(self, T):
        df = per_second(3 * 50000 + 1234, seed=2)
        got_max = T.safe_resample_max(df, ["a", "b"], "h")
        got_mean = T.safe_resample_mean(df, ["a", "b"], "h")
        assert_frame_equal(got_max, df.resample("h").max(), check_freq=False)
        assert_frame_equal(got_mean, ref_chunked_mean(df, ["a", "b"], "h"), check_exact=True,
                           check_freq=False)
        assert_frame_equal(got_mean, df.resample("h").mean(), check_freq=False, rtol=1e-12)
        assert got_max.index.name == got_mean.index.name == "_time"

    def test_chunk_larger_than_table_is_one_resample(self, T):
        df = per_second(500, seed=3)
        assert_frame_equal(T.safe_resample_max(df, ["a"], "min", 10**6),
                           df[["a"]].resample("min").max(), check_freq=False)
        r = df[["a"]].resample("min")
        assert_frame_equal(T.safe_resample_mean(df, ["a"], "min", 10**6),
                           r.mean() * r.count() / r.count(), check_exact=True, check_freq=False)

    def test_bucket_missing_everywhere(self, T):
        df = per_second(180, seed=4)
        df.iloc[60:120, 0] = np.nan
        mx = T.safe_resample_max(df, ["a", "b"], "min", 50)
        mean = T.safe_resample_mean(df, ["a", "b"], "min", 50)
        assert len(mx) == len(mean) == 3
        assert np.isnan(mx["a"].iloc[1]) and np.isnan(mean["a"].iloc[1])
        assert not np.isnan(mx["b"].iloc[1]) and not np.isnan(mean["b"].iloc[1])

    def test_single_name_shapes(self, T):
        df = per_second(200, seed=5)
        mx = T.safe_resample_max(df, "a", "min")
        mean = T.safe_resample_mean(df, "a", "min")
        assert isinstance(mx, pd.Series) and mx.name == "a"
        assert isinstance(mean, pd.DataFrame) and list(mean.columns) == ["a"]
        assert_series_equal(mx, df["a"].resample("min").max(), check_freq=False)

    def test_mean_needs_datetime_index(self, T):
        df = per_second(10).reset_index(drop=True)
        with pytest.raises(ValueError) as e:
            T.safe_resample_mean(df, ["a"], "min")
        assert str(e.value) == "df.index 必須是 DatetimeIndex"
        with pytest.raises(TypeError):
            T.safe_resample_max(df, ["a"], "min")

    def test_failures_of_the_library(self, T):
        df = per_second(10)
        with pytest.raises(KeyError):
            T.safe_resample_max(df, ["zz"], "min")
        with pytest.raises(KeyError):
            T.safe_resample_mean(df, ["zz"], "min")
        empty = df.iloc[:0]
        with pytest.raises(ValueError, match="No objects to concatenate"):
            T.safe_resample_max(empty, ["a"], "min")
        with pytest.raises(TypeError, match="NoneType"):
            T.safe_resample_mean(empty, ["a"], "min")
        with pytest.raises(ValueError, match="must not be zero"):
            T.safe_resample_max(df, ["a"], "min", 0)
        with pytest.raises(ValueError, match="must not be zero"):
            T.safe_resample_mean(df, ["a"], "min", 0)
        with pytest.raises(ValueError, match="No objects to concatenate"):
            T.safe_resample_max(df, ["a"], "min", -5)
        with pytest.raises(TypeError, match="NoneType"):
            T.safe_resample_mean(df, ["a"], "min", -5)

    def test_input_not_modified_and_defaults(self, T):
        df = per_second(300, seed=6)
        before = df.copy()
        T.safe_resample_max(df, ["a", "b"], "min", 7)
        T.safe_resample_mean(df, ["a", "b"], "min", 7)
        assert_frame_equal(df, before)
        assert T.safe_resample_max.__defaults__ == (50000,)
        assert T.safe_resample_mean.__defaults__ == (50000,)
        got = T.safe_resample_mean(df=df, indicator_name="a", time_scale="min", chunk_size=11)
        assert_frame_equal(got, ref_chunked_mean(df, "a", "min", 11), check_exact=True)

    def test_pickles_by_reference(self, T):
        assert pickle.loads(pickle.dumps(T.compress_by_second)) is T.compress_by_second


# ---------------------------------------------------------------------------
# The sample-readings generator the tests and benchmarks rely on


class TestSampleReadings:
    def test_deterministic_by_seed(self):
        a, b = generate(days=0.05, seed=4), generate(days=0.05, seed=4)
        assert_frame_equal(a, b)
        assert not a.equals(generate(days=0.05, seed=5))

    def test_raw_export_shape(self, T):
        df = generate(days=1, seed=0)
        assert list(df.columns) == RAW_COLUMNS + ["Status"] and len(RAW_COLUMNS) == 60
        assert df["Time"].dtype == object and df["Status"].dtype == object
        assert (df.dtypes.iloc[1:60] == np.float64).all()
        assert list(T.rename_columns(df.copy()).columns)[:2] == ["_time", "RPM"]
        times = pd.to_datetime(df["Time"], errors="coerce")
        parsed = times.dropna()
        # Re-sent readings, rows out of order, blank and unparsable times.
        assert parsed.duplicated().sum() > 100
        assert (parsed.diff() < pd.Timedelta(0)).sum() > 10
        assert df["Time"].isin(["", "  "]).sum() > 0 and times.isna().sum() > df["Time"].isin(
            ["", "  "]).sum()
        # Sub-second stamps fall into an already present second.
        assert (parsed.dt.microsecond > 0).sum() > 10
        # Gaps and a downtime period.
        steps = parsed.sort_values().diff().dt.total_seconds()
        assert steps.max() >= 300
        assert (df["RPM"] == 0).sum() >= 2 * 3600
        assert df.iloc[:, 1:60].isna().sum().sum() > 1000
        assert set(df["Status"].dropna()) >= {"RUN", "STOP", " "}
        assert df["Status"].isna().any()

    def test_degradation_rises(self):
        healthy = generate(days=4, seed=1, downtime=False)
        worn = generate(days=4, seed=1, degrade_from_day=2, downtime=False)
        for df in (healthy, worn):
            df["day"] = pd.to_datetime(df["Time"], errors="coerce").dt.day
        for col, factor in [("X-Overall", 1.3), ("X-Crest Factor", 1.1),
                            ("X-Power in Band 10", 1.5), ("Bearing", 2.0)]:
            h = healthy.groupby("day")[col].median()
            w = worn.groupby("day")[col].median()
            assert w.iloc[0] == pytest.approx(h.iloc[0], rel=0.05)   # before the start day
            assert w.iloc[-1] > factor * h.iloc[-1]                  # at the end
        low = worn.groupby("day")["X-Power in Band 01"].median()
        assert low.iloc[-1] < 1.1 * low.iloc[0]                      # low bands stay put

    def test_command_line_writes_csv(self, tmp_path):
        from examples.sample_readings import main
        out = tmp_path / "r.csv"
        main(["--days", "0.01", "--seed", "3", "-o", str(out)])
        back = pd.read_csv(out, keep_default_na=False, na_values=[""])
        assert list(back.columns) == RAW_COLUMNS + ["Status"]
        assert len(back) == len(generate(days=0.01, seed=3))
