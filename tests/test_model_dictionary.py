"""The trained-model dictionary as training_model writes it: exact key order of
the success and failure forms, value types (texts "True"/"False"/"None"
against the null object), the four result flags and the exception text."""
import numpy as np
import pandas as pd
import pytest
from sklearn.decomposition import PCA
from sklearn.preprocessing import StandardScaler

from training_readings import MSG_NOT_SUFFICIENT, fine_config, make_readings

SUCCESS_KEYS = [
    "T2", "Talvo_Score", "mu", "cov", "ucl", "scaler", "pca", "indicator_col_name",
    "datetime_name", "quenda_deadline_t_square", "quenda_deadline", "time_scale",
    "training_anomalies", "model_bias", "training_model_robust_index",
    "training_model_robust_status", "algo_config", "codebook_setup", "is_error", "error_code",
    "error_stage", "error_message", "build_time", "start_time", "end_time",
]

FAILURE_KEYS = [
    "T2", "Talvo_Score", "mu", "cov", "ucl", "scaler", "pca", "indicator_col_name",
    "datetime_name", "quenda_deadline_t_square", "quenda_deadline", "time_scale",
    "training_anomalies", "model_bias", "training_model_robust_index",
    "training_model_robust_status", "algo_config", "build_time", "start_time", "end_time",
    "codebook_setup", "is_error", "error_code", "error_stage", "error_message",
]

FLAGS = ["is_error", "error_code", "error_stage", "error_message"]


@pytest.fixture(scope="module")
def small():
    return make_readings(1800, seed=7)


@pytest.fixture(scope="module")
def success(T, small):
    return T.training_model(small, fine_config())


def raising(exc):
    def f(*args, **kwargs):
        raise exc
    return f


class TestSuccessForm:
    def test_key_order(self, success):
        assert list(success) == SUCCESS_KEYS

    def test_flags_are_texts(self, success):
        assert [success[k] for k in FLAGS] == ["False", "None", "None", "None"]
        assert all(type(success[k]) is str for k in FLAGS)

    def test_value_types(self, success):
        r = success
        assert isinstance(r["T2"], pd.DataFrame) and isinstance(r["Talvo_Score"], pd.DataFrame)
        assert isinstance(r["mu"], np.ndarray) and r["mu"].ndim == 1
        assert isinstance(r["cov"], np.ndarray) and r["cov"].ndim == 2
        for key in ("ucl", "quenda_deadline_t_square", "quenda_deadline", "training_anomalies",
                    "model_bias", "training_model_robust_index"):
            assert isinstance(r[key], float), key
        assert isinstance(r["scaler"], StandardScaler) and isinstance(r["pca"], PCA)
        for key in ("datetime_name", "time_scale", "training_model_robust_status", "build_time",
                    "start_time", "end_time"):
            assert type(r[key]) is str, key
        assert r["datetime_name"] == "_time"
        assert r["codebook_setup"] is None
        for key in ("build_time", "start_time", "end_time"):
            assert pd.Timestamp(r[key]).strftime("%Y-%m-%d %H:%M:%S") == r[key]

    def test_recorded_message_travels_in_a_success(self, T, small, monkeypatch):
        # Two feature rows record "Data is not sufficient for modeling."; with a
        # model fitted elsewhere the run still completes and reports it.
        real_fit = T.health_modeling

        def fit_on_more_rows(df_scaled, alpha=0.05):
            more = pd.concat([df_scaled, df_scaled * 1.1 + 0.01, df_scaled * 0.9 - 0.02,
                              df_scaled * 1.05 + 0.03])
            return real_fit(more, alpha)

        monkeypatch.setattr(T, "health_modeling", fit_on_more_rows)
        monkeypatch.setattr(T, "SPE_residual",
                            lambda df, index, alpha: (None, None, None, np.float64(0.0)))
        r = T.training_model(small.iloc[:90], fine_config(features="4"))
        assert list(r) == SUCCESS_KEYS
        assert len(r["T2"]) == 2
        assert [r[k] for k in FLAGS] == ["False", MSG_NOT_SUFFICIENT, "None", "None"]

    def test_the_arguments_are_stored_as_given(self, T, small):
        cfg = "0,1,0,1,2,1,1,1"
        cb = {"setup_name": "None", "anything": [1, 2]}
        r = T.training_model(small, cfg, cb)
        assert r["algo_config"] is cfg and r["codebook_setup"] is cb


class TestFailureForm:
    @pytest.fixture
    def failure(self, T, small):
        return T.training_model(small, "0,1")

    def test_key_order_and_values(self, failure):
        r = failure
        assert list(r) == FAILURE_KEYS
        nulls = [k for k in FAILURE_KEYS[:21]
                 if k not in ("datetime_name", "training_model_robust_status")]
        assert all(r[k] is None for k in nulls), [k for k in nulls if r[k] is not None]
        assert r["datetime_name"] == "_time"
        assert r["training_model_robust_status"] == "None"
        assert type(r["training_model_robust_status"]) is str

    def test_flags(self, failure):
        assert [failure[k] for k in FLAGS] == ["True", "None", "Error_02",
                                                "need more than 2 values to unpack"]
        assert all(type(failure[k]) is str for k in FLAGS)

    @pytest.mark.parametrize("exc, text", [
        (ValueError("plain"), "plain"),
        (KeyError("X_Overall"), "'X_Overall'"),
        (ValueError("a", 1), "('a', 1)"),
        (RuntimeError(), ""),
        (ZeroDivisionError("division by zero"), "division by zero"),
    ])
    def test_error_message_is_str_of_the_exception(self, T, small, monkeypatch, exc, text):
        monkeypatch.setattr(T, "compress_by_second", raising(exc))
        r = T.training_model(small, fine_config())
        assert (r["error_stage"], r["error_message"]) == ("Error_01", text)

    def test_custom_exception_text(self, T, small, monkeypatch):
        class SensorError(Exception):
            def __str__(self):
                return "sensor 7 offline"

        monkeypatch.setattr(T, "low_resolution", raising(SensorError()))
        r = T.training_model(small, fine_config(low_res="1"))
        assert (r["error_stage"], r["error_message"]) == ("Error_05", "sensor 7 offline")

    def test_stage_05_only_when_screening_runs(self, T, small, monkeypatch):
        # Without screening the failure after stage 4 is reported as stage 6.
        monkeypatch.setattr(T, "feature_extraction", raising(ValueError("x")))
        r = T.training_model(small, fine_config(low_res="0"))
        assert r["error_stage"] == "Error_06"

    @pytest.mark.parametrize("name, stage", [
        ("compress_by_second", "Error_01"),
        ("feature_threshold_mapping", "Error_03"),
        ("codebook_df_filter", "Error_03"),
        ("low_resolution", "Error_05"),
        ("feature_extraction", "Error_06"),
        ("standardize", "Error_07"),
        ("health_modeling", "Error_08"),
        ("SPE_residual", "Error_08"),
    ])
    def test_stage_of_each_step(self, T, small, monkeypatch, name, stage):
        monkeypatch.setattr(T, name, raising(LookupError(name)))
        keep_all = {"setup_name": "s", "config": {"axis": {}}}
        r = T.training_model(small, fine_config(low_res="1"), keep_all)
        assert (r["error_stage"], r["error_message"]) == (stage, name)

    def test_time_scale_h_calls_the_hourly_filter_at_stage_06(self, T, small, monkeypatch):
        monkeypatch.setattr(T, "time_filter", raising(LookupError("hourly")))
        r = T.training_model(small, fine_config(time_scale="1"))
        assert (r["error_stage"], r["error_message"]) == ("Error_06", "hourly")

    def test_deadline_stage(self, T, small, monkeypatch):
        # A T2 table whose column cannot be averaged fails in the deadline step.
        class Column:
            values = np.zeros(3)

            def mean(self):
                raise RuntimeError("no mean")

            def std(self):
                return 0.0

        class Table:
            def __getitem__(self, key):
                assert key == "tsquare"
                return Column()

        monkeypatch.setattr(T, "cal_T2", lambda *args: (Table(), None))
        monkeypatch.setattr(T, "Health_Index", lambda t2, ucl, tightness: "scores")
        monkeypatch.setattr(T, "T2_Anomaly_Rate", lambda values, ucl: np.float64(0.0))
        r = T.training_model(small, fine_config())
        assert (r["error_stage"], r["error_message"]) == ("Error_09", "no mean")
