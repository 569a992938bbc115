"""Small deterministic readings tables under canonical column names for the
training tests: one row per second, correlated indicator columns (so the PCA
keeps a handful of components), percentage and QC companions, speed,
temperature and one text column that the numeric selection must leave out."""
import numpy as np
import pandas as pd

# The diagnostic messages training_model records in "error_code".
MSG_CODEBOOK = ("No data available. After codebook filtering, the remaining data is "
                "insufficient. Please confirm that most of the modeling values fall within "
                "the codebook ranges.")
MSG_DOWNTIME = "No data available. Please verify whether most data are in a downtime status."
MSG_NOT_SUFFICIENT = "Data is not sufficient for modeling."

AXES = "XYZ"
TIME_KINDS = ["Overall", "Peak", "Peak_to_Peak", "Crest_Factor"]
FAIL_MODES = ["Bearing", "Looseness", "Misalignment", "Imbalance", "Gear_mesh", "Van_Pass"]

TIME_COLUMNS = [f"{a}_{k}" for k in TIME_KINDS for a in AXES]
BAND_COLUMNS = [f"{a}_Power_in_Band_{i:02d}" for a in AXES for i in range(1, 11)]
INDICATOR_COLUMNS = TIME_COLUMNS + BAND_COLUMNS + FAIL_MODES

# Families as the keyword rule sorts them, in the table order used below.
TIME_FAMILY = [f"{a}_{k}" for k in TIME_KINDS for a in AXES]
FREQ_FAMILY = BAND_COLUMNS
FAIL_FAMILY = FAIL_MODES


def make_readings(seconds, seed=0, start="2024-03-01 00:00:00", times=None):
    """A readings table of `seconds` rows at 1 s (or at the given `times`)."""
    rng = np.random.default_rng(seed)
    if times is None:
        times = pd.date_range(start, periods=seconds, freq="s")
    n = len(times)
    # Four latent drivers with slow and fast parts; every indicator mixes them.
    t = np.arange(n, dtype=float)
    drivers = np.column_stack([
        np.sin(2 * np.pi * t / 5400.0) + 0.3 * rng.normal(size=n),
        np.cos(2 * np.pi * t / 1300.0) + 0.3 * rng.normal(size=n),
        rng.normal(size=n),
        rng.normal(size=n),
    ])
    data = {"RPM": 1480 + 5 * drivers[:, 0] + rng.normal(size=n)}
    for j, name in enumerate(INDICATOR_COLUMNS):
        w = np.array([1.0, 0.6, 0.3, 0.2]) * (1 + (j % 3)) / (1 + (j % 4))
        level = 2.0 + 0.1 * j
        data[name] = level + drivers @ w * 0.2 + 0.05 * rng.normal(size=n)
    for m in FAIL_MODES:
        data[f"{m}_percentage"] = rng.uniform(0, 100, size=n)
    data["Temperature"] = 40 + drivers[:, 1] + 0.1 * rng.normal(size=n)
    for a in AXES:
        data[f"{a}_Overall_QC"] = rng.integers(0, 2, size=n).astype(float)
    df = pd.DataFrame(data)
    df.insert(0, "_time", pd.DatetimeIndex(times).strftime("%Y-%m-%d %H:%M:%S"))
    df["Note"] = "ok"
    return df


def fine_config(**codes):
    """The eight-code string with defaults (minutes, standard scaling, deadline
    mode 1, minute buckets) and the given positions replaced."""
    names = ["time_scale", "outlier", "low_res", "families", "scale", "model", "deadline",
             "features"]
    values = dict(zip(names, ["0", "1", "0", "1", "2", "1", "1", "1"]))
    values.update(codes)
    return ",".join(values[n] for n in names)
