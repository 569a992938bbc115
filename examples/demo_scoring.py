"""Scoring section of the demo: score a degrading period with a trained model,
print the health-score trend and the suspicious variable, and plot the health
score over time against the failure deadline.

    from demo_scoring import report
    result = report(model_dictionary, df_readings, out_dir)

Run on its own, it trains on the healthy days of the sample readings and
scores the days after them:

    /usr/bin/python3 examples/demo_scoring.py [--days 7] [--degrade-from-day 5] [--seed 0]
"""
import argparse
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
sys.path.insert(0, str(HERE))

import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import pandas as pd  # noqa: E402

from algo.Talvo import Talvo  # noqa: E402


def _stamp(t):
    return pd.Timestamp(t).strftime("%Y-%m-%d %H:%M")


def report(model_dictionary, df_readings, out_dir):
    """Scores `df_readings` with `model_dictionary`, prints the trend and the
    suspicious variable, writes health_score.png into `out_dir` and returns
    the scoring result."""
    t0 = time.perf_counter()
    result = Talvo.testing_model(df_readings, model_dictionary)
    took = time.perf_counter() - t0
    print()
    print("Scoring  (the later, degrading period)")
    if result["is_error"] == "True":
        print(f"  FAILED at {result['error_stage']}: {result['error_message']}")
        print(f"  time taken        {took:.2f} s")
        return result
    score = result["Talvo_Score"]["Score"]
    if len(score) == 1 and score.iloc[0] == -1.0:
        print("  too few readings after the codebook filter: placeholder result")
        return result

    deadline = float(result["quenda_deadline"])
    n = len(score)
    unit = "buckets" if score.index.name is not None else "row (mean of the rolling windows)"
    print(f"  readings          {len(df_readings):,} rows -> {n:,} {unit}, "
          f"{_stamp(score.index[0])} to {_stamp(score.index[-1])}")
    for name, i in (("first", 0), ("middle", n // 2), ("last", n - 1)):
        print(f"  score, {name:<10} {score.iloc[i]:6.1f}  ({_stamp(score.index[i])})")
    print(f"  score, minimum    {score.min():6.1f}  ({_stamp(score.idxmin())})")
    hourly = score.resample("1h").mean() if score.index.name is not None else score
    if len(hourly) > 1:
        print(f"  hourly mean       {hourly.iloc[0]:.1f} in the first hour, "
              f"{hourly.iloc[-1]:.1f} in the last")
    below = score[score < deadline]
    if below.empty:
        print(f"  deadline          score {deadline:.2f}, not reached")
    else:
        print(f"  deadline          score {deadline:.2f}, {len(below):,} of {n:,} below it, "
              f"first at {_stamp(below.index[0])}")
    print(f"  suspicious        {result['suspicious_variable']}")

    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    path = out_dir / "health_score.png"
    fig, ax = plt.subplots(figsize=(11, 4.5))
    ax.plot(score.index, score.values, lw=0.6, color="tab:blue", alpha=0.45,
            label="health score per bucket")
    if n > 240:
        hourly = score.resample("1h").mean()
        ax.plot(hourly.index, hourly.values, lw=1.8, color="tab:blue", label="hourly mean")
    ax.axhline(90.0, color="tab:orange", ls=":", lw=1.2, label="T2 limit (score 90)")
    ax.axhline(deadline, color="tab:red", ls="--", lw=1.4, label=f"deadline {deadline:.2f}")
    ax.set_ylim(0, 102)
    ax.set_ylabel("health score")
    ax.set_title(f"Health score, suspicious variable: {result['suspicious_variable']}")
    ax.grid(alpha=0.3)
    ax.legend(loc="lower left")
    fig.autofmt_xdate()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"  plot              {path.resolve()}")
    print(f"  time taken        {took:.2f} s")
    return result


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--days", type=int, default=7)
    ap.add_argument("--degrade-from-day", type=int, default=5)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--start", default="2024-01-01")
    ap.add_argument("--config", default="0,1,0,1,2,1,1,1")
    ap.add_argument("--out", default=str(HERE / "output"))
    a = ap.parse_args()

    import sample_readings
    raw = sample_readings.generate(days=a.days, seed=a.seed, start=a.start,
                                   degrade_from_day=a.degrade_from_day)
    readings = Talvo.rename_columns(raw)
    times = pd.to_datetime(readings["_time"], errors="coerce")
    cut = pd.Timestamp(a.start) + pd.Timedelta(days=a.degrade_from_day)
    model = Talvo.training_model(readings.loc[~(times >= cut)], a.config)
    if model["is_error"] == "True":
        sys.exit(f"training failed at {model['error_stage']}: {model['error_message']}")
    print(f"Trained on the days before {cut:%Y-%m-%d}: deadline score "
          f"{model['quenda_deadline']:.2f}")
    report(model, readings.loc[times >= cut], a.out)


if __name__ == "__main__":
    main()
