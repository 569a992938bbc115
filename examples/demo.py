"""The library's main job on sample readings: train a health model of one
machine and say, in a few lines, what came out.

    make demo            # or: /usr/bin/python3 examples/demo.py [--days N] [--seed S]

The sample readings come from examples/sample_readings.py (raw sensor export
headers, 1 s rows, a degradation from a given day on). They are generated once
and cached under examples/data/ by the generator. Training uses the healthy days before the
degradation; the later days are left for the sections that score them.

Each section is a function taking the shared `Context` and printing its own
lines, so scoring, severity and remaining-life sections can be appended to
SECTIONS without touching the others.
"""
import argparse
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
sys.path.insert(0, str(HERE))

import pandas as pd  # noqa: E402

from algo.Talvo import Talvo  # noqa: E402

DATA_DIR = HERE / "data"  # the sample generator's cache

# Minute buckets, scoring outlier filter on, no low-resolution screening, all
# feature families, standard scaling, health model, deadline at mean + 12
# standard deviations of the training T2, time-bucketed features.
DEFAULT_CONFIG = "0,1,0,1,2,1,1,1"


@dataclass
class Context:
    """What the sections share: the readings, their split, and each section's
    results (a trained model, later scores...)."""
    args: argparse.Namespace
    readings: pd.DataFrame = None    # canonical column names, every day
    training: pd.DataFrame = None    # the healthy days the model learns from
    later: pd.DataFrame = None       # the days after them, for scoring sections
    model: dict = None               # the trained-model dictionary
    scoring: dict = None             # the scoring result of the later days
    timings: dict = field(default_factory=dict)


def load_readings(days, seed, degrade_from_day, start):
    """Sample readings under canonical names: generated once, then read back
    from the generator's cache under examples/data/."""
    import sample_readings
    before = set(DATA_DIR.glob("*.pkl")) if DATA_DIR.exists() else set()
    raw = sample_readings.cached(days=days, seed=seed, start=start,
                                 degrade_from_day=degrade_from_day)
    made = set(DATA_DIR.glob("*.pkl")) - before
    origin = ("generated, cached under examples/data/" if made
              else "cached under examples/data/")
    # rename_columns trims the headers of the table it is given; hand it a copy
    # so the cached table stays as generated.
    return Talvo.rename_columns(raw.copy()), origin


def split_days(readings, start, healthy_days):
    """(training, later): readings before and from the end of the healthy days,
    by parsed time; unparsable times stay with the training part, where the
    preparation drops them."""
    times = pd.to_datetime(readings["_time"], errors="coerce")
    cut = pd.Timestamp(start) + pd.Timedelta(days=healthy_days)
    later = times >= cut
    return readings.loc[~later], readings.loc[later]


def section_readings(ctx):
    a = ctx.args
    t0 = time.perf_counter()
    ctx.readings, origin = load_readings(a.days, a.seed, a.degrade_from_day, a.start)
    ctx.training, ctx.later = split_days(ctx.readings, a.start, a.degrade_from_day)
    ctx.timings["readings"] = time.perf_counter() - t0
    print("Sample readings")
    print(f"  source            {origin}")
    print(f"  rows x columns    {len(ctx.readings):,} x {ctx.readings.shape[1]}")
    print(f"  training part     {len(ctx.training):,} rows (days before {a.degrade_from_day}, "
          "healthy)")
    print(f"  later part        {len(ctx.later):,} rows (degrading, left for scoring)")


def section_training(ctx):
    t0 = time.perf_counter()
    model = Talvo.training_model(ctx.training, ctx.args.config)
    took = time.perf_counter() - t0
    ctx.timings["training"] = took
    ctx.model = model
    print()
    print(f"Training  (algo_config \"{ctx.args.config}\")")
    if model["is_error"] == "True":
        print(f"  FAILED at {model['error_stage']}: {model['error_message']}")
        if model["error_code"] != "None":
            print(f"  note              {model['error_code']}")
        print(f"  time taken        {took:.2f} s")
        return
    T2, pca = model["T2"], model["pca"]
    unit = {"min": "minute", "h": "hour"}.get(model["time_scale"], model["time_scale"])
    print(f"  readings used     {model['start_time']} to {model['end_time']}")
    print(f"  feature rows      {len(T2):,} ({unit} buckets)" if T2.index.name == "_time"
          else f"  feature rows      {len(T2):,} (rolling windows)")
    print(f"  features          {pca.n_features_in_}")
    print(f"  components kept   {pca.n_components_} "
          f"({pca.explained_variance_ratio_.sum():.1%} of the variance)")
    print(f"  T2 limit (ucl)    {model['ucl']:.3f}")
    print(f"  training anomaly  {model['training_anomalies']:.2%} of rows above the T2 limit")
    print(f"  model bias        {model['model_bias']:.2%} of rows above the SPE limit")
    print(f"  robustness        {model['training_model_robust_index']:.2f} "
          f"({model['training_model_robust_status']})")
    if "quenda_warning_line" in model:
        print(f"  warning line      score {model['quenda_warning_line']:.2f}")
    else:
        print(f"  deadline          score {model['quenda_deadline']:.2f} "
              f"(T2 {model['quenda_deadline_t_square']:.2f})")
    print(f"  health score      median {model['Talvo_Score']['Score'].median():.1f}, "
          f"lowest {model['Talvo_Score']['Score'].min():.1f}")
    if model["error_code"] != "None":
        print(f"  note              {model['error_code']}")
    print(f"  time taken        {took:.2f} s")


def section_scoring(ctx):
    if not model_ok(ctx):
        return
    import demo_scoring
    ctx.scoring = demo_scoring.report(ctx.model, ctx.later, HERE / "output")


def section_severity(ctx):
    """Learned-limit lights (limits learned on the healthy days) and ISO 20816
    lights of the later period, summarised by colour."""
    t0 = time.perf_counter()
    learned = Talvo.pre_feature_training(ctx.training)
    lights = (Talvo.pre_feature_light(ctx.later, learned) if isinstance(learned, dict)
              else learned)
    limits = Talvo.ISO20816_overall(ctx.args.power, ctx.args.foundation)
    iso = Talvo.ISO20816_light(ctx.later, limits["warning"], limits["alert"])
    took = time.perf_counter() - t0
    print()
    print("Severity of the later period")
    if isinstance(lights, str):
        print(f"  learned limits    failed: {lights}")
    else:
        by_light = {}
        for name, entry in lights.items():
            by_light.setdefault(entry["light"], []).append(name)
        counts = ", ".join(f"{len(by_light.get(k, []))} {k}" for k in ("green", "yellow", "red"))
        print(f"  learned limits    {len(lights)} columns: {counts}")
        for colour in ("red", "yellow"):
            names = by_light.get(colour, [])
            if names:
                more = f" (+{len(names) - 6} more)" if len(names) > 6 else ""
                print(f"    {colour:<16}{', '.join(names[:6])}{more}")
    if limits["error_stage"] != "None":
        print(f"  ISO 20816         no limits: {limits['error_message']}")
    else:
        print(f"  ISO 20816         {ctx.args.power} kW, {ctx.args.foundation} foundation: "
              f"warning {limits['warning']} mm/s, alert {limits['alert']} mm/s")
        if isinstance(iso, str):
            print(f"    failed: {iso}")
        for name, entry in (iso.items() if isinstance(iso, dict) else ()):
            mean = pd.to_numeric(ctx.later[name], errors="coerce").mean()
            print(f"    {name:<16}{entry['light']:<7} (mean {mean:.2f})")
    print(f"  time taken        {took:.2f} s")


def section_remaining_life(ctx):
    """ARIMA forecast of the scored health score against the deadline."""
    scored = getattr(ctx, "scoring", None)
    if not model_ok(ctx) or not scored or scored["is_error"] == "True":
        return
    from algo.Quenda import Quenda
    t0 = time.perf_counter()
    forecast = Quenda.quenda_calculation(scored["T2"], ctx.model, 0.9)
    took = time.perf_counter() - t0
    print()
    print("Remaining life  (forecast of the scored health score)")
    if forecast["is_error"] == "True":
        print(f"  FAILED at {forecast['error_stage']}: {forecast['error_message']}")
    elif forecast["signal"] == "gray":
        print(f"  no forecast: {forecast['unit']}")
    else:
        table = forecast["quenda_predict"]
        future = table["upper_CI"].notna()
        print(f"  forecast          {int(future.sum())} steps, last score "
              f"{table.loc[future, 'Score'].iloc[-1]:.1f} "
              f"(90% band {table.loc[future, 'lower_CI'].iloc[-1]:.1f} to "
              f"{table.loc[future, 'upper_CI'].iloc[-1]:.1f})")
        print(f"  above deadline    {forecast['quenda_days']} {forecast['unit']} "
              f"({forecast['signal']}, band {forecast['show'].strip()})")
        print(f"  failure risk      {float(forecast['death_probability']):.1f} %")
    print(f"  time taken        {took:.2f} s")


def model_ok(ctx):
    return ctx.model is not None and ctx.model["is_error"] == "False"


# Sections run in order; each reads what the earlier ones left in ctx.
SECTIONS = [section_readings, section_training, section_scoring, section_severity,
            section_remaining_life]


def parse_args(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--days", type=int, default=6, help="days of 1 s readings to generate")
    ap.add_argument("--degrade-from-day", type=int, default=3,
                    help="first degrading day; training uses the days before it")
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--start", default="2024-05-06 00:00:00")
    ap.add_argument("--config", default=DEFAULT_CONFIG, help="algo_config code string")
    ap.add_argument("--power", type=float, default=75, help="rated power (kW) for ISO 20816")
    ap.add_argument("--foundation", default="Rigid", choices=["Rigid", "Flexible"])
    return ap.parse_args(argv)


def main(argv=None):
    ctx = Context(args=parse_args(argv))
    t0 = time.perf_counter()
    for section in SECTIONS:
        section(ctx)
    print()
    print(f"Done in {time.perf_counter() - t0:.2f} s")
    return 0 if ctx.model is not None and ctx.model["is_error"] == "False" else 1


if __name__ == "__main__":
    sys.exit(main())
