"""Preparation steps on a week of one-second readings (~600,000 rows x 60
columns, renamed to canonical names) against the pandas expressions they
stand for, in this process on the same data."""
import numpy as np
import pandas as pd

import algo.Talvo.Talvo as T
from examples.sample_readings import cached

DAYS = 7


def pandas_compress(df, time_col, on_conflict="last", want_conflicts=True):
    """One row per second with grouped table operations ("last"/"first")."""
    df = df.copy()
    for c in df.select_dtypes(include="object").columns:
        s = df[c].astype(str)
        df[c] = df[c].mask(s.str.fullmatch(r"\s*"))
    df[time_col] = pd.to_datetime(df[time_col], errors="coerce")
    df = df.sort_values(time_col, kind="stable")
    df["_sec"] = df[time_col].values.astype("datetime64[s]")
    feature_cols = [c for c in df.columns if c not in (time_col, "_sec")]
    g = df.groupby("_sec", sort=False)[feature_cols]
    if on_conflict == "last":
        df[feature_cols] = g.ffill()
    else:
        df[feature_cols] = g.bfill()
    out = df.drop_duplicates("_sec", keep=on_conflict)[["_sec"] + feature_cols]
    out = out.rename(columns={"_sec": time_col})
    conflicts = None
    if want_conflicts:
        marks = df.groupby("_sec")[feature_cols].nunique(dropna=True).gt(1).stack()
        conflicts = (marks.loc[lambda s: s].reset_index()
                     .rename(columns={"level_1": "column", 0: "conflict"})
                     .drop(columns="conflict"))
    return out, conflicts


def pandas_resample_max(df, names, time_scale, chunk_size=50000):
    parts = [df.iloc[s:s + chunk_size][names].resample(time_scale).max()
             for s in range(0, len(df), chunk_size)]
    return pd.concat(parts).groupby(level=0).max()


def pandas_resample_mean(df, names, time_scale, chunk_size=50000):
    total = count = None
    for s in range(0, len(df), chunk_size):
        chunk = df.iloc[s:s + chunk_size]
        m = chunk[names].resample(time_scale).mean()
        c = chunk[names].resample(time_scale).count()
        total = m * c if total is None else total.add(m * c, fill_value=0)
        count = c if count is None else count.add(c, fill_value=0)
    return total / count


def pandas_features(df, rec, time_scale):
    names = rec.time + rec.frequency + rec.fail_mode
    mx = pandas_resample_max(df, names, time_scale)
    mx.columns = [c + "_max" for c in names]
    mean = pandas_resample_mean(df, names, time_scale)
    mean.columns = [c + "_mean" for c in names]
    std = df[rec.time].resample(time_scale).std()
    std.columns = [c + "_std" for c in rec.time]
    return pd.concat([mx, mean, std], axis=1).dropna(axis="index", how="any"), rec


def families(columns):
    from types import SimpleNamespace
    time = [c for c in columns if any(k in c for k in ("Overall", "Peak", "Crest"))]
    freq = [c for c in columns if "Band" in c and c not in time]
    fail = [c for c in columns if any(k in c for k in ("Bearing", "Looseness", "Misalignment",
                                                       "Imbalance", "Gear", "Van"))
            and c not in time and c not in freq]
    return SimpleNamespace(time=time, frequency=freq, fail_mode=fail)


def run(ctx):
    raw = cached(days=DAYS, seed=0, degrade_from_day=5)
    df = T.rename_columns(raw.copy())
    ctx.record("readings (raw, renamed)", rows=len(df), columns=df.shape[1],
               duplicate_stamps=int(df["_time"].duplicated().sum()))

    # Same output first: a benchmark of a wrong result means nothing.
    for strategy in ("last", "first"):
        got, want = T.compress_by_second(df, "_time", strategy), pandas_compress(df, "_time",
                                                                               strategy)
        pd.testing.assert_frame_equal(got[0], want[0], check_exact=True)
        pd.testing.assert_frame_equal(got[1], want[1], check_exact=True)

    ctx.measure("compress_by_second(df, '_time')", lambda: T.compress_by_second(df, "_time"),
                lambda: pandas_compress(df, "_time"), target=("ratio", 10))
    ctx.measure("compress_by_second(df, '_time', 'first')",
                lambda: T.compress_by_second(df, "_time", "first"),
                lambda: pandas_compress(df, "_time", "first"), target=("ratio", 10))
    ctx.measure("compress_by_second(..., want_conflicts=False)",
                lambda: T.compress_by_second(df, "_time", "last", False),
                lambda: pandas_compress(df, "_time", "last", False))
    shuffled = df.sample(frac=1.0, random_state=0)
    ctx.measure("compress_by_second(df, '_time'), rows fully shuffled",
                lambda: T.compress_by_second(shuffled, "_time"),
                lambda: pandas_compress(shuffled, "_time"), target=("ratio", 10))

    # Prepared readings: one row per second, numeric columns, indexed by time.
    out = T.compress_by_second(df, "_time")[0]
    num = out.select_dtypes(include="number").columns.tolist()
    prep = out[["_time"] + num].dropna(subset=["_time"]).set_index("_time")
    prep = prep.loc[:, [c for c in prep.columns
                        if "percentage" not in c.lower() and "qc" not in c.lower()]]
    rec = families(prep.columns)
    names = rec.time + rec.frequency + rec.fail_mode
    ctx.record("prepared readings", rows=len(prep), columns=prep.shape[1],
               indicators=len(names))
    for ts in ("min", "h"):
        ctx.measure(f"safe_resample_max(prep, {len(names)} names, '{ts}')",
                    lambda: T.safe_resample_max(prep, names, ts),
                    lambda: pandas_resample_max(prep, names, ts),
                    note="chunked library calls on both sides")
        ctx.measure(f"safe_resample_mean(prep, {len(names)} names, '{ts}')",
                    lambda: T.safe_resample_mean(prep, names, ts),
                    lambda: pandas_resample_mean(prep, names, ts),
                    note="chunked library calls on both sides")
        ctx.measure(f"  unchunked resample(...).max()+mean() '{ts}' (for scale)",
                    lambda: (prep[names].resample(ts).max(), prep[names].resample(ts).mean()),
                    repeat=3)
        ctx.measure(f"feature_extraction(prep, record, '{ts}')",
                    lambda: T.feature_extraction(prep, rec, ts),
                    lambda: pandas_features(prep, rec, ts),
                    note="library calls on both sides")
