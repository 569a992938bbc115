"""Scoring side: the per-minute outlier filter and testing_model end to end."""
import numpy as np
import pandas as pd

import algo.Talvo.Talvo as T


def pandas_loop(df, time_col, exclude_cols=None, iqr_k=1.5):
    """The per-minute pandas loop that drop_outliers_by_min replaces."""
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
            filtered = filtered[(filtered[col] >= q1 - iqr_k * iqr)
                                & (filtered[col] <= q3 + iqr_k * iqr)]
        result.append(filtered)
    return pd.concat(result).sort_index().reset_index()


def one_day_of_readings(n_cols=60, seed=0):
    rng = np.random.default_rng(seed)
    n = 86400
    times = pd.date_range("2024-03-01", periods=n, freq="s")
    data = rng.normal(1.0, 0.1, size=(n, n_cols))
    data[rng.random(size=data.shape) < 0.002] *= 20   # spikes
    data[rng.random(size=data.shape) < 0.001] = np.nan
    df = pd.DataFrame(data, columns=[f"X_Power_in_Band_{j:02d}" for j in range(n_cols)])
    df.insert(0, "_time", times)
    return df


def bench_minute_filter(ctx):
    df = one_day_of_readings()
    head = df.iloc[:3 * 3600]  # same rows as the loop before timing (3 hours: the loop is slow)
    pd.testing.assert_frame_equal(T.drop_outliers_by_min(head, "_time"),
                                  pandas_loop(head, "_time"))
    ctx.measure("drop_outliers_by_min, 1 day of 1 s readings x 60 columns",
                lambda: T.drop_outliers_by_min(df, "_time"),
                lambda: pandas_loop(df, "_time"), baseline_repeat=1, target=("ratio", 20))
    text = df.assign(_time=df["_time"].dt.strftime("%Y-%m-%d %H:%M:%S"))
    ctx.measure("drop_outliers_by_min, same with text times",
                lambda: T.drop_outliers_by_min(text, "_time"))


def run(ctx):
    bench_minute_filter(ctx)
