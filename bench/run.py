"""Benchmarks of the native kernels and pipelines against the plain pandas road.

Every ``bench/bench_*.py`` module defines ``run(ctx)``; it times the library's
function and the straightforward pandas expression on the same data in this
process through ``ctx.measure``. Figures go to stdout and to
``bench/results/bench.json``.

    python3 bench/run.py [--only SUBSTRING] [--repeat N]
"""
import argparse
import importlib.util
import json
import os
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))


class Context:
    def __init__(self, repeat):
        self.repeat = repeat
        self.results = []

    @staticmethod
    def median_time(fn, repeat):
        times = []
        for _ in range(repeat):
            t0 = time.perf_counter()
            fn()
            times.append(time.perf_counter() - t0)
        return statistics.median(times)

    def measure(self, name, ours, baseline=None, repeat=None, baseline_repeat=None,
                target=None, note=""):
        """Median wall time of ours() (and of baseline()); records and prints them.

        target: a (kind, number) pair checked and printed, kind "ratio" (at
        least that speed-up) or "seconds" (at most that many seconds).
        """
        repeat = repeat or self.repeat
        t_ours = self.median_time(ours, repeat)
        row = {"name": name, "seconds": t_ours, "runs": repeat, "note": note}
        line = f"{name:<58} {t_ours:9.4f} s"
        if baseline is not None:
            t_base = self.median_time(baseline, baseline_repeat or max(1, min(repeat, 3)))
            row["baseline_seconds"] = t_base
            row["ratio"] = t_base / t_ours if t_ours > 0 else float("inf")
            line += f"   pandas {t_base:9.4f} s   x{row['ratio']:.1f}"
        if target is not None:
            kind, value = target
            met = row["ratio"] >= value if kind == "ratio" else t_ours <= value
            row["target"] = {"kind": kind, "value": value, "met": met}
            line += f"   target {'x' if kind == 'ratio' else '<'}{value}{'' if kind == 'ratio' else ' s'}: {'met' if met else 'NOT MET'}"
        return self._report(row, line, note)

    def measure_against(self, name, ours, reference, max_ratio=None, repeat=None, note=""):
        """ours() timed against reference() (the same work on other input),
        alternating the two calls so that a busy machine slows both alike;
        records both medians and, given max_ratio, checks that ours takes at
        most max_ratio times the reference."""
        repeat = repeat or self.repeat
        t_ours, t_ref = [], []
        for _ in range(repeat):
            for fn, times in ((reference, t_ref), (ours, t_ours)):
                t0 = time.perf_counter()
                fn()
                times.append(time.perf_counter() - t0)
        t_ours, t_ref = statistics.median(t_ours), statistics.median(t_ref)
        ratio = t_ours / t_ref if t_ref > 0 else float("inf")
        row = {"name": name, "seconds": t_ours, "reference_seconds": t_ref, "runs": repeat,
               "ratio_to_reference": ratio, "note": note}
        line = f"{name:<58} {t_ours:9.4f} s   reference {t_ref:9.4f} s   x{ratio:.2f} of it"
        if max_ratio is not None:
            met = ratio <= max_ratio
            row["target"] = {"kind": "at most times reference", "value": max_ratio, "met": met}
            line += f"   target <=x{max_ratio}: {'met' if met else 'NOT MET'}"
        return self._report(row, line, note)

    def _report(self, row, line, note):
        if note:
            line += f"   ({note})"
        print(line, flush=True)
        self.results.append(row)
        return row

    def record(self, name, **values):
        """Records figures measured some other way (per-stage timings)."""
        row = {"name": name, **values}
        print(f"{name:<58} " + "  ".join(f"{k}={v:.4f}" if isinstance(v, float) else f"{k}={v}"
                                          for k, v in values.items()), flush=True)
        self.results.append(row)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--only", default="", help="run the bench modules whose name holds this")
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    ctx = Context(args.repeat)
    for path in sorted(HERE.glob("bench_*.py")):
        if args.only and args.only not in path.stem:
            continue
        print(f"== {path.stem}", flush=True)
        module_spec = importlib.util.spec_from_file_location(path.stem, path)
        mod = importlib.util.module_from_spec(module_spec)
        module_spec.loader.exec_module(mod)
        mod.run(ctx)
    out = HERE / "results"
    out.mkdir(exist_ok=True)
    with open(out / "bench.json", "w") as fh:
        json.dump({"machine": os.uname().nodename, "cpus": os.cpu_count(),
                   "results": ctx.results}, fh, indent=2)
    print(f"figures written to {out / 'bench.json'}")


if __name__ == "__main__":
    main()
