"""Synthetic vibration exports of a rotating machine, one reading per second.

The tables look like what the instrument writes: raw headers ("Time",
"X-Overall", "X-Power in Band 01", "Bearing %", ...; the 60 columns the
library renames), the time as text, plus a "Status" text column. They carry
what real exports carry: daily load cycles, a downtime period, gaps,
re-sent readings (same stamp, disagreeing values), rows out of order, blank
and unparsable time texts, missing cells, spikes, and optionally a bearing
degradation from a given day on (overall level, crest factor, high bands
and the "Bearing" indicator rising).

    from examples.sample_readings import generate
    raw = generate(days=7, seed=0, degrade_from_day=5)

    python3 examples/sample_readings.py --days 7 --degrade-from-day 5 -o readings.csv

Everything is drawn from one NumPy generator seeded by ``seed``, so equal
arguments give equal tables.
"""
import argparse
from pathlib import Path

import numpy as np
import pandas as pd

AXES = ("X", "Y", "Z")
FAIL_MODES = ("Bearing", "Looseness", "Misalignment", "Imbalance", "Gear_mesh", "Van_Pass")
BANDS = tuple(f"{b:02d}" for b in range(1, 11))

# The raw headers, in the instrument's order.
RAW_COLUMNS = (
    ["Time", "RPM"]
    + [f"{a}-Overall" for a in AXES]
    + [f"{a}-Peak" for a in AXES]
    + [f"{a}-Peak to Peak" for a in AXES]
    + [f"{a}-Crest Factor" for a in AXES]
    + [f"{a}-Power in Band {b}" for a in AXES for b in BANDS]
    + list(FAIL_MODES)
    + [f"{f} %" for f in FAIL_MODES]
    + ["Temperature"]
    + [f"{a}-Overall QC" for a in AXES]
)
TEXT_COLUMN = "Status"
DATA_DIR = Path(__file__).resolve().parent / "data"

_AXIS_LEVEL = {"X": 2.2, "Y": 1.8, "Z": 1.2}  # mm/s RMS at full load
_NOMINAL_RPM = 1485.0
_DAY = 86400


def _time_texts(stamps_ns):
    """'YYYY-MM-DD HH:MM:SS' texts of nanosecond stamps, with '.fff' where the
    stamp is not a whole second (as the exporter writes re-sent readings)."""
    stamps = np.asarray(stamps_ns, dtype="int64").view("datetime64[ns]")
    whole = (stamps_ns % 1_000_000_000) == 0
    out = np.empty(len(stamps), dtype=object)
    if whole.any():
        s = np.datetime_as_string(stamps[whole], unit="s")
        s = s.astype("U19").view(np.uint32).reshape(-1, 19)
        s[:, 10] = ord(" ")
        out[whole] = s.view("U19").ravel().astype(object)
    if (~whole).any():
        s = np.datetime_as_string(stamps[~whole], unit="ms")
        s = s.astype("U23").view(np.uint32).reshape(-1, 23)
        s[:, 10] = ord(" ")
        out[~whole] = s.view("U23").ravel().astype(object)
    return out


def generate(days=1, seed=0, start="2024-01-01", degrade_from_day=None, *,
             downtime=True, gaps=True, resent_fraction=0.01, out_of_order_fraction=0.002,
             bad_time_fraction=0.0005, nan_fraction=0.002, spike_fraction=0.0005,
             text_column=True):
    """Raw readings of ``days`` days at one reading per second from ``start``.

    Returns a DataFrame with the 60 raw headers of RAW_COLUMNS ("Time" as
    text) and, when ``text_column``, the text column "Status". The fractions
    set how many rows are re-sent, moved out of order, get a blank or
    unparsable time, and how many cells are missing or spiked.
    ``degrade_from_day`` (a day number counted from 0) starts a degradation
    that grows until the end. Row labels are 0, 1, 2, ...
    """
    if days <= 0:
        raise ValueError("days must be positive")
    rng = np.random.default_rng(seed)
    n = int(round(days * _DAY))
    t = np.arange(n, dtype=np.float64)  # seconds from start
    keep = np.ones(n, dtype=bool)

    # Load: a daily cycle (low at night, high in the afternoon) with slow wander.
    phase = 2 * np.pi * (t / _DAY - 0.3)
    knots = max(2, int(np.ceil(days * 24)) + 1)
    wander = np.interp(t, np.linspace(0, n, knots), rng.normal(0, 0.05, knots))
    load = np.clip(0.65 + 0.3 * np.sin(phase) + wander, 0.2, 1.0)

    running = np.ones(n, dtype=bool)
    if downtime and n > 4 * 3600:
        # One stop of two to four hours.
        length = int(rng.integers(2 * 3600, 4 * 3600))
        begin = int(rng.integers(0, n - length))
        running[begin:begin + length] = False
    if gaps and n > 3600:
        # A few transmission gaps of 5 to 40 minutes: no rows at all.
        for _ in range(int(days // 2) + 1):
            length = int(rng.integers(300, 2400))
            begin = int(rng.integers(0, n - length))
            keep[begin:begin + length] = False

    # Degradation: 0 before the given day, then rising (faster towards the end).
    if degrade_from_day is not None and degrade_from_day < days:
        since = np.clip((t - degrade_from_day * _DAY) / _DAY, 0, None)
        span = max(days - degrade_from_day, 1)
        wear = (since / span) ** 1.5 * span
    else:
        wear = np.zeros(n)

    run = running.astype(np.float64)
    stopped = np.flatnonzero(~running)
    names = RAW_COLUMNS[1:]
    # Column-major, so every column is one contiguous run of memory.
    values = np.empty((n, len(names)), order="F")
    col = {name: values[:, j] for j, name in enumerate(names)}

    def noisy(out, level, rel, stop_level=None, stop_rel=0.3):
        """out = level with log-normal noise; stop_level (with its own noise)
        on the stopped rows when given."""
        np.multiply(np.exp(rng.standard_normal(n, dtype=np.float32) * np.float32(rel)),
                    level, out=out)
        if stop_level is not None and len(stopped):
            stop = stop_level[stopped] if np.ndim(stop_level) else stop_level
            out[stopped] = stop * np.exp(rng.normal(0, stop_rel, len(stopped)))
        return out

    col["RPM"][:] = run * (_NOMINAL_RPM - 8 * load + rng.normal(0, 1.5, n))
    floor = 0.02  # sensor noise floor while stopped
    for a in AXES:
        overall = noisy(col[f"{a}-Overall"],
                        _AXIS_LEVEL[a] * (0.55 + 0.45 * load) * (1 + 0.35 * wear), 0.06, floor)
        cf = noisy(col[f"{a}-Crest Factor"], 3.0 * (1 + 0.12 * wear), 0.05, 1.6, 0.1)
        peak = col[f"{a}-Peak"]
        np.multiply(overall, cf, out=peak)
        noisy(col[f"{a}-Peak to Peak"], 2 * peak, 0.03)
    for a in AXES:
        for k, b in enumerate(BANDS, start=1):
            base = _AXIS_LEVEL[a] ** 2 * 0.4 / k ** 1.3
            high = 1 + (0.25 * (k - 5) * wear if k >= 6 else 0.0)
            noisy(col[f"{a}-Power in Band {b}"], base * (0.4 + 0.6 * load) * high, 0.15,
                  base * 0.01)
    total = np.zeros(n)
    for i, f in enumerate(FAIL_MODES):
        level = 0.08 + 0.02 * i
        if f == "Bearing":
            level = level * (1 + 2.5 * wear)
        mode = noisy(col[f], level * (0.7 + 0.3 * load), 0.12, 0.0)
        total += mode
    safe_total = np.where(total > 0, total, 1.0)
    for f in FAIL_MODES:
        col[f"{f} %"][:] = np.where(total > 0, 100 * col[f] / safe_total, 0.0)
    # Bearing housing temperature follows the load with a lag of about an hour.
    lagged = np.interp(t - 3600, t, load, left=load[0])
    col["Temperature"][:] = 32 + 18 * lagged * run + 3 * wear + rng.normal(0, 0.2, n)
    for a in AXES:
        col[f"{a}-Overall QC"][:] = rng.random(n) > 0.001

    # The exporter writes four decimals (RPM and QC whole numbers).
    np.round(values, 4, out=values)
    np.round(col["RPM"], 0, out=col["RPM"])

    # Spikes: a single cell jumps by a factor of 4 to 15.
    n_spikes = int(spike_fraction * n)
    if n_spikes:
        rows = rng.integers(0, n, n_spikes)
        cols = rng.integers(1, 1 + 3 * 4 + 30, n_spikes)  # vibration columns
        values[rows, cols] = np.round(values[rows, cols] * rng.uniform(4, 15, n_spikes), 4)

    status = np.where(running, np.where(load > 0.8, "RUN-HIGH", "RUN"), "STOP").astype(object)
    stamps = (pd.Timestamp(start).value + t.astype(np.int64) * 1_000_000_000)

    values, status, stamps = values[keep], status[keep], stamps[keep]
    m = len(stamps)

    # Re-sent readings: a copy of the row, most with the same stamp, some a
    # fraction of a second later, with a few cells disagreeing.
    n_resent = int(resent_fraction * m)
    if n_resent:
        src = np.sort(rng.choice(m, n_resent, replace=False))
        extra = values[src].copy()
        change = rng.random(extra.shape) < 0.3
        extra[change] = np.round(extra[change] * rng.normal(1, 0.02, change.sum()), 4)
        extra[:, 0] = np.round(extra[:, 0])  # speed stays a whole number
        extra_stamps = stamps[src].copy()
        later = rng.random(n_resent) < 0.4
        extra_stamps[later] += rng.integers(1, 1000, later.sum()) * 1_000_000
        extra_status = status[src].copy()
        flip = rng.random(n_resent) < 0.05
        extra_status[flip] = "RUN-CHECK"
        # Each copy goes right after its original.
        order = np.argsort(np.concatenate([np.arange(m), src]), kind="stable")
        values = np.concatenate([values, extra])[order]
        stamps = np.concatenate([stamps, extra_stamps])[order]
        status = np.concatenate([status, extra_status])[order]
        m = len(stamps)

    # Missing cells.
    n_nan = int(nan_fraction * values.size)
    if n_nan:
        values[rng.integers(0, m, n_nan), rng.integers(0, values.shape[1], n_nan)] = np.nan

    times = _time_texts(stamps)
    # Blank and unparsable time texts.
    n_bad = int(bad_time_fraction * m)
    if n_bad:
        rows = rng.choice(m, n_bad, replace=False)
        times[rows] = rng.choice(np.array(["", "  ", "N/A", "ERR", "####"], dtype=object),
                                 n_bad)
    # Blank and missing status texts.
    n_blank = max(1, m // 5000)
    status[rng.integers(0, m, n_blank)] = " "
    status[rng.integers(0, m, n_blank)] = None

    # Rows out of order: a few rows moved up to ten minutes away.
    n_moved = int(out_of_order_fraction * m)
    if n_moved:
        key = np.arange(m, dtype=np.float64)
        moved = rng.choice(m, n_moved, replace=False)
        key[moved] += rng.uniform(-600, 600, n_moved)
        perm = np.argsort(key, kind="stable")
        values, times, status = values[perm], times[perm], status[perm]

    df = pd.DataFrame(values, columns=RAW_COLUMNS[1:])
    df.insert(0, "Time", times)
    if text_column:
        df[TEXT_COLUMN] = status
    return df


def cached(days=1, seed=0, start="2024-01-01", degrade_from_day=None, **kwargs):
    """generate() with the same arguments, kept as a pickle under examples/data/
    (not part of the repository) so repeated runs skip the generation."""
    key = f"readings_{days}d_seed{seed}_{start}_deg{degrade_from_day}"
    if kwargs:
        key += "_" + "_".join(f"{k}{v}" for k, v in sorted(kwargs.items()))
    path = DATA_DIR / (key.replace(" ", "_").replace(":", "") + ".pkl")
    if path.exists():
        return pd.read_pickle(path)
    df = generate(days, seed, start, degrade_from_day, **kwargs)
    DATA_DIR.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp")
    df.to_pickle(tmp)
    tmp.replace(path)
    return df


def main(argv=None):
    ap = argparse.ArgumentParser(description="Write synthetic raw vibration readings as CSV.")
    ap.add_argument("--days", type=float, default=1)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--start", default="2024-01-01")
    ap.add_argument("--degrade-from-day", type=int, default=None,
                    help="day (from 0) on which a bearing degradation starts")
    ap.add_argument("-o", "--output", default="-", help="CSV file ('-' for standard output)")
    args = ap.parse_args(argv)
    df = generate(args.days, args.seed, args.start, args.degrade_from_day)
    if args.output == "-":
        import sys
        df.to_csv(sys.stdout, index=False)
    else:
        df.to_csv(args.output, index=False)
        print(f"{len(df)} rows x {df.shape[1]} columns written to {args.output}")


if __name__ == "__main__":
    main()
