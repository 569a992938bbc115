"""The IQR hybrid filter against the same rule written with pandas Series
(label-joined flags, as the rule is stated), and the purging pipelines on one
day of 1 s sample readings.

    python3 bench/run.py --only purging
"""
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "examples"))

DAYS = 1
SEED = 5


def pandas_iqr(df, max_ratio, datetime_name, iqr_k=1.5):
    drop_mask = pd.Series(False, index=df.index)
    cols = [c for c in df.select_dtypes(include=[np.number]).columns if c != datetime_name]
    for col in cols:
        series = df[col].dropna()
        q1, q3 = series.quantile([0.25, 0.75])
        iqr = q3 - q1
        mask = (series < q1 - iqr_k * iqr) | (series > q3 + iqr_k * iqr)
        if mask.sum() / len(series) > max_ratio:
            mask = (series < series.quantile(max_ratio / 2)) | \
                   (series > series.quantile(1 - max_ratio / 2))
        drop_mask = drop_mask | mask
    return df[~drop_mask]


def run(ctx):
    import warnings

    import algo.Talvo.Talvo as T
    import sample_readings

    t0 = time.perf_counter()
    raw = sample_readings.generate(days=DAYS, seed=SEED, degrade_from_day=None)
    df = T.rename_columns(raw.copy())
    prepared = T.compress_by_second(df, "_time")[0]
    prepared = prepared[["_time"] + prepared.select_dtypes(include="number").columns.tolist()]
    print(f"readings: {len(df):,} rows; prepared {prepared.shape[0]:,} x {prepared.shape[1]} "
          f"(built in {time.perf_counter() - t0:.1f} s)", flush=True)

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the label join warns about reindexing
        ours = T.IQR_outlier_percent_clean(prepared, 0.05, "_time")
        pd.testing.assert_frame_equal(ours, pandas_iqr(prepared, 0.05, "_time"))
        ctx.measure("IQR_outlier_percent_clean, 1 d x 59 columns, ratio 0.05",
                    lambda: T.IQR_outlier_percent_clean(prepared, 0.05, "_time"),
                    baseline=lambda: pandas_iqr(prepared, 0.05, "_time"),
                    target=("ratio", 5.0), note=f"{len(ours):,} rows kept")
        # The same readings as float32 and int64 columns: the same rows as the
        # pandas rule, in about the time of float64 ones.
        from reading_types import with_reading_type
        for dtype in ("float32", "int64"):
            typed = with_reading_type(prepared, dtype)
            kept = T.IQR_outlier_percent_clean(typed, 0.05, "_time")
            pd.testing.assert_frame_equal(kept, pandas_iqr(typed, 0.05, "_time"))
            ctx.measure_against(f"IQR_outlier_percent_clean, same readings as {dtype}",
                                lambda: T.IQR_outlier_percent_clean(typed, 0.05, "_time"),
                                lambda: T.IQR_outlier_percent_clean(prepared, 0.05, "_time"),
                                max_ratio=1.5,
                                note=f"reference: the float64 readings; {len(kept):,} rows kept")

    settings = {"datetime_name": "_time", "algo_config": "0,1,0,1,2,1,1,1",
                "time_scale": "min", "codebook_setup": None}
    result = T.outlier_clean(df, settings, 0.01, 0.01, 0.05)
    ctx.measure("outlier_clean 1 d, minute buckets, 5 passes",
                lambda: T.outlier_clean(df, settings, 0.01, 0.01, 0.05), repeat=3,
                note=f"index {result['training_model_robust_index']}, {result['error_stage']}")

    def quiet_purge():
        import contextlib
        import io
        with contextlib.redirect_stdout(io.StringIO()):
            return T.outlier_chebyshev_T2_purging(df, "0,1,0,1,2,1,1,1")

    ctx.measure("outlier_chebyshev_T2_purging 1 d, minute buckets", quiet_purge, repeat=3)
