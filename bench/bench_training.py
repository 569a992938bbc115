"""training_model end to end on 7 days of 1 s sample readings, with the time
spent in each module function it calls.

The pipeline reaches every stage function through the module namespace at
call time, so replacing those attributes with timing wrappers for one extra
run shows where the time goes without touching the library. Whatever is not
inside a wrapped function (code parsing, numeric selection, time parsing,
index and quality-column steps, deadline and result) is reported as
"pipeline's own steps".
"""
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "examples"))

DAYS = 7
SEED = 11
START = "2024-06-03 00:00:00"

# (label, algo_config, target seconds)
CASES = [
    ("minute buckets", "0,1,0,1,2,1,1,1", 2.5),
    ("rolling 120/60", "0,1,0,1,2,1,1,2", 4.0),
    ("rolling 60/30", "0,1,0,1,2,1,1,4", 4.0),
]

# Module functions the pipeline calls, and those they call in turn (shown
# nested under their caller).
STAGES = ["compress_by_second", "feature_threshold_mapping", "codebook_df_filter",
          "low_resolution", "time_filter", "feature_extraction", "feature_extraction_rolling",
          "standardize", "minmax_scale", "health_modeling", "cal_T2", "Health_Index",
          "T2_Anomaly_Rate", "SPE_residual"]
NESTED = ["safe_resample_max", "safe_resample_mean"]


def readings(T):
    """7 days of sample readings (the generator's cached copy when present)."""
    import sample_readings
    raw = sample_readings.cached(days=DAYS, seed=SEED, start=START, degrade_from_day=None)
    return T.rename_columns(raw.copy())


class StageTimer:
    """Replaces module attributes by wrappers that add up inclusive wall time."""

    def __init__(self, module, names):
        self.module = module
        self.saved = {n: getattr(module, n) for n in names if hasattr(module, n)}
        self.seconds = {n: 0.0 for n in self.saved}
        self.calls = {n: 0 for n in self.saved}

    def _wrap(self, name, fn):
        def timed(*args, **kwargs):
            t0 = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                self.seconds[name] += time.perf_counter() - t0
                self.calls[name] += 1
        return timed

    def __enter__(self):
        for name, fn in self.saved.items():
            setattr(self.module, name, self._wrap(name, fn))
        return self

    def __exit__(self, *exc):
        for name, fn in self.saved.items():
            setattr(self.module, name, fn)


def run(ctx):
    import algo.Talvo.Talvo as T

    t0 = time.perf_counter()
    df = readings(T)
    print(f"readings: {len(df):,} rows x {df.shape[1]} columns "
          f"(loaded in {time.perf_counter() - t0:.1f} s)", flush=True)

    for label, config, target in CASES:
        result = T.training_model(df, config)  # warm-up, and a check that it trains
        if result["is_error"] != "False":
            print(f"training_model [{label}] FAILED at {result['error_stage']}: "
                  f"{result['error_message']}")
            continue
        ctx.measure(f"training_model 7 d, {label}", lambda: T.training_model(df, config),
                    repeat=3, target=("seconds", target),
                    note=f"{len(result['T2'])} feature rows, "
                         f"{result['pca'].n_components_} components")

        with StageTimer(T, STAGES + NESTED) as timer:
            t0 = time.perf_counter()
            T.training_model(df, config)
            total = time.perf_counter() - t0
        top = {n: s for n, s in timer.seconds.items() if n in STAGES and timer.calls[n]}
        own = total - sum(top.values())
        rows = sorted(top.items(), key=lambda kv: -kv[1]) + [("pipeline's own steps", own)]
        slowest = rows[0][0] if rows else ""
        for name, seconds in rows:
            ctx.record(f"  {label}: {name}", seconds=seconds, share=seconds / total)
            if name == "feature_extraction":
                for sub in NESTED:
                    if timer.calls.get(sub):
                        ctx.record(f"    {label}: {sub} (inside feature_extraction)",
                                   seconds=timer.seconds[sub], calls=timer.calls[sub])
        ctx.record(f"  {label}: instrumented total", seconds=total, slowest=slowest)

    # The same week exported as float32 or int64 readings, against the
    # float64 readings in alternation. (The sample week has readings without
    # a time; one row per second keeps a row of missing values for them, so
    # its int64 columns come out float64 and the rest of the int64 run costs
    # what the float64 one does.)
    from reading_types import with_reading_type
    label, config, _ = CASES[1]
    for dtype in ("float32", "int64"):
        typed = with_reading_type(df, dtype)
        result = T.training_model(typed, config)
        assert result["is_error"] == "False", result["error_message"]
        ctx.measure_against(f"training_model 7 d, {label}, {dtype} readings",
                            lambda: T.training_model(typed, config),
                            lambda: T.training_model(df, config),
                            max_ratio=1.5 if dtype == "float32" else None, repeat=3,
                            note=f"reference: the float64 readings; {len(result['T2'])} feature rows")
