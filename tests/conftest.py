import sys
from pathlib import Path

import pandas as pd
import pytest

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))


def _bottleneck_settings():
    """pandas takes standard deviations, variances and medians through
    python3-bottleneck when it is installed and `compute.use_bottleneck` is
    on, through NumPy otherwise: off always, on where bottleneck is installed."""
    try:
        import bottleneck  # noqa: F401
    except ImportError:
        return [False]
    return [False, True]


@pytest.fixture(scope="session")
def T():
    import algo.Talvo.Talvo as module
    return module


@pytest.fixture(params=_bottleneck_settings(),
                ids=lambda on: "bottleneck" if on else "numpy-sums")
def pandas_arithmetic(request):
    """Runs a test under each of pandas' reduction roads this host has, for
    comparisons of a native kernel against a pandas expression."""
    with pd.option_context("compute.use_bottleneck", request.param):
        yield request.param
