"""Rolling-window features: native kernel against the per-window pandas loop.

One million one-per-second readings of 60 indicator columns (12 time-domain,
42 band, 6 failure-mode; 0.1 % missing cells). The pandas road is the loop
the function replaces: slice each window by position and reduce it with
DataFrame.max/mean/std. It runs in full once per setting; the outputs of both
roads are compared to a relative 1e-12 after timing. The same readings as
float32, int64 and nullable Float64 columns are timed against the float64
ones (and checked against the loop on their first 20,000 rows).
"""
import types

import numpy as np
import pandas as pd

import algo.Talvo.Talvo as T
from reading_types import with_reading_type

N_ROWS = 1_000_000


def readings(n=N_ROWS, seed=0):
    rng = np.random.default_rng(seed)
    cols = ([f"{a}_{k}" for a in "XYZ" for k in ("Overall", "Peak", "Peak_to_Peak",
                                                  "Crest_Factor")]
            + [f"{a}_Power_in_Band_{i:02d}" for a in "XYZ" for i in range(1, 15)]
            + ["Bearing", "Looseness", "Misalignment", "Imbalance", "Gear_mesh", "Van_Pass"])
    values = np.abs(rng.normal(2.0, 1.0, size=(n, len(cols))))
    values[rng.random(values.shape) < 0.001] = np.nan
    index = pd.date_range("2024-01-01", periods=n, freq="s", name="_time")
    df = pd.DataFrame(values, index=index, columns=cols)
    rec = types.SimpleNamespace(time=cols[:12], frequency=cols[12:54], fail_mode=cols[54:])
    return df, rec


def pandas_windows(df, rec, window, step):
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


def run(ctx):
    df, rec = readings()
    for window, step in [(120, 60), (3600, 1800)]:
        out = {}

        def ours():
            out["ours"] = T.feature_extraction_rolling(df, rec, window, step)[0]

        def baseline():
            out["pandas"] = pandas_windows(df, rec, window, step)

        ctx.measure(f"feature_extraction_rolling 1e6x60 w={window} s={step}", ours, baseline,
                    baseline_repeat=1, target=("ratio", 20) if window == 120 else None,
                    note="pandas loop run in full once")
        pd.testing.assert_frame_equal(out["ours"], out["pandas"], check_exact=False,
                                      rtol=1e-12, atol=0)
        ctx.record(f"feature_extraction_rolling w={window} values", windows=len(out["ours"]),
                   max_abs_rel_diff=float(np.nanmax(np.abs(
                       out["ours"].to_numpy() / out["pandas"].to_numpy() - 1))))

    for dtype in ("float32", "int64", "Float64"):
        typed = with_reading_type(df, dtype)
        head = typed.iloc[:20000]
        pd.testing.assert_frame_equal(T.feature_extraction_rolling(head, rec, 120, 60)[0],
                                      pandas_windows(head, rec, 120, 60), check_exact=False,
                                      rtol=1e-12, atol=0)
        for window, step in [(120, 60), (3600, 1800)]:
            ctx.measure_against(f"feature_extraction_rolling 1e6x60 w={window} s={step} {dtype}",
                                lambda: T.feature_extraction_rolling(typed, rec, window, step),
                                lambda: T.feature_extraction_rolling(df, rec, window, step),
                                max_ratio=1.5, note="reference: the float64 readings")
