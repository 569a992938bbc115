"""Remaining-life forecast: quenda_calculation against the same steps in plain Python.

The ARIMA fit dominates; the figures show what the C++ glue adds around it.
"""
import warnings

import numpy as np
import pandas as pd


def t2_table(periods, freq, seed=0):
    index = pd.date_range("2024-01-01", periods=periods, freq=freq, name="_time")
    rng = np.random.default_rng(seed)
    values = np.abs(np.linspace(2.0, 14.0, periods) + rng.normal(0.0, 0.8, periods))
    return pd.DataFrame({"tsquare": values}, index=index)


def plain(t2, d, tightness, ARIMA):
    score = pd.DataFrame(index=t2.index)
    score["Score"] = np.exp(np.log(tightness) * (t2["tsquare"] / d["ucl"])) * 100
    rule, step = ("D", pd.Timedelta(days=1)) if d["time_scale"] == "h" else \
        ("5min", pd.Timedelta(minutes=5))
    tmp = score.resample(rule).mean()
    history = tmp.reset_index(drop=False)
    train = history["Score"]
    n = len(train)
    horizon = (90 if n >= 90 else 30 if n >= 60 else 15) if rule == "D" else min(n // 2, 20)
    fc = ARIMA(train[-90:], order=(1, 1, 0), trend="t").fit().get_forecast(steps=horizon)
    summary = fc.summary_frame(alpha=0.1)
    predict = np.array(summary["mean"].clip(lower=0, upper=100))
    future = pd.date_range(start=history[d["datetime_name"]].iloc[-1] + step,
                           periods=horizon, freq=rule)
    return pd.DataFrame({
        d["datetime_name"]: pd.concat([history[d["datetime_name"]], pd.Series(future)],
                                      ignore_index=True),
        "Score": pd.concat([tmp["Score"], pd.Series(predict)], ignore_index=True),
    })


def run(ctx):
    import algo.Quenda.Quenda as Q

    daily = t2_table(24 * 365, "H")
    fivemin = t2_table(12 * 24 * 3, "min")
    d_daily = {"datetime_name": "_time", "ucl": 10.0, "quenda_deadline": 60.0,
               "time_scale": "h"}
    d_min = dict(d_daily, time_scale="min")
    with warnings.catch_warnings():
        # Only the timing loop is quiet; the module itself lets them through.
        warnings.simplefilter("ignore")
        ctx.measure("quenda_calculation daily, 1 year hourly T2",
                    lambda: Q.quenda_calculation(daily, d_daily, 0.9),
                    lambda: plain(daily, d_daily, 0.9, Q.ARIMA))
        ctx.measure("quenda_calculation 5min, 3 days of minute T2",
                    lambda: Q.quenda_calculation(fivemin, d_min, 0.9),
                    lambda: plain(fivemin, d_min, 0.9, Q.ARIMA))
