"""algo.Quenda.Quenda: start-up, forecast model, failure risk, remaining-life pipeline."""
import copy
import inspect
import os
import pickle
import subprocess
import sys
import textwrap
import types
import warnings

import numpy as np
import pandas as pd
import pytest

from conftest import ROOT

KEYS = ["quenda_predict", "quenda_days", "quenda_deadline", "signal", "show", "unit",
        "death_probability", "is_error", "error_code", "error_stage", "error_message"]
PROBLEM = "There\u2019s a problem with the data."


@pytest.fixture(scope="module")
def Q():
    import algo.Quenda.Quenda as module
    return module


def run_python(code, env_drop=()):
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    for name in env_drop:
        env.pop(name, None)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=180)


# ---------------------------------------------------------------- helpers

def t2_table(bins, freq="D", per_bin=4, start="2024-03-01", name="_time", seed=0):
    """A T2 table whose readings fill `bins` consecutive bins of `freq`."""
    step = pd.Timedelta(freq if freq[0].isdigit() else "1" + freq) / per_bin
    index = pd.date_range(start, periods=bins * per_bin, freq=step, name=name)
    rng = np.random.default_rng(seed)
    values = np.abs(np.linspace(2.0, 12.0, len(index)) + rng.normal(0.0, 0.5, len(index)))
    return pd.DataFrame({"tsquare": values}, index=index)


def model_dict(time_scale="h", **extra):
    d = {"datetime_name": "_time", "ucl": 10.0, "quenda_deadline": 60.0,
         "time_scale": time_scale}
    d.update(extra)
    return d


class FakeModel:
    """Stands in for quenda_model: fixed forecast, records its arguments."""

    def __init__(self, days, predict=70.0, upper=80.0, lower=62.0):
        self.days, self.predict, self.upper, self.lower = days, predict, upper, lower
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        train, horizon, _ = args
        start = train.index[-1] + 1 if len(train) else 0
        labels = pd.RangeIndex(start, start + horizon)
        predict = np.full(horizon, self.predict)
        upper = pd.Series(np.full(horizon, self.upper), index=labels, name="mean_ci_upper")
        lower = pd.Series(np.full(horizon, self.lower), index=labels, name="mean_ci_lower")
        return predict, upper, lower, self.days


@pytest.fixture
def fake(Q, monkeypatch):
    def install(days, **kw):
        model = FakeModel(days, **kw)
        monkeypatch.setattr(Q, "quenda_model", model)
        return model
    return install


def expected_history(t2, ucl, tightness, rule):
    """The resampled health scores as the library expressions give them."""
    score = pd.DataFrame(index=t2.index)
    score["Score"] = np.exp(np.log(tightness) * (t2["tsquare"] / ucl)) * 100
    return score.resample(rule).mean()


# ---------------------------------------------------------------- start-up

class TestStartup:
    def test_namespace_bindings_and_order(self, Q):
        import matplotlib.pyplot
        from statsmodels.tsa.arima.model import ARIMA
        assert Q.pd is pd and Q.np is np and Q.plt is matplotlib.pyplot
        assert Q.ARIMA is ARIMA
        assert isinstance(Q.Talvo, types.ModuleType)
        assert Q.Talvo is sys.modules["algo.Talvo.Talvo"]
        import algo.Talvo
        assert algo.Talvo.Talvo is Q.Talvo
        names = [k for k in vars(Q) if not k.startswith("__") or k == "__all__"]
        assert names == ["pd", "np", "plt", "Talvo", "ARIMA", "__all__", "quenda_model",
                         "death_probability", "quenda_calculation"]

    def test_export_list_and_star_import(self, Q):
        assert Q.__all__ == ["quenda_model", "quenda_calculation"]
        assert type(Q.__all__) is list
        ns = {}
        exec("from algo.Quenda.Quenda import *", ns)
        assert sorted(k for k in ns if k != "__builtins__") == ["quenda_calculation",
                                                               "quenda_model"]
        assert ns["quenda_model"] is Q.quenda_model

    def test_font_list_replaced_in_fresh_process(self):
        result = run_python("""
            import sys
            import matplotlib.pyplot as plt
            plt.rcParams["font.sans-serif"] = ["DejaVu Sans", "Arial"]
            assert "algo.Talvo.Talvo" not in sys.modules
            import algo.Quenda.Quenda as Q
            print(plt.rcParams["font.sans-serif"])
            print(Q.Talvo is sys.modules["algo.Talvo.Talvo"])
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split("\n")[:2] == ["['Microsoft YaHei']", "True"]

    def test_health_module_start_up_runs_once(self):
        result = run_python("""
            import algo.Talvo.Talvo as T
            T._marker = "first"
            import algo.Quenda.Quenda as Q
            print(Q.Talvo is T, Q.Talvo._marker)
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "True first"

    def test_import_is_headless(self):
        # Importing pyplot must not pick (let alone open) a display backend.
        result = run_python("""
            import sys
            import algo.Quenda.Quenda
            import matplotlib
            print(matplotlib.rcParams._get_backend_or_none(), "tkinter" in sys.modules)
        """, env_drop=("DISPLAY", "WAYLAND_DISPLAY", "MPLBACKEND"))
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "None False"

    def test_missing_statsmodels_fails_cleanly_and_retry_succeeds(self):
        result = run_python("""
            import sys
            import matplotlib.pyplot as plt
            import algo.Talvo.Talvo
            plt.rcParams["font.sans-serif"] = ["Before"]
            saved = sys.modules["statsmodels.tsa.arima.model"]
            sys.modules["statsmodels.tsa.arima.model"] = None
            try:
                import algo.Quenda.Quenda
            except ModuleNotFoundError as e:
                print(type(e).__name__, e.name)
            print("algo.Quenda.Quenda" in sys.modules, plt.rcParams["font.sans-serif"])
            sys.modules["statsmodels.tsa.arima.model"] = saved
            import algo.Quenda.Quenda as Q
            print(Q.ARIMA.__name__, plt.rcParams["font.sans-serif"], callable(Q.quenda_model))
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split("\n")[:3] == [
            "ModuleNotFoundError statsmodels.tsa.arima.model",
            "False ['Before']",
            "ARIMA ['Microsoft YaHei'] True"]

    def test_failing_health_module_fails_the_import(self):
        result = run_python("""
            import sys
            import matplotlib.pyplot as plt
            plt.rcParams["font.sans-serif"] = ["Before"]
            sys.modules["sklearn.decomposition"] = None  # the health module's start-up fails
            try:
                import algo.Quenda.Quenda
            except ModuleNotFoundError as e:
                print(type(e).__name__, e.name)
            print("algo.Talvo.Talvo" in sys.modules, "algo.Quenda.Quenda" in sys.modules,
                  plt.rcParams["font.sans-serif"])
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split("\n")[:2] == ["ModuleNotFoundError sklearn.decomposition",
                                                 "False False ['Before']"]

    def test_second_initialisation_is_refused(self):
        result = run_python("""
            import importlib, sys
            import algo.Quenda.Quenda as Q
            assert importlib.import_module("algo.Quenda.Quenda") is Q
            sys.modules.pop("algo.Quenda.Quenda")
            try:
                importlib.import_module("algo.Quenda.Quenda")
            except RuntimeError as e:
                print(e)
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == ("Module 'Quenda' has already been imported. "
                                         "Re-initialisation is not supported.")


class TestFunctionObjects:
    SIGNATURES = {"quenda_model": "(train, max_Quenda, deadline)",
                  "death_probability": "(predict, UCL, LCL, deadline)",
                  "quenda_calculation": "(tsquare_df, dictionary, score_tightness)"}

    def test_attributes(self, Q):
        for name, sig in self.SIGNATURES.items():
            fn = getattr(Q, name)
            assert fn.__name__ == name and fn.__qualname__ == name
            assert fn.__module__ == "algo.Quenda.Quenda"
            assert str(inspect.signature(fn)) == sig
            assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
                       for p in inspect.signature(fn).parameters.values())
            assert fn.__defaults__ is None and fn.__kwdefaults__ is None
            assert pickle.loads(pickle.dumps(fn)) is fn and copy.deepcopy(fn) is fn
        assert Q.quenda_model.__doc__ is None and Q.quenda_calculation.__doc__ is None

    def test_death_probability_doc_is_traditional_chinese(self, Q):
        doc = Q.death_probability.__doc__
        assert isinstance(doc, str)
        for phrase in ("死亡", "故障", "風險", "寬度", "UCL - LCL", "deadline", "越低越差",
                       "小於或等於", "0 到 100"):
            assert phrase in doc, phrase
        for simplified in ("风险", "宽度", "预测", "计算"):
            assert simplified not in doc

    @pytest.mark.parametrize("call, message", [
        (lambda Q, rec: Q.quenda_calculation(rec, rec),
         "quenda_calculation() takes exactly 3 positional arguments (2 given)"),
        (lambda Q, rec: Q.quenda_calculation(rec, rec, 0.9, 1),
         "quenda_calculation() takes exactly 3 positional arguments (4 given)"),
        (lambda Q, rec: Q.quenda_calculation(rec, dictionary=rec),
         "quenda_calculation() takes exactly 3 positional arguments (2 given)"),
        (lambda Q, rec: Q.death_probability(1, 2, 3),
         "death_probability() takes exactly 4 positional arguments (3 given)"),
        (lambda Q, rec: Q.quenda_model(rec),
         "quenda_model() takes exactly 3 positional arguments (1 given)"),
        (lambda Q, rec: Q.quenda_calculation(rec, rec, 0.9, bogus=1),
         "quenda_calculation() got an unexpected keyword argument 'bogus'"),
        (lambda Q, rec: Q.quenda_calculation(rec, rec, tsquare_df=rec),
         "quenda_calculation() got multiple values for keyword argument 'tsquare_df'"),
        (lambda Q, rec: Q.quenda_calculation(bogus=1),
         "quenda_calculation() got an unexpected keyword argument 'bogus'"),
    ])
    def test_binding_errors_do_no_work(self, Q, call, message):
        class Recorder(dict):
            touched = []

            def __getitem__(self, key):
                self.touched.append(key)
                return super().__getitem__(key)

        rec = Recorder(model_dict())
        with pytest.raises(TypeError) as info:
            call(Q, rec)
        assert str(info.value) == message
        assert Recorder.touched == []

    def test_keywords_bind_like_positions(self, Q, fake):
        fake(10)
        t2, d = t2_table(40), model_dict()
        by_pos = Q.quenda_calculation(t2, d, 0.9)
        by_kw = Q.quenda_calculation(score_tightness=0.9, dictionary=d, tsquare_df=t2)
        assert list(by_kw) == list(by_pos) == KEYS
        pd.testing.assert_frame_equal(by_kw["quenda_predict"], by_pos["quenda_predict"])
        assert Q.death_probability(deadline=60, LCL=55, UCL=80, predict=70) == \
            Q.death_probability(70, 80, 55, 60)


# ---------------------------------------------------------------- death_probability

class TestDeathProbability:
    @pytest.mark.parametrize("predict, UCL, LCL, expected", [
        (70, 80, 62, 0),
        (70, 80, 55, 100 - (70.0 - 60) / (80.0 - 55)),
        (50, 60, 40, 100.0),
        (60, 70, 50, 100.0),
    ])
    def test_worked_values(self, Q, predict, UCL, LCL, expected):
        risk = Q.death_probability(predict, UCL, LCL, 60)
        assert risk == expected
        assert np.ndim(risk) == 0

    def test_result_types(self, Q):
        zero = Q.death_probability(70, 80, 62, 60)
        assert isinstance(zero, np.integer) and zero == 0
        risk = Q.death_probability(70, 80, 55, 60)
        assert isinstance(risk, np.floating) and risk == pytest.approx(99.6, abs=1e-12)

    def test_lower_bound_equal_to_deadline_is_not_safe(self, Q):
        # Only a lower bound strictly above the deadline gives 0.
        assert Q.death_probability(70, 80, 60, 60) == 100 - 10 / 20

    @pytest.mark.parametrize("predict, UCL, LCL, expected", [
        (61.0, 60.0, 60.0, 0.0),     # zero width, mean above: 100 - 1e6 clipped
        (59.0, 59.0, 59.0, 100.0),   # zero width, mean below
        (61.0, 50.0, 55.0, 0.0),     # negative width
        (60.0, 60.0, 60.0, 100.0),   # mean on the deadline
    ])
    def test_degenerate_width(self, Q, predict, UCL, LCL, expected):
        risk = Q.death_probability(predict, UCL, LCL, 60)
        assert risk == expected and isinstance(risk, np.floating)

    def test_nan_inputs(self, Q):
        assert np.isnan(Q.death_probability(np.nan, 80, 55, 60))
        assert np.isnan(Q.death_probability(70, np.nan, 55, 60))
        assert np.isnan(Q.death_probability(70, 80, np.nan, 60))
        # A NaN mean with the band above the deadline is still safe.
        assert Q.death_probability(np.nan, 80, 62, 60) == 0

    def test_one_element_arrays_and_inputs_untouched(self, Q):
        p, u, l = np.array([70]), np.array([80]), np.array([55])
        risk = Q.death_probability(p, u, l, 60)
        np.testing.assert_array_equal(risk, [100 - 10 / 25])
        assert p.dtype.kind == "i" and p[0] == 70 and u[0] == 80 and l[0] == 55

    def test_several_values_raise_numpy_error(self, Q):
        with pytest.raises(ValueError, match="truth value of an array with more than one "
                                             "element is ambiguous"):
            Q.death_probability([70, 71], [80, 81], [55, 56], 60)

    def test_text_input_raises(self, Q):
        with pytest.raises(ValueError, match="could not convert string to float"):
            Q.death_probability("x", 80, 55, 60)


# ---------------------------------------------------------------- quenda_model

def statsmodels_reference(train, steps, deadline):
    from statsmodels.tsa.arima.model import ARIMA
    fcast = ARIMA(train, order=(1, 1, 0), trend="t").fit().get_forecast(steps=steps)
    summary = fcast.summary_frame(alpha=0.1)
    return (np.array(summary["mean"].clip(lower=0, upper=100)),
            summary["mean_ci_upper"].clip(lower=0, upper=100),
            summary["mean_ci_lower"].clip(lower=0, upper=100),
            int(np.sum(fcast.predicted_mean > deadline)),
            fcast.predicted_mean)


def score_series(n, start=95.0, slope=-0.3, first_label=0, seed=3):
    rng = np.random.default_rng(seed)
    values = start + slope * np.arange(n) + rng.normal(0.0, 0.4, n)
    return pd.Series(values, index=pd.RangeIndex(first_label, first_label + n), name="Score")


@pytest.mark.filterwarnings("ignore::UserWarning", "ignore::RuntimeWarning")
class TestQuendaModel:
    @pytest.mark.parametrize("n, steps, deadline", [(60, 30, 80.0), (90, 90, 70), (30, 15, 95)])
    def test_matches_statsmodels(self, Q, n, steps, deadline):
        train = score_series(n, first_label=7)
        predict, upper, lower, days = Q.quenda_model(train, steps, deadline)
        e_predict, e_upper, e_lower, e_days, _ = statsmodels_reference(train, steps, deadline)
        assert type(predict) is np.ndarray and predict.shape == (steps,)
        np.testing.assert_array_equal(predict, e_predict)
        pd.testing.assert_series_equal(upper, e_upper)
        pd.testing.assert_series_equal(lower, e_lower)
        assert upper.name == "mean_ci_upper" and lower.name == "mean_ci_lower"
        assert list(upper.index) == list(range(7 + n, 7 + n + steps))
        assert type(days) is int and days == e_days

    def test_input_series_untouched(self, Q):
        train = score_series(40)
        before = train.copy()
        Q.quenda_model(train, 10, 50)
        pd.testing.assert_series_equal(train, before)

    def test_mean_above_100_clipped_but_counted(self, Q):
        train = score_series(50, start=90.0, slope=0.5)
        predict, upper, lower, days = Q.quenda_model(train, 20, 60)
        *_, e_days, raw_mean = statsmodels_reference(train, 20, 60)
        assert raw_mean.max() > 100
        assert predict.max() == 100 and upper.max() == 100 and lower.max() <= 100
        assert days == 20 == e_days

    def test_falling_below_deadline_counts_zero(self, Q):
        train = score_series(50, start=40.0, slope=-0.5)
        assert Q.quenda_model(train, 15, 60)[3] == 0

    def test_warnings_pass_through(self, Q):
        train = score_series(3)
        with warnings.catch_warnings(record=True) as direct:
            warnings.simplefilter("always")
            statsmodels_reference(train, 2, 50)
        with warnings.catch_warnings(record=True) as ours:
            warnings.simplefilter("always")
            Q.quenda_model(train, 2, 50)
        assert direct and [w.category for w in ours] == [w.category for w in direct]

    def test_zero_steps_and_bad_deadline_raise(self, Q):
        train = score_series(30)
        with pytest.raises(ValueError, match="Prediction must have `end` after `start`"):
            Q.quenda_model(train, 0, 60)
        with pytest.raises(TypeError):
            Q.quenda_model(train, 5, "sixty")

    def test_call_expressions_and_step_count(self, Q, monkeypatch):
        # A stand-in model class shows how the library is driven and that the
        # count covers every step above the deadline, not the first crossing.
        seen = {}
        mean = pd.Series([70.0, 55.0, 60.0, 61.0, np.nan, 120.0], index=range(10, 16))

        class Forecast:
            predicted_mean = mean

            def summary_frame(self, **kw):
                seen["summary"] = kw
                return pd.DataFrame({"mean": mean, "mean_ci_upper": mean + 5,
                                     "mean_ci_lower": mean - 5 * 30})

        class Fitted:
            def get_forecast(self, *args, **kw):
                seen["forecast"] = (args, kw)
                return Forecast()

        class Model:
            def __init__(self, *args, **kw):
                seen["model"] = (args, kw)

            def fit(self, *args, **kw):
                seen["fit"] = (args, kw)
                return Fitted()

        monkeypatch.setattr(Q, "ARIMA", Model)
        train = score_series(10)
        predict, upper, lower, days = Q.quenda_model(train, 6, 60)
        assert seen["model"][0][0] is train
        assert seen["model"][1] == {"order": (1, 1, 0), "trend": "t"}
        assert seen["fit"] == ((), {})
        assert seen["forecast"] == ((), {"steps": 6})
        assert seen["summary"] == {"alpha": 0.1}
        np.testing.assert_array_equal(predict, [70, 55, 60, 61, np.nan, 100])
        np.testing.assert_array_equal(upper, [75, 60, 65, 66, np.nan, 100])
        np.testing.assert_array_equal(lower, [0, 0, 0, 0, np.nan, 0])
        assert days == 3  # 70, 61 and 120; not 60 (equal) nor NaN


# ---------------------------------------------------------------- quenda_calculation

@pytest.mark.filterwarnings("ignore::UserWarning", "ignore::RuntimeWarning")
class TestRealForecast:
    def test_daily_run_against_library_expressions(self, Q):
        t2, d = t2_table(40), model_dict(quenda_warning_line=88.5)
        before_t2, before_d = t2.copy(), copy.deepcopy(d)
        result = Q.quenda_calculation(t2, d, 0.9)
        assert list(result) == KEYS + ["quenda_warning_line"]
        pd.testing.assert_frame_equal(t2, before_t2)
        assert d == before_d

        history = expected_history(t2, 10.0, 0.9, "D")
        train = history.reset_index()["Score"]
        predict, upper, lower, days, _ = statsmodels_reference(train, 15, 60.0)
        table = result["quenda_predict"]
        assert list(table.columns) == ["_time", "Score", "upper_CI", "lower_CI"]
        assert list(table.index) == list(range(55))
        pd.testing.assert_series_equal(table["Score"].iloc[:40], history["Score"].reset_index(
            drop=True))
        np.testing.assert_array_equal(table["Score"].iloc[40:], predict)
        np.testing.assert_array_equal(table["upper_CI"].iloc[40:], upper)
        np.testing.assert_array_equal(table["lower_CI"].iloc[40:], lower)
        assert table[["upper_CI", "lower_CI"]].iloc[:40].isna().all().all()
        assert list(table["_time"]) == list(pd.date_range("2024-03-01", periods=55, freq="D"))
        assert result["quenda_days"] == days and type(result["quenda_days"]) is int
        risk = Q.death_probability(predict[-1], upper.iloc[-1], lower.iloc[-1], 60.0)
        assert result["death_probability"] == risk
        assert type(result["death_probability"]) is type(risk)
        assert result["unit"] == "days" and result["quenda_deadline"] is d["quenda_deadline"]
        assert result["is_error"] == "False" and result["error_code"] == "None"
        assert result["error_stage"] == "None" and result["error_message"] == "None"
        assert result["quenda_warning_line"] == 88.5

    def test_five_minute_run(self, Q):
        t2, d = t2_table(30, freq="5min"), model_dict("min")
        result = Q.quenda_calculation(t2, d, 0.8)
        history = expected_history(t2, 10.0, 0.8, "5min")
        train = history.reset_index()["Score"]
        predict, upper, lower, days, _ = statsmodels_reference(train, 15, 60.0)
        table = result["quenda_predict"]
        assert table.shape == (45, 4)
        np.testing.assert_array_equal(table["Score"].iloc[30:], predict)
        assert table["_time"].iloc[30] == t2.index[-1].floor("5min") + pd.Timedelta(minutes=5)
        assert (table["_time"].diff().iloc[1:] == pd.Timedelta(minutes=5)).all()
        assert result["quenda_days"] == 5 * days and result["unit"] == "minutes"
        assert list(result) == KEYS

    def test_one_bin_fails_at_the_forecast(self, Q):
        # Horizon 0: the library refuses a zero-step forecast.
        result = Q.quenda_calculation(t2_table(1, freq="5min"), model_dict("min"), 0.9)
        assert result["error_stage"] == "Quenda_Error_04"
        assert result["error_message"] == "Prediction must have `end` after `start`."


class TestHorizonAndHistory:
    @pytest.mark.parametrize("bins, horizon", [(30, 15), (59, 15), (60, 30), (89, 30),
                                               (90, 90), (120, 90)])
    def test_daily_horizons(self, Q, fake, bins, horizon):
        model = fake(0)
        d = model_dict()
        result = Q.quenda_calculation(t2_table(bins), d, 0.9)
        (train, h, deadline), kwargs = model.calls[0]
        assert kwargs == {} and h == horizon and type(h) is int
        assert deadline is d["quenda_deadline"]
        # At most the last 90 bins, with their row labels.
        assert list(train.index) == list(range(max(0, bins - 90), bins))
        assert result["quenda_predict"].shape == (bins + horizon, 4)

    def test_short_daily_history(self, Q, fake):
        model = fake(0)
        result = Q.quenda_calculation(t2_table(29), model_dict(), 0.9)
        assert model.calls == []
        assert list(result) == KEYS
        assert result["quenda_predict"] is np.nan and result["show"] is np.nan
        assert [result[k] for k in KEYS[1:4] + KEYS[5:]] == [
            -1, 60.0, "gray", "Quenda data is not enough", -1, "False", "None", "None", "None"]
        assert type(result["quenda_days"]) is int and type(result["death_probability"]) is int

    def test_empty_days_count_as_bins(self, Q, fake):
        model = fake(15)
        index = pd.DatetimeIndex(["2024-01-01 06:00", "2024-02-10 18:00"], name="_time")
        t2 = pd.DataFrame({"tsquare": [1.0, 2.0]}, index=index)
        result = Q.quenda_calculation(t2, model_dict(), 0.9)
        assert model.calls[0][0][1] == 15
        table = result["quenda_predict"]
        assert len(table) == 41 + 15
        assert table["Score"].iloc[1:40].isna().all()
        assert table["Score"].iloc[0] == pytest.approx(100 * 0.9 ** 0.1)
        assert table["_time"].iloc[41] == pd.Timestamp("2024-02-11")

    @pytest.mark.parametrize("bins, horizon", [(39, 19), (40, 20), (15, 7), (200, 20)])
    def test_five_minute_horizons(self, Q, fake, bins, horizon):
        model = fake(horizon)
        result = Q.quenda_calculation(t2_table(bins, freq="5min"), model_dict("min"), 0.9)
        assert model.calls[0][0][1] == horizon
        assert len(model.calls[0][0][0]) == min(bins, 90)
        assert result["quenda_predict"].shape == (bins + horizon, 4)
        if horizon < 8:
            assert (result["signal"], result["show"]) == ("red", " < 40")

    @pytest.mark.parametrize("time_scale", ["min", "H", "hour", " h", 1, None])
    def test_anything_but_h_is_five_minute(self, Q, fake, time_scale):
        fake(3)
        result = Q.quenda_calculation(t2_table(12, freq="5min"), model_dict(time_scale), 0.9)
        assert result["unit"] == "minutes" and result["quenda_days"] == 15
        assert len(result["quenda_predict"]) == 12 + 6


class TestBands:
    @pytest.mark.parametrize("bins, days, signal, show", [
        (90, 29, "red", "< 30"), (90, 30, "yellow", "30 - 90"), (90, 89, "yellow", "30 - 90"),
        (90, 90, "green", "\u2265 90"),
        (60, 29, "red", "< 30"), (60, 30, "green", "\u2265 30"),
        (30, 14, "red", "< 15"), (30, 15, "green", "\u2265 15"),
    ])
    def test_daily_bands(self, Q, fake, bins, days, signal, show):
        fake(days)
        result = Q.quenda_calculation(t2_table(bins), model_dict(), 0.9)
        assert (result["signal"], result["show"], result["quenda_days"]) == (signal, show, days)
        assert result["unit"] == "days" and result["is_error"] == "False"
        assert result["death_probability"] == 0

    @pytest.mark.parametrize("days, signal, show, minutes", [
        (20, "green", "\u2265 100", 100), (19, "yellow", "40 - 100", 95),
        (8, "yellow", "40 - 100", 40), (7, "red", " < 40", 35),
    ])
    def test_five_minute_bands(self, Q, fake, days, signal, show, minutes):
        fake(days)
        result = Q.quenda_calculation(t2_table(50, freq="5min"), model_dict("min"), 0.9)
        assert (result["signal"], result["show"], result["quenda_days"]) == (signal, show,
                                                                            minutes)
        assert type(result["quenda_days"]) is int and result["unit"] == "minutes"

    def test_risk_uses_last_step_by_position(self, Q, monkeypatch):
        def model(train, horizon, deadline):
            labels = pd.RangeIndex(1000, 1000 + horizon)[::-1]  # labels do not match positions
            predict = np.linspace(90, 70, horizon)
            upper = pd.Series(np.linspace(95, 80, horizon), index=labels)
            lower = pd.Series(np.linspace(85, 55, horizon), index=labels)
            return predict, upper, lower, 10

        monkeypatch.setattr(Q, "quenda_model", model)
        result = Q.quenda_calculation(t2_table(40), model_dict(), 0.9)
        assert result["death_probability"] == Q.death_probability(70.0, 80.0, 55.0, 60.0)
        np.testing.assert_array_equal(result["quenda_predict"]["upper_CI"].iloc[40:],
                                      np.linspace(95, 80, 15))


class TestWarningLine:
    @pytest.mark.parametrize("bins, time_scale, dictionary_extra", [
        (40, "h", {}), (29, "h", {}), (40, "h", {"ucl": "bad"}), (20, "min", {}),
    ])
    def test_twelfth_key_in_every_form(self, Q, fake, bins, time_scale, dictionary_extra):
        fake(5)
        line = object()
        freq = "D" if time_scale == "h" else "5min"
        d = model_dict(time_scale, quenda_warning_line=line, **dictionary_extra)
        result = Q.quenda_calculation(t2_table(bins, freq=freq), d, 0.9)
        assert list(result) == KEYS + ["quenda_warning_line"]
        assert result["quenda_warning_line"] is line
        del d["quenda_warning_line"]
        assert list(Q.quenda_calculation(t2_table(bins, freq=freq), d, 0.9)) == KEYS


class TestFailures:
    def check_failure(self, result, stage, message, deadline=60.0):
        assert list(result) == KEYS
        assert result["quenda_predict"] is np.nan and result["show"] is np.nan
        assert [result[k] for k in KEYS[1:4] + KEYS[5:]] == [
            -1, deadline, "gray", PROBLEM, -1, "True", "None", stage, message]

    def test_unnamed_index_fails_after_forecast(self, Q, fake):
        model = fake(5)
        result = Q.quenda_calculation(t2_table(40, name=None), model_dict(), 0.9)
        assert len(model.calls) == 1
        self.check_failure(result, "Quenda_Error_04", "'_time'")

    def test_missing_deadline_raises_to_caller(self, Q, fake):
        model = fake(5)
        d = model_dict()
        del d["quenda_deadline"]
        with pytest.raises(KeyError) as info:
            Q.quenda_calculation(t2_table(40), d, 0.9)
        assert info.value.args == ("quenda_deadline",)
        # Raised while the guarded failure was being handled.
        assert isinstance(info.value.__context__, KeyError)
        assert info.value.__context__.args == ("quenda_deadline",)
        assert model.calls == []

    def test_missing_datetime_name_raises_before_work(self, Q, monkeypatch):
        calls = []
        monkeypatch.setattr(Q.Talvo, "Health_Index", lambda *a: calls.append(a))
        d = model_dict()
        del d["datetime_name"]
        with pytest.raises(KeyError) as info:
            Q.quenda_calculation(t2_table(40), d, 0.9)
        assert info.value.args == ("datetime_name",) and calls == []

    def test_health_index_is_reached_through_talvo_at_call_time(self, Q, monkeypatch, fake):
        fake(1)
        seen = []
        real = Q.Talvo.Health_Index

        def recording(*args, **kwargs):
            seen.append((args, kwargs))
            return real(*args, **kwargs)

        monkeypatch.setattr(Q.Talvo, "Health_Index", recording)
        t2, d, tight = t2_table(30), model_dict(), 0.75
        Q.quenda_calculation(t2, d, tight)
        (args, kwargs), = seen
        assert kwargs == {} and args[0] is t2 and args[1] is d["ucl"] and args[2] is tight

    def test_replaced_talvo_module_is_used(self, Q, monkeypatch):
        monkeypatch.setattr(Q, "Talvo", types.SimpleNamespace())
        result = Q.quenda_calculation(t2_table(40), model_dict(), 0.9)
        self.check_failure(result, "Quenda_Error_01",
                           "'types.SimpleNamespace' object has no attribute 'Health_Index'")

    @pytest.mark.parametrize("mutate, stage, message", [
        (lambda t2, d: d.pop("ucl"), "Quenda_Error_01", "'ucl'"),
        (lambda t2, d: t2.rename(columns={"tsquare": "t2"}, inplace=True),
         "Quenda_Error_01", "'tsquare'"),
        (lambda t2, d: d.pop("time_scale"), "Quenda_Error_02", "'time_scale'"),
        (lambda t2, d: t2.reset_index(drop=True, inplace=True), "Quenda_Error_02",
         "Only valid with DatetimeIndex, TimedeltaIndex or PeriodIndex, but got an instance "
         "of 'RangeIndex'"),
    ])
    def test_early_stages(self, Q, fake, mutate, stage, message):
        model = fake(5)
        t2, d = t2_table(40), model_dict()
        mutate(t2, d)
        self.check_failure(Q.quenda_calculation(t2, d, 0.9), stage, message)
        assert model.calls == []

    @pytest.mark.parametrize("returned, stage, message", [
        (lambda h: (np.zeros(h), pd.Series(np.zeros(h)), pd.Series(np.zeros(h))),
         "Quenda_Error_04", "not enough values to unpack (expected 4, got 3)"),
        (lambda h: iter([1, 2, 3, 4, 5]), "Quenda_Error_04",
         "too many values to unpack (expected 4)"),
        (lambda h: 5, "Quenda_Error_04", "cannot unpack non-iterable int object"),
        (lambda h: (np.zeros(h), pd.Series(np.zeros(h)), pd.Series(np.zeros(h)), "many"),
         "Quenda_Error_05", "'<' not supported between instances of 'str' and 'int'"),
        (lambda h: (np.zeros(h), {1, 2}, pd.Series(np.zeros(h)), 3),
         "Quenda_Error_06", "'set' type is unordered"),
        (lambda h: (np.zeros(h), pd.Series(np.zeros(h)), pd.Series(np.zeros((h, 2)).tolist()),
                    3), "Quenda_Error_07", "The truth value of an array with more than one "
         "element is ambiguous. Use a.any() or a.all()"),
    ])
    def test_later_stages(self, Q, monkeypatch, returned, stage, message):
        monkeypatch.setattr(Q, "quenda_model", lambda train, h, deadline: returned(h))
        result = Q.quenda_calculation(t2_table(40), model_dict(), 0.9)
        self.check_failure(result, stage, message)

    def test_risk_failure_stage(self, Q, fake, monkeypatch):
        fake(5)

        def broken(*args):
            raise ArithmeticError("no risk today")

        monkeypatch.setattr(Q, "death_probability", broken)
        result = Q.quenda_calculation(t2_table(40), model_dict(), 0.9)
        self.check_failure(result, "Quenda_Error_07", "no risk today")

    def test_base_exceptions_are_not_caught(self, Q, monkeypatch):
        def interrupted(*args):
            raise KeyboardInterrupt

        monkeypatch.setattr(Q, "quenda_model", interrupted)
        with pytest.raises(KeyboardInterrupt):
            Q.quenda_calculation(t2_table(40), model_dict(), 0.9)

    @pytest.mark.parametrize("tsquare_df, dictionary, error", [
        (None, None, TypeError), (None, [1, 2], TypeError), (None, "text", TypeError),
    ])
    def test_non_mapping_dictionary_raises(self, Q, tsquare_df, dictionary, error):
        with pytest.raises(error):
            Q.quenda_calculation(tsquare_df, dictionary, 0.9)

    @pytest.mark.parametrize("tsquare_df, message", [
        (None, "'NoneType' object is not subscriptable"),
        (5, "'int' object is not subscriptable"),
        ("T2", "string indices must be integers, not 'str'"),
        (pd.DataFrame(), "'tsquare'"),
        ([1.0, 2.0], "list indices must be integers or slices, not str"),
        (pd.DataFrame({"tsquare": ["a", "b"]}, index=pd.DatetimeIndex(["2024-01-01"] * 2)),
         "unsupported operand type(s) for /: 'str' and 'float'"),
    ])
    def test_odd_tables_give_failure_form(self, Q, tsquare_df, message):
        result = Q.quenda_calculation(tsquare_df, model_dict(), 0.9)
        self.check_failure(result, "Quenda_Error_01", message)
