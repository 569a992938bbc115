"""training_model end to end: codes of every position, the three diagnostic
messages, deadline modes, robustness grade, codebook gate, the stage and text
of every failure, argument binding, and what the host keeps (pickle, its own
table untouched)."""
import datetime as dt
import math
import pickle
import types

import numpy as np
import pandas as pd
import pytest
from sklearn.decomposition import PCA
from sklearn.preprocessing import MinMaxScaler, StandardScaler

from training_readings import (FAIL_FAMILY, FREQ_FAMILY, MSG_CODEBOOK, MSG_DOWNTIME,
                               MSG_NOT_SUFFICIENT, TIME_FAMILY, fine_config, make_readings)


def unbound(name):
    return f"local variable '{name}' referenced before assignment"


@pytest.fixture(scope="module")
def readings():
    """Four hours of 1 s readings."""
    return make_readings(4 * 3600, seed=1)


@pytest.fixture(scope="module")
def trained(T, readings):
    return T.training_model(readings, fine_config())


def assert_success(r):
    assert r["is_error"] == "False", (r["error_stage"], r["error_message"])
    assert r["error_stage"] == "None" and r["error_message"] == "None"


def assert_failure(r, stage, message, code="None"):
    assert r["is_error"] == "True"
    assert (r["error_stage"], r["error_message"], r["error_code"]) == (stage, message, code)
    assert len(r) == 25


# --- default codes, time scales, features and scaling -----------------------------------


class TestDefaultCodes:
    def test_minute_model_values(self, T, readings, trained):
        r = trained
        assert_success(r)
        assert len(r) == 25 and r["time_scale"] == "min" and r["error_code"] == "None"
        T2, score = r["T2"], r["Talvo_Score"]
        assert list(T2.columns) == ["tsquare"] and list(score.columns) == ["Score"]
        assert T2.index.name == "_time" and T2.index.equals(score.index)
        # Per-minute buckets on every prepared row: 4 hours of full minutes.
        assert len(T2) == 240
        assert T2.index[0] == pd.Timestamp("2024-03-01 00:00:00")
        assert T2.index[-1] == pd.Timestamp("2024-03-01 03:59:00")
        rec = r["indicator_col_name"]
        assert isinstance(rec, types.SimpleNamespace)
        assert list(vars(rec)) == ["time", "frequency", "fail_mode"]
        assert (rec.time, rec.frequency, rec.fail_mode) == (TIME_FAMILY, FREQ_FAMILY, FAIL_FAMILY)
        pca = r["pca"]
        assert isinstance(pca, PCA) and pca.n_features_in_ == 108
        p = pca.n_components_
        assert 2 <= p < 108
        assert r["mu"].shape == (p,) and r["cov"].shape == (p, p)
        scaler = r["scaler"]
        assert type(scaler) is StandardScaler and scaler.n_features_in_ == 108
        # Score = 100 * 0.9 ** (T2 / ucl).
        np.testing.assert_allclose(score["Score"].values,
                                   100 * 0.9 ** (T2["tsquare"].values / r["ucl"]), rtol=1e-12)
        assert r["training_anomalies"] == pytest.approx(
            np.mean(T2["tsquare"].values > r["ucl"]), abs=0)
        assert 0.0 <= r["model_bias"] <= 1.0
        assert r["training_model_robust_index"] == round(
            1 - max(r["training_anomalies"], r["model_bias"]), 2)
        expected_status = "verify" if r["training_model_robust_index"] >= 0.9 else "warning"
        assert r["training_model_robust_status"] == expected_status
        assert r["start_time"] == "2024-03-01 00:00:00"
        assert r["end_time"] == "2024-03-01 03:59:59"

    def test_deadline_mode_1_is_the_score_at_its_T2(self, T, trained):
        r = trained
        ts = r["T2"]["tsquare"]
        t = r["quenda_deadline_t_square"]
        assert isinstance(t, float)
        assert t == pytest.approx(ts.mean() + 12 * ts.std(ddof=1), rel=1e-12)
        at_t = T.Health_Index(pd.DataFrame({"tsquare": [t]}), r["ucl"], 0.9)["Score"].iloc[0]
        assert r["quenda_deadline"] == pytest.approx(at_t, rel=1e-12)
        assert 0.0 <= r["quenda_deadline"] < 100.0
        assert "quenda_warning_line" not in r

    def test_build_time_reads_datetime_now_through_the_module(self, T, readings, monkeypatch):
        class Frozen(dt.datetime):
            @classmethod
            def now(cls, tz=None):
                return cls(2031, 2, 3, 4, 5, 6)

        monkeypatch.setattr(T, "datetime", Frozen)
        r = T.training_model(readings.iloc[:1800], fine_config())
        assert_success(r)
        assert r["build_time"] == "2031-02-03 04:05:06"

    def test_codes_with_blanks_parse_like_trimmed_codes(self, T, readings):
        r = T.training_model(readings.iloc[:1800], " 0, 1 ,0,1 , 2,1,1 ,1 ")
        assert_success(r)
        assert r["time_scale"] == "min"
        assert r["algo_config"] == " 0, 1 ,0,1 , 2,1,1 ,1 "


@pytest.fixture(scope="module")
def thin_hour_readings():
    """Six full hours, an hour holding 1799 rows and one holding exactly 1800."""
    start = pd.Timestamp("2024-03-02 00:00:00")
    full = pd.date_range(start, periods=6 * 3600, freq="s")
    thin = pd.date_range(start + pd.Timedelta(hours=6), periods=1799, freq="s")
    half = pd.date_range(start + pd.Timedelta(hours=7), periods=1800, freq="2s")
    return make_readings(0, seed=2, times=full.append(thin).append(half))


class TestHourScale:
    def test_thin_hours_dropped_and_h_stored(self, T, thin_hour_readings):
        r = T.training_model(thin_hour_readings, fine_config(time_scale="1"))
        assert_success(r)
        assert r["time_scale"] == "h"
        hours = [t.hour for t in r["T2"].index]
        assert hours == [0, 1, 2, 3, 4, 5, 7]
        assert r["T2"].index.name == "_time"

    def test_minute_scale_keeps_the_thin_hour(self, T, thin_hour_readings):
        r = T.training_model(thin_hour_readings, fine_config())
        assert_success(r)
        idx = r["T2"].index
        assert (idx.hour == 6).sum() == 30  # 06:00 to 06:29, all minutes with readings
        assert r["start_time"] == "2024-03-02 00:00:00"
        assert r["end_time"] == "2024-03-02 07:59:58"


def rolling_rows(n, window, step):
    return (n - window) // step + 1


@pytest.mark.parametrize("scale", ["1", "2", "3"])
@pytest.mark.parametrize("features", ["1", "2", "3", "4"])
def test_feature_and_scale_codes(T, readings, features, scale):
    r = T.training_model(readings, fine_config(features=features, scale=scale))
    assert_success(r)
    n = len(readings)
    expected_rows = {"1": 240, "2": rolling_rows(n, 120, 60), "3": rolling_rows(n, 3600, 1800),
                     "4": rolling_rows(n, 60, 30)}[features]
    T2 = r["T2"]
    assert len(T2) == expected_rows == len(r["Talvo_Score"])
    assert T2.index.name == ("_time" if features == "1" else None)
    assert isinstance(T2.index, pd.DatetimeIndex)
    if features != "1":
        # Rolling windows are stamped with the time of their last row.
        assert T2.index[0] == pd.Timestamp("2024-03-01") + pd.Timedelta(
            seconds={"2": 119, "3": 3599, "4": 59}[features])
    pca = r["pca"]
    assert pca.n_features_in_ == 108
    assert 2 <= pca.n_components_ <= min(expected_rows - 1, 108)
    scaler = r["scaler"]
    if scale == "1":
        assert type(scaler) is StandardScaler and not hasattr(scaler, "n_features_in_")
    elif scale == "2":
        assert type(scaler) is StandardScaler and scaler.n_features_in_ == 108
    else:
        assert type(scaler) is MinMaxScaler and scaler.n_features_in_ == 108
    assert 0.0 <= r["quenda_deadline"] <= 100.0


@pytest.mark.parametrize("families, widths", [("2", (12, 30, 0)), ("3", (0, 30, 0))])
def test_feature_family_codes(T, readings, families, widths):
    r = T.training_model(readings.iloc[:3600], fine_config(families=families))
    assert_success(r)
    rec = r["indicator_col_name"]
    assert tuple(map(len, (rec.time, rec.frequency, rec.fail_mode))) == widths
    n_t, n_f, n_m = widths
    assert r["pca"].n_features_in_ == 2 * (n_t + n_f + n_m) + n_t
    assert rec.frequency == FREQ_FAMILY


def test_unknown_feature_mode_models_the_prepared_readings(T, readings):
    # No extraction: the prepared readings themselves (time-indexed, numeric,
    # without percentage and QC columns) are the feature table.
    part = readings.iloc[:600]
    r = T.training_model(part, fine_config(features="9"))
    assert_success(r)
    assert len(r["T2"]) == 600 and r["T2"].index.name == "_time"
    # RPM, 48 indicators and Temperature.
    assert r["pca"].n_features_in_ == 50
    assert r["scaler"].feature_names_in_[0] == "RPM"


def test_low_resolution_columns_leave_the_families(T, readings):
    df = readings.iloc[:3600].copy()
    df["Z_Power_in_Band_07"] = 0.001 * (df["Z_Power_in_Band_07"] - 1.0)
    df["Looseness"] = 0.0
    plain = T.training_model(df, fine_config(low_res="0"))
    screened = T.training_model(df, fine_config(low_res="1"))
    assert_success(plain)
    assert_success(screened)
    assert "Z_Power_in_Band_07" in plain["indicator_col_name"].frequency
    rec = screened["indicator_col_name"]
    assert "Z_Power_in_Band_07" not in rec.frequency and "Looseness" not in rec.fail_mode
    assert len(rec.frequency) == 29 and len(rec.fail_mode) == 5 and len(rec.time) == 12
    assert screened["pca"].n_features_in_ == 108 - 4


# --- deadline mode 2 --------------------------------------------------------------------


def test_deadline_mode_2(T, readings):
    r = T.training_model(readings.iloc[:3600], fine_config(deadline="2"))
    assert_success(r)
    keys = list(r)
    assert len(keys) == 26 and keys[-1] == "quenda_warning_line"
    assert keys[-4:-1] == ["build_time", "start_time", "end_time"]
    assert type(r["quenda_deadline"]) is int and r["quenda_deadline"] == 0
    assert r["quenda_deadline_t_square"] == float("inf")
    ts = r["T2"]["tsquare"]
    warn_t = ts.mean() + 24 * ts.std()
    at_warn = T.Health_Index(pd.DataFrame({"tsquare": [warn_t]}), r["ucl"], 0.9)["Score"][0]
    assert r["quenda_warning_line"] == pytest.approx(max(at_warn, 0.0), rel=1e-12)
    assert isinstance(r["quenda_warning_line"], float)


# --- robustness grade -------------------------------------------------------------------


def force_rates(T, monkeypatch, anomaly_rate, spe_ratio):
    real_spe = T.SPE_residual

    def spe(*args, **kwargs):
        res = real_spe(*args, **kwargs)
        return (res[0], res[1], res[2], spe_ratio)

    monkeypatch.setattr(T, "T2_Anomaly_Rate", lambda values, ucl: anomaly_rate)
    monkeypatch.setattr(T, "SPE_residual", spe)


class TestRobustness:
    @pytest.mark.parametrize("rate, spe, index, status", [
        (np.float64(0.1), np.float64(0.0), 0.9, "verify"),
        (np.float64(0.0), np.float64(0.1), 0.9, "verify"),
        (np.float64(0.11), np.float64(0.02), 0.89, "warning"),
        (np.float64(0.104), np.float64(0.0), 0.9, "verify"),  # 0.896 rounds up to 0.9
        (np.float64(0.0), np.float64(0.0), 1.0, "verify"),
    ])
    def test_index_and_status(self, T, readings, monkeypatch, rate, spe, index, status):
        force_rates(T, monkeypatch, rate, spe)
        r = T.training_model(readings.iloc[:1800], fine_config())
        assert_success(r)
        assert r["training_model_robust_index"] == index
        assert type(r["training_model_robust_index"]) is np.float64
        assert r["training_model_robust_status"] == status
        assert r["training_anomalies"] is rate and r["model_bias"] is spe

    def test_interpreter_max_keeps_a_leading_nan(self, T, readings, monkeypatch):
        # max(nan, x) is nan and max(x, nan) is x, as the interpreter's max gives.
        force_rates(T, monkeypatch, np.float64("nan"), np.float64(0.05))
        r = T.training_model(readings.iloc[:1800], fine_config())
        assert math.isnan(r["training_model_robust_index"])
        assert r["training_model_robust_status"] == "warning"
        force_rates(T, monkeypatch, np.float64(0.05), np.float64("nan"))
        r = T.training_model(readings.iloc[:1800], fine_config())
        assert r["training_model_robust_index"] == 0.95
        assert r["training_model_robust_status"] == "verify"


# --- codebook ---------------------------------------------------------------------------


def codebook(setup_name=..., x_overall_min=0.0):
    cb = {"config": {"axis": {"X": {"time_domain": [{"type": "overall_rms",
                                                      "min": x_overall_min}]}}}}
    if setup_name is not ...:
        cb["setup_name"] = setup_name
    return cb


class TestCodebook:
    REMOVES_ALL = 1e9

    def test_setup_name_none_text_is_not_applied(self, T, readings, capsys):
        cb = codebook("None", self.REMOVES_ALL)
        r = T.training_model(readings.iloc[:1800], fine_config(), cb)
        assert_success(r)
        assert r["codebook_setup"] is cb
        assert capsys.readouterr().out == ""

    def test_empty_mapping_is_not_applied(self, T, readings, capsys):
        cb = {}
        r = T.training_model(readings.iloc[:1800], fine_config(), cb)
        assert_success(r)
        assert r["codebook_setup"] is cb
        assert capsys.readouterr().out == ""

    @pytest.mark.parametrize("name", [..., None, "pump-7"], ids=["missing", "null", "text"])
    def test_setting_without_none_name_is_applied(self, T, readings, capsys, name):
        cb = codebook(name, self.REMOVES_ALL)
        r = T.training_model(readings.iloc[:1800], fine_config(), cb)
        assert r["is_error"] == "True"
        assert r["error_code"] in (MSG_CODEBOOK, MSG_DOWNTIME, MSG_NOT_SUFFICIENT)
        out = capsys.readouterr().out.splitlines()
        assert out[-3:] == ["原始筆數: 1800", "保留筆數: 0", "刪除筆數: 1800"]

    def test_filter_keeps_rows_within_limits(self, T, readings, capsys):
        part = readings.iloc[:3600]
        limit = part["X_Overall"].quantile(0.5)
        r = T.training_model(part, fine_config(), codebook("pump-7", limit))
        assert_success(r)
        kept = int((part["X_Overall"] >= limit).sum())
        assert capsys.readouterr().out.splitlines()[-2] == f"保留筆數: {kept}"
        # Start and end times are taken before the filter.
        assert r["start_time"] == "2024-03-01 00:00:00"
        assert r["end_time"] == "2024-03-01 00:59:59"

    @pytest.mark.parametrize("features, stage, message", [
        ("1", "Error_06", "No objects to concatenate"),
        ("2", "Error_06", "index -1 is out of bounds for axis 0 with size 0"),
    ])
    def test_filter_removing_every_row_fails_with_the_message(self, T, readings, features,
                                                              stage, message):
        r = T.training_model(readings.iloc[:1800], fine_config(features=features),
                             codebook("pump-7", self.REMOVES_ALL))
        assert_failure(r, stage, message, code=MSG_CODEBOOK)

    def test_later_message_replaces_earlier(self, T, readings):
        # Empty after the codebook, no extraction (still empty), no scaling:
        # the size test records the third message before the model fit fails.
        r = T.training_model(readings.iloc[:600], fine_config(features="9", scale="1"),
                             codebook(None, self.REMOVES_ALL))
        assert r["is_error"] == "True" and r["error_stage"] == "Error_08"
        assert r["error_code"] == MSG_NOT_SUFFICIENT


# --- failure handling: one case per cause -----------------------------------------------


def sparse_readings(n_rows=200):
    """One reading every two minutes: every minute bucket holds one reading,
    so its standard deviation is missing and the feature table is empty."""
    times = pd.date_range("2024-03-01", periods=n_rows, freq="2min")
    return make_readings(0, seed=3, times=times)


def raising(exc):
    def f(*args, **kwargs):
        raise exc
    return f


class TestFailureStages:
    def test_no_time_column(self, T, readings):
        r = T.training_model(readings.drop(columns="_time"), fine_config())
        assert_failure(r, "Error_01", "'_time'")

    def test_frame_the_compression_cannot_handle(self, T):
        # The per-second step starts by copying its table.
        r = T.training_model("not a table", fine_config())
        assert_failure(r, "Error_01", "'str' object has no attribute 'copy'")

    @pytest.mark.parametrize("config, message", [
        ("0,1,0,1,2,1,1", "need more than 7 values to unpack"),
        ("0", "need more than 1 value to unpack"),
        ("0,1,0,1,2,1,1,1,1", "too many values to unpack (expected 8)"),
        (12345678, "'int' object has no attribute 'split'"),
        (None, "'NoneType' object has no attribute 'split'"),
    ])
    def test_config_not_eight_codes(self, T, readings, config, message):
        assert_failure(T.training_model(readings.iloc[:600], config), "Error_02", message)

    def test_every_time_unparsable(self, T, readings):
        df = readings.iloc[:600].copy()
        df["_time"] = "not a time"
        assert_failure(T.training_model(df, fine_config()), "Error_03",
                       "NaTType does not support strftime")

    def test_codebook_malformed(self, T, readings):
        r = T.training_model(readings.iloc[:600], fine_config(), {"setup_name": "a"})
        assert_failure(r, "Error_03", "'config'")

    def test_codebook_without_get(self, T, readings):
        r = T.training_model(readings.iloc[:600], fine_config(), ["setting"])
        assert_failure(r, "Error_03", "'list' object has no attribute 'get'")

    def test_time_scale_unknown_with_bucket_features(self, T, readings):
        r = T.training_model(readings.iloc[:600], fine_config(time_scale="2"))
        assert_failure(r, "Error_06", unbound("time_scale"))

    def test_time_scale_read_before_record_in_bucket_mode(self, T, readings):
        r = T.training_model(readings.iloc[:600], fine_config(time_scale="2", families="7"))
        assert_failure(r, "Error_06", unbound("time_scale"))

    @pytest.mark.parametrize("features", ["1", "2", "3", "4"])
    def test_feature_setting_unknown(self, T, readings, features):
        r = T.training_model(readings.iloc[:600], fine_config(families="4", features=features))
        assert_failure(r, "Error_06", unbound("indicator_col_name"))

    @pytest.mark.parametrize("name", ["feature_extraction", "feature_extraction_rolling"])
    def test_feature_extraction_failing(self, T, readings, monkeypatch, name):
        monkeypatch.setattr(T, name, raising(RuntimeError("extractor broke")))
        features = "1" if name == "feature_extraction" else "2"
        r = T.training_model(readings.iloc[:600], fine_config(features=features))
        assert_failure(r, "Error_06", "extractor broke")

    def test_extractor_result_not_a_pair(self, T, readings, monkeypatch):
        monkeypatch.setattr(T, "feature_extraction", lambda df, rec, scale: (df, rec, None))
        r = T.training_model(readings.iloc[:600], fine_config())
        assert_failure(r, "Error_06", "too many values to unpack (expected 2)")

    @pytest.mark.parametrize("scale", ["2", "3"])
    def test_scaling_an_empty_feature_table(self, T, scale):
        r = T.training_model(sparse_readings(), fine_config(scale=scale))
        name = "StandardScaler" if scale == "2" else "MinMaxScaler"
        assert_failure(r, "Error_07",
                       "Found array with 0 sample(s) (shape=(0, 108)) while a minimum of 1 is "
                       f"required by {name}.", code=MSG_DOWNTIME)

    def test_scale_setting_unknown(self, T, readings):
        r = T.training_model(readings.iloc[:600], fine_config(scale="0"))
        assert_failure(r, "Error_08", unbound("df_scaled"))

    def test_health_model_chain_failing(self, T, readings):
        # 90 rows in windows of 60 every 30: two feature rows, too few for the
        # T2 limit's degrees of freedom.
        r = T.training_model(readings.iloc[:90], fine_config(features="4"))
        assert_failure(r, "Error_08", "division by zero", code=MSG_NOT_SUFFICIENT)

    @pytest.mark.parametrize("name", ["health_modeling", "cal_T2", "Health_Index",
                                      "T2_Anomaly_Rate", "SPE_residual"])
    def test_each_model_function_failing(self, T, readings, monkeypatch, name):
        monkeypatch.setattr(T, name, raising(ValueError(f"{name} failed")))
        r = T.training_model(readings.iloc[:600], fine_config())
        assert_failure(r, "Error_08", f"{name} failed")

    @pytest.mark.parametrize("model", ["0", "2", ""])
    def test_model_setting_other_than_1(self, T, readings, model):
        r = T.training_model(readings.iloc[:600], fine_config(model=model))
        assert_failure(r, "Error_09", unbound("T2"))

    # Without the model the T2 statistics are read only by the two deadline
    # modes; with neither, the robustness step meets its unset rate first.
    @pytest.mark.parametrize("deadline, name", [("1", "T2"), ("2", "T2"), ("0", "ucl_anomaly_rate"),
                                                ("3", "ucl_anomaly_rate")])
    def test_model_setting_off_by_deadline_mode(self, T, readings, deadline, name):
        r = T.training_model(readings.iloc[:600], fine_config(model="0", deadline=deadline))
        assert_failure(r, "Error_09", unbound(name))

    @pytest.mark.parametrize("deadline", ["0", "3", "12"])
    def test_deadline_setting_unknown(self, T, readings, deadline):
        r = T.training_model(readings.iloc[:600], fine_config(deadline=deadline))
        assert_failure(r, "Error_09", unbound("quenda_deadline_t_square"))

    @pytest.mark.parametrize("features", ["2", "3", "4"])
    def test_time_scale_unknown_with_rolling_features(self, T, readings, features):
        r = T.training_model(readings.iloc[:10800], fine_config(time_scale="h",
                                                                features=features))
        assert_failure(r, "Error_09", unbound("time_scale"))

    def test_record_unset_without_extraction(self, T, readings):
        r = T.training_model(readings.iloc[:600], fine_config(families="0", features="0"))
        assert_failure(r, "Error_09", unbound("indicator_col_name"))

    def test_failure_keeps_the_callers_objects_out(self, T, readings):
        cb = {"setup_name": "a"}
        r = T.training_model(readings.iloc[:600], "x", cb)
        assert r["algo_config"] is None and r["codebook_setup"] is None

    def test_keyboard_interrupt_is_not_caught(self, T, readings, monkeypatch):
        monkeypatch.setattr(T, "compress_by_second", raising(KeyboardInterrupt()))
        with pytest.raises(KeyboardInterrupt):
            T.training_model(readings.iloc[:60], fine_config())


# --- argument binding -------------------------------------------------------------------


class TestBinding:
    @pytest.fixture
    def spy(self, T, monkeypatch):
        calls = []
        real = T.compress_by_second

        def compress(*args, **kwargs):
            calls.append(args[0])
            return real(*args, **kwargs)

        monkeypatch.setattr(T, "compress_by_second", compress)
        return calls

    @pytest.mark.parametrize("args, kwargs, message", [
        ((1,), {}, "training_model() takes at least 2 positional arguments (1 given)"),
        ((), {}, "training_model() takes at least 2 positional arguments (0 given)"),
        ((1, 2, 3, 4), {}, "training_model() takes at most 3 positional arguments (4 given)"),
        ((1, 2), {"config": 3}, "training_model() got an unexpected keyword argument 'config'"),
        ((1, 2), {"df": 3}, "training_model() got multiple values for keyword argument 'df'"),
        ((), {"algo_config": "x"},
         "training_model() takes at least 2 positional arguments (0 given)"),
    ])
    def test_binding_errors_raise_before_the_pipeline(self, T, spy, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            T.training_model(*args, **kwargs)
        assert str(info.value) == message
        assert spy == []

    def test_signature(self, T):
        import inspect
        sig = inspect.signature(T.training_model)
        assert list(sig.parameters) == ["df", "algo_config", "codebook"]
        assert sig.parameters["codebook"].default is None
        assert T.training_model.__defaults__ == (None,)

    def test_forms_of_the_call_bind_alike(self, T, readings, spy):
        part = readings.iloc[:600]
        cfg = fine_config()
        results = [
            T.training_model(part, cfg),
            T.training_model(part, cfg, None),
            T.training_model(df=part, algo_config=cfg, codebook=None),
            T.training_model(part, algo_config=cfg),
            T.training_model(codebook=None, algo_config=cfg, df=part),
        ]
        assert all(df is part for df in spy) and len(spy) == 5
        for r in results:
            assert_success(r)
            assert r["algo_config"] is cfg and r["codebook_setup"] is None
            pd.testing.assert_frame_equal(r["T2"], results[0]["T2"])


# --- what the host keeps ----------------------------------------------------------------


class TestHostSide:
    def test_pickle_round_trip(self, T, trained):
        back = pickle.loads(pickle.dumps(trained))
        assert list(back) == list(trained)
        pd.testing.assert_frame_equal(back["T2"], trained["T2"])
        pd.testing.assert_frame_equal(back["Talvo_Score"], trained["Talvo_Score"])
        np.testing.assert_array_equal(back["mu"], trained["mu"])
        np.testing.assert_array_equal(back["cov"], trained["cov"])
        np.testing.assert_array_equal(back["pca"].components_, trained["pca"].components_)
        np.testing.assert_array_equal(back["scaler"].mean_, trained["scaler"].mean_)
        assert back["indicator_col_name"] == trained["indicator_col_name"]
        for key in trained:
            if not isinstance(trained[key], (pd.DataFrame, np.ndarray, PCA, StandardScaler,
                                             types.SimpleNamespace)):
                assert back[key] == trained[key] and type(back[key]) is type(trained[key]), key
        # The restored scaler and PCA still transform new rows alike.
        names = trained["scaler"].feature_names_in_
        feats = pd.DataFrame([trained["scaler"].mean_ + 0.5], columns=names)

        def project(model):
            scaled = pd.DataFrame(model["scaler"].transform(feats), columns=names)
            return model["pca"].transform(scaled)

        # Restored arrays may lie otherwise in memory, and BLAS may then add in
        # another order: agreement relative to the projection's size.
        want = project(trained)
        np.testing.assert_allclose(project(back), want, rtol=0,
                                   atol=1e-12 * np.abs(want).max())

    @pytest.mark.filterwarnings("ignore::RuntimeWarning")  # one hourly row: degenerate model
    @pytest.mark.parametrize("cfg_codes", [{}, {"features": "2", "low_res": "1"},
                                           {"time_scale": "1"}])
    def test_callers_table_unchanged(self, T, readings, cfg_codes):
        part = readings.iloc[:3600].copy()
        # Duplicate stamps, rows out of order, a blank time and a NaN cell.
        part = pd.concat([part, part.iloc[[5, 6]]]).iloc[::-1]
        part.iloc[3, 0] = "   "
        part.iloc[10, 5] = np.nan
        before = part.copy(deep=True)
        cb = codebook("pump-7", 0.0)
        cb_before = pickle.dumps(cb)
        T.training_model(part, fine_config(**cfg_codes), cb)
        pd.testing.assert_frame_equal(part, before)
        assert list(part.index) == list(before.index)
        assert pickle.dumps(cb) == cb_before


# --- the project's sample exports -------------------------------------------------------


@pytest.fixture(scope="module")
def sample_export(T):
    """Half a day of the sample generator's raw export (re-sent and
    out-of-order rows, blank and unparsable times, gaps, a downtime, a text
    column), renamed to canonical headers."""
    from examples.sample_readings import generate
    return T.rename_columns(generate(days=0.5, seed=5))


class TestSampleExport:
    @pytest.mark.parametrize("scale", ["1", "2", "3"])
    @pytest.mark.parametrize("features", ["1", "2", "3", "4"])
    def test_every_feature_and_scale_code(self, T, sample_export, features, scale):
        before = sample_export.copy(deep=True)
        r = T.training_model(sample_export, fine_config(features=features, scale=scale))
        assert_success(r)
        pd.testing.assert_frame_equal(sample_export, before)
        parsed = pd.to_datetime(sample_export["_time"], errors="coerce")
        seconds = parsed.dropna().dt.floor("s")
        assert r["start_time"] == seconds.min().strftime("%Y-%m-%d %H:%M:%S")
        assert r["end_time"] == seconds.max().strftime("%Y-%m-%d %H:%M:%S")
        n = seconds.nunique()  # one prepared row per second
        if features == "1":
            minutes = seconds.dt.floor("min").nunique()
            # Minutes with fewer than two readings lose their row (no std).
            assert 0.9 * minutes <= len(r["T2"]) <= minutes
            assert r["T2"].index.name == "_time"
        else:
            window, step = {"2": (120, 60), "3": (3600, 1800), "4": (60, 30)}[features]
            assert len(r["T2"]) == rolling_rows(n, window, step)
            assert r["T2"].index.name is None
        assert r["pca"].n_features_in_ == 108
        assert 2 <= r["pca"].n_components_ <= 40
        assert r["training_model_robust_status"] in ("verify", "warning")
