"""Readings for the purging and good/bad pipeline tests: one row per second,
band columns driven by two latent factors plus noise (so the 90 % PCA keeps a
few components), a time-domain and a failure-mode column, speed, percentage,
QC and text companions, time stamps as text."""
import numpy as np
import pandas as pd
import pytest

# Module functions of other areas that the pipelines call.
STAGE_FUNCTIONS = ("compress_by_second", "feature_threshold_mapping", "codebook_df_filter",
                   "low_resolution", "time_filter", "feature_extraction",
                   "feature_extraction_rolling", "SPE_residual")


def _missing():
    import algo.Talvo.Talvo as module
    return [n for n in STAGE_FUNCTIONS if not hasattr(module, n)]


needs_stage_functions = pytest.mark.skipif(
    bool(_missing()), reason="stage functions not in this build yet: " + ", ".join(_missing()))

BANDS = [f"{a}_Power_in_Band_{b:02d}" for b in (1, 2) for a in "XYZ"]


def readings(seconds=3600, seed=0, noise=1.0, start="2024-05-01 00:00:00", shift=0.0):
    rng = np.random.default_rng(seed)
    n = seconds
    lat = rng.normal(size=(n, 2))
    data = {"_time": pd.date_range(start, periods=n, freq="s").strftime("%Y-%m-%d %H:%M:%S")}
    data["RPM"] = 1480 + rng.normal(size=n)
    w = np.random.default_rng(100).normal(size=(2, len(BANDS)))  # same structure for every seed
    vals = lat @ w + noise * rng.normal(size=(n, len(BANDS))) + 5 + shift
    for j, name in enumerate(BANDS):
        data[name] = vals[:, j]
    data["X_Overall"] = 2 + 0.3 * lat[:, 0] + rng.normal(size=n)
    data["Bearing"] = 1 + rng.normal(size=n)
    data["Bearing_percentage"] = rng.uniform(0, 100, n)
    data["X_Overall_QC"] = rng.integers(0, 2, n).astype(float)
    data["Status"] = "ok"
    return pd.DataFrame(data)


def record_calls(monkeypatch, module, name, transform=None):
    """Wraps module.<name> so that every call is recorded as (args, kwargs);
    `transform(result, call_number)` may replace the result."""
    calls = []
    real = getattr(module, name)

    def wrapper(*args, **kwargs):
        calls.append((args, kwargs))
        out = real(*args, **kwargs)
        return transform(out, len(calls)) if transform else out

    monkeypatch.setattr(module, name, wrapper)
    return calls
