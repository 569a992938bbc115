"""Time-bucketed feature tables."""
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_frame_equal

from examples.sample_readings import generate

AXES = "XYZ"
TIME = ([f"{a}_Overall" for a in AXES] + [f"{a}_Peak" for a in AXES]
        + [f"{a}_Peak_to_Peak" for a in AXES] + [f"{a}_Crest_Factor" for a in AXES])
FREQ = [f"{a}_Power_in_Band_{b:02d}" for a in AXES for b in range(1, 11)]
FAIL = ["Bearing", "Looseness", "Misalignment", "Imbalance", "Gear_mesh", "Van_Pass"]


def record(time=(), frequency=(), fail_mode=()):
    return SimpleNamespace(time=list(time), frequency=list(frequency), fail_mode=list(fail_mode))


def ref_features(df, rec, time_scale, chunk_size=50000):
    """The feature table with pandas: chunked maximum and count-weighted
    chunked mean, whole-table standard deviation, outer join, no missing."""
    names = rec.time + rec.frequency + rec.fail_mode
    parts = [df.iloc[s:s + chunk_size][names].resample(time_scale).max()
             for s in range(0, len(df), chunk_size)]
    mx = pd.concat(parts).groupby(level=0).max()
    total = count = None
    for s in range(0, len(df), chunk_size):
        chunk = df.iloc[s:s + chunk_size][names]
        m, c = chunk.resample(time_scale).mean(), chunk.resample(time_scale).count()
        total = m * c if total is None else total.add(m * c, fill_value=0)
        count = c if count is None else count.add(c, fill_value=0)
    mean = total / count
    std = df[rec.time].resample(time_scale).std()
    mx.columns = [c + "_max" for c in names]
    mean.columns = [c + "_mean" for c in names]
    std.columns = [c + "_std" for c in rec.time]
    return pd.concat([mx, mean, std], axis=1).dropna(axis="index", how="any")


def small_readings():
    idx = pd.DatetimeIndex(pd.to_datetime(["2024-01-01 10:00:00", "2024-01-01 10:00:30",
                                           "2024-01-01 10:01:10"]), name="_time")
    return pd.DataFrame({"X_Overall": [1.0, 3.0, 5.0], "X_Power_in_Band_01": [0.1, 0.2, 0.3],
                         "Bearing": [2.0, 4.0, 6.0]}, index=idx)


def prepared(T, days=1, seed=0):
    """Generated readings through renaming, per-second compression, numeric
    selection and time indexing, as the pipelines prepare them."""
    df = T.rename_columns(generate(days=days, seed=seed, degrade_from_day=0))
    df = T.compress_by_second(df, "_time")[0]
    num = df.select_dtypes(include="number").columns.tolist()
    df = df[["_time"] + num].dropna(subset=["_time"]).set_index("_time")
    return df.loc[:, [c for c in df.columns if "percentage" not in c.lower()
                      and "qc" not in c.lower()]]


class TestFeatureExtraction:
    def test_column_order(self, T):
        rec = record(["X_Overall"], ["X_Power_in_Band_01"], ["Bearing"])
        out, rec_out = T.feature_extraction(small_readings(), rec, "min")
        assert list(out.columns) == ["X_Overall_max", "X_Power_in_Band_01_max", "Bearing_max",
                                     "X_Overall_mean", "X_Power_in_Band_01_mean",
                                     "Bearing_mean", "X_Overall_std"]
        assert rec_out is rec
        assert rec.time == ["X_Overall"] and rec.frequency == ["X_Power_in_Band_01"]

    def test_single_reading_bucket_dropped(self, T):
        rec = record(["X_Overall"], ["X_Power_in_Band_01"], ["Bearing"])
        out, _ = T.feature_extraction(small_readings(), rec, "min")
        assert out.index.tolist() == [pd.Timestamp("2024-01-01 10:00")]
        assert out.index.name == "_time"
        row = out.iloc[0]
        assert row["X_Overall_max"] == 3.0 and row["X_Overall_mean"] == 2.0
        assert row["Bearing_max"] == 4.0 and row["Bearing_mean"] == 3.0
        assert row["X_Overall_std"] == pytest.approx(np.std([1.0, 3.0], ddof=1))

    def test_empty_time_family_keeps_single_reading_buckets(self, T):
        rec = record([], ["X_Power_in_Band_01"], ["Bearing"])
        out, _ = T.feature_extraction(small_readings(), rec, "min")
        assert list(out.columns) == ["X_Power_in_Band_01_max", "Bearing_max",
                                     "X_Power_in_Band_01_mean", "Bearing_mean"]
        assert out.index.tolist() == [pd.Timestamp("2024-01-01 10:00"),
                                      pd.Timestamp("2024-01-01 10:01")]
        assert out["Bearing_mean"].tolist() == [3.0, 6.0]

    def test_bucket_edges_and_gaps(self, T):
        idx = pd.DatetimeIndex(pd.to_datetime(
            ["2024-01-01 10:00:10", "2024-01-01 10:00:59", "2024-01-01 10:01:00",
             "2024-01-01 10:01:30", "2024-01-01 12:05:00", "2024-01-01 12:05:01"]), name="_time")
        df = pd.DataFrame({"X_Overall": [1.0, 2.0, 10.0, 20.0, 5.0, 7.0]}, index=idx)
        out, _ = T.feature_extraction(df, record(["X_Overall"]), "min")
        # 10:01:00 opens its own bucket; the two-hour gap leaves no rows.
        assert out.index.tolist() == [pd.Timestamp("2024-01-01 10:00"),
                                      pd.Timestamp("2024-01-01 10:01"),
                                      pd.Timestamp("2024-01-01 12:05")]
        assert out["X_Overall_max"].tolist() == [2.0, 20.0, 7.0]
        out_h, _ = T.feature_extraction(df, record(["X_Overall"]), "h")
        assert out_h.index.tolist() == [pd.Timestamp("2024-01-01 10:00"),
                                        pd.Timestamp("2024-01-01 12:00")]

    def test_bucket_with_a_column_missing_is_dropped(self, T):
        df = small_readings()
        df.iloc[0:2, 2] = np.nan
        out, _ = T.feature_extraction(df, record([], ["X_Power_in_Band_01"], ["Bearing"]), "min")
        assert out.index.tolist() == [pd.Timestamp("2024-01-01 10:01")]

    @pytest.mark.parametrize("time_scale", ["min", "h"])
    def test_generated_readings_against_pandas(self, T, time_scale):
        df = prepared(T)
        rec = record(TIME, FREQ, FAIL)
        before = df.copy()
        out, _ = T.feature_extraction(df, rec, time_scale)
        assert out.shape[1] == 108
        assert_frame_equal(out, ref_features(df, rec, time_scale), check_exact=True)
        assert_frame_equal(df, before)
        assert out.index.name == "_time" and not out.isna().any().any()
        assert len(out) > (20 if time_scale == "h" else 1000)
        # The chunked mean is the mean of every reading of the bucket.
        plain = df[TIME].resample(time_scale).mean().reindex(out.index)
        np.testing.assert_allclose(out[[c + "_mean" for c in TIME]].to_numpy(),
                                   plain.to_numpy(), rtol=1e-12)

    def test_frequency_family_only(self, T):
        df = prepared(T)
        rec = record([], FREQ, [])
        out, _ = T.feature_extraction(df, rec, "h")
        assert out.shape[1] == 60
        assert_frame_equal(out, ref_features(df, rec, "h"), check_exact=True)

    def test_late_bound_resampling(self, T, monkeypatch):
        calls = []
        real = T.safe_resample_max

        def spy(*args):
            calls.append(len(args))
            return real(*args)
        monkeypatch.setattr(T, "safe_resample_max", spy)
        T.feature_extraction(small_readings(), record(["X_Overall"]), "min")
        assert calls == [3]

    def test_failures(self, T):
        with pytest.raises(KeyError):
            T.feature_extraction(small_readings(), record(["Y_Overall"]), "min")
        df = small_readings().reset_index(drop=True)
        with pytest.raises(TypeError):
            T.feature_extraction(df, record(["X_Overall"]), "min")
        with pytest.raises(ValueError, match="No objects to concatenate"):
            T.feature_extraction(small_readings().iloc[:0], record(["X_Overall"]), "min")
        with pytest.raises(TypeError):
            T.feature_extraction(small_readings(), record(["X_Overall"]))
