"""Severity report: learned-limit lights and ISO 20816 lights of a period of readings.

    report(df_readings, power_kw=75, foundation="Rigid", training_df=None)

df_readings (and training_df) use the canonical column names ("_time",
"X_Overall", "Bearing", ...). Limits are learned from training_df, or from
df_readings itself when no training period is given. Run this file directly
for a small synthetic example.
"""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import algo.Talvo.Talvo as Talvo  # noqa: E402

MARKS = {"green": "OK  ", "yellow": "WARN", "red": "ALRT", None: "  - "}


def _fmt(value):
    try:
        return f"{float(value):9.3f}"
    except (TypeError, ValueError):
        return f"{value!s:>9}"


def report(df_readings, power_kw=75, foundation="Rigid", training_df=None):
    """Prints the learned-limit and ISO 20816 lights of df_readings; returns both maps."""
    training = df_readings if training_df is None else training_df
    learned = Talvo.pre_feature_training(training)
    print("Learned limits (mean +- 3 / 6 std of the training period)")
    if isinstance(learned, str):
        print(f"  could not learn limits: {learned}")
        lights = learned
    else:
        lights = Talvo.pre_feature_light(df_readings, learned)
        if isinstance(lights, str):
            print(f"  could not rate the readings: {lights}")
        elif not lights:
            print("  no indicator columns")
        else:
            print(f"  {'column':<22} light  {'low alert':>9} {'low warn':>9} "
                  f"{'up warn':>9} {'up alert':>9}")
            for name, entry in lights.items():
                print(f"  {name:<22} {MARKS[entry['light']]}  "
                      f"{_fmt(entry['lower_alert'])} {_fmt(entry['lower_warning'])} "
                      f"{_fmt(entry['upper_warning'])} {_fmt(entry['upper_alert'])}")

    limits = Talvo.ISO20816_overall(power_kw, foundation)
    print(f"ISO 20816 ({power_kw} kW, {foundation} foundation)")
    if limits["error_stage"] != "None":
        print(f"  no limits: {limits['error_message']}")
        return lights, limits
    iso = Talvo.ISO20816_light(df_readings, limits["warning"], limits["alert"])
    print(f"  warning {limits['warning']} mm/s, alert {limits['alert']} mm/s")
    if isinstance(iso, str):
        print(f"  could not rate the readings: {iso}")
    elif not iso:
        print("  no overall-vibration columns")
    else:
        for name, entry in iso.items():
            print(f"  {name:<22} {MARKS[entry['light']]}")
    return lights, iso


def _synthetic(seed, hours, drift=0.0):
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    n = hours * 60
    times = pd.date_range("2024-05-01", periods=n, freq="min")
    ramp = np.linspace(0.0, drift, n)
    data = {"_time": times.strftime("%Y-%m-%d %H:%M:%S")}
    for axis, level in zip("XYZ", (2.0, 2.4, 1.6)):
        data[f"{axis}_Overall"] = level + ramp + rng.normal(0, 0.15, n)
        data[f"{axis}_Peak"] = 3 * level + ramp + rng.normal(0, 0.3, n)
    data["Bearing"] = 0.2 + ramp / 10 + rng.normal(0, 0.02, n)
    data["RPM"] = 1480 + rng.normal(0, 3, n)
    return pd.DataFrame(data)


if __name__ == "__main__":
    report(_synthetic(1, 48, drift=1.5), power_kw=75, foundation="Rigid",
           training_df=_synthetic(0, 24))
