"""failure_deadline_learning: per-record preparation and T2 quantiles, the
deadlines moving only towards an earlier alarm and only after every record,
its 21-key success form and 24-key failure form with the stage of each
failure."""
import pickle
import types

import numpy as np
import pandas as pd
import pytest

from test_scoring import (FAIL, FREQ, TIME, config, features, hand_dictionary, needs_stages,
                          readings, unbound)

pytestmark = needs_stages

SUCCESS_KEYS = ["T2", "Talvo_Score", "mu", "cov", "ucl", "scaler", "pca", "indicator_col_name",
                "datetime_name", "quenda_deadline_t_square", "quenda_deadline", "time_scale",
                "training_anomalies", "model_bias", "training_model_robust_index",
                "training_model_robust_status", "algo_config", "is_error", "error_code",
                "error_stage", "error_message"]
FAILURE_KEYS = ["T2", "Talvo_Score", "mu", "cov", "ucl", "scaler", "pca", "indicator_col_name",
                "datetime_name", "quenda_deadline_t_square", "quenda_deadline", "time_scale",
                "training_anomalies", "model_bias", "training_model_robust_index",
                "training_model_robust_status", "algo_config", "build_time", "start_time",
                "end_time", "is_error", "error_code", "error_stage", "error_message"]
MISMATCH = ("The sensor features for deadline learning don\u2019t match the model\u2019s "
            "training features. Please make sure they are consistent.")


@pytest.fixture(scope="module")
def model(T):
    return hand_dictionary(T, cfg=config(outlier="0"))


@pytest.fixture(scope="module")
def healthy():
    """A record close to the training period: low T2."""
    return readings(3600, seed=21, start="2024-03-03 00:00:00")


@pytest.fixture(scope="module")
def failing():
    """A record at a failure: T2 far above the limit."""
    return readings(3600, seed=22, start="2024-03-04 00:00:00", drift=6.0)


def record_quantile(T, d, df, code="1"):
    """The record's 25 % T2 quantile through the model functions."""
    feats = features(T, df, d["indicator_col_name"], code)
    scaled = T.testing_scaler(feats, d["scaler"])
    T2 = T.cal_T2(scaled, d["pca"], d["mu"], d["cov"], scaled.index)[0]
    return T2["tsquare"].quantile(0.25)


def score(q, ucl):
    return np.exp(np.log(0.9) * q / ucl) * 100


def assert_success(r, d):
    assert list(r) == SUCCESS_KEYS
    assert (r["is_error"], r["error_stage"], r["error_message"]) == ("False", "None", "None"), \
        r["error_message"]
    for key in SUCCESS_KEYS[:9] + SUCCESS_KEYS[11:17]:
        assert r[key] is d[key], key


def assert_failure(r, stage, message, code="None"):
    assert list(r) == FAILURE_KEYS
    assert r["datetime_name"] == "_time" and r["training_model_robust_status"] == "None"
    others = [k for k in FAILURE_KEYS[:20] if k not in ("datetime_name",
                                                        "training_model_robust_status")]
    assert all(r[k] is None for k in others)
    assert (r["is_error"], r["error_code"], r["error_stage"], r["error_message"]) == \
        ("True", code, stage, message)


class TestDeadlines:
    def test_quantile_is_interpolated(self, T, model, healthy, monkeypatch):
        def five_values(df_scaled, pca, mu, cov, index):
            return pd.DataFrame({"tsquare": [5.0, 1.0, 4.0, 2.0, 3.0]}), None
        monkeypatch.setattr(T, "cal_T2", five_values)
        d = dict(model, quenda_deadline_t_square=10.0, quenda_deadline=0.0)
        r = T.failure_deadline_learning([healthy], d, None)
        assert r["quenda_deadline_t_square"] == 2.0
        assert r["quenda_deadline"] == score(2.0, d["ucl"])

    def test_lower_quantile_moves_both_deadlines(self, T, model, healthy):
        q = record_quantile(T, model, healthy)
        assert q < model["quenda_deadline_t_square"]
        r = T.failure_deadline_learning([healthy], model, None)
        assert_success(r, model)
        assert r["quenda_deadline_t_square"] == q
        assert r["quenda_deadline"] == score(q, model["ucl"])
        assert r["quenda_deadline"] > model["quenda_deadline"]
        assert r["error_code"] == "None"

    def test_higher_quantile_moves_nothing(self, T, model, failing):
        q = record_quantile(T, model, failing)
        assert q > model["quenda_deadline_t_square"]
        r = T.failure_deadline_learning([failing], model, None)
        assert_success(r, model)
        assert r["quenda_deadline_t_square"] == float(model["quenda_deadline_t_square"])
        assert r["quenda_deadline"] == float(model["quenda_deadline"])
        assert type(r["quenda_deadline_t_square"]) is float

    def test_each_deadline_moves_on_its_own(self, T, model, healthy):
        # A stored score deadline above the record's keeps its place while
        # the T2 deadline falls.
        q = record_quantile(T, model, healthy)
        d = dict(model, quenda_deadline=99.999)
        r = T.failure_deadline_learning([healthy], d, None)
        assert r["quenda_deadline_t_square"] == q and r["quenda_deadline"] == 99.999

    def test_several_records(self, T, model, healthy, failing):
        other = readings(3600, seed=23, start="2024-03-05 00:00:00", drift=1.0)
        records = [failing, healthy, other]
        qs = [record_quantile(T, model, df) for df in records]
        d = dict(model, quenda_deadline_t_square=1e9, quenda_deadline=0.0)
        r = T.failure_deadline_learning(records, d, None)
        assert_success(r, d)
        assert r["quenda_deadline_t_square"] == min(qs)
        assert r["quenda_deadline"] == max(score(q, d["ucl"]) for q in qs)

    def test_ties_take_the_records_value(self, T, model, healthy):
        q = record_quantile(T, model, healthy)
        # Stored values equal to the records': the records' objects are kept
        # (NumPy floats, where the stored ones would come back as float).
        d = dict(model, quenda_deadline_t_square=float(q),
                 quenda_deadline=float(score(q, model["ucl"])))
        r = T.failure_deadline_learning([healthy], d, None)
        assert type(r["quenda_deadline_t_square"]) is np.float64
        assert type(r["quenda_deadline"]) is np.float64

    @pytest.mark.parametrize("code", ["2", "4"])
    def test_rolling_modes_use_every_window(self, T, healthy, code):
        d = hand_dictionary(T, code=code, cfg=config(features=code, outlier="0"))
        q = record_quantile(T, d, healthy, code)
        d["quenda_deadline_t_square"] = 1e9
        r = T.failure_deadline_learning([healthy], d, None)
        assert_success(r, d)
        assert r["quenda_deadline_t_square"] == q

    def test_idempotent_on_its_own_result(self, T, model, healthy, failing):
        first = T.failure_deadline_learning([healthy, failing], model, None)
        again = T.failure_deadline_learning([healthy, failing], first, None)
        assert_success(again, first)
        assert again["quenda_deadline_t_square"] == first["quenda_deadline_t_square"]
        assert again["quenda_deadline"] == first["quenda_deadline"]

    @pytest.mark.parametrize("info", [None, "anything", {"k": 1}, object()])
    def test_info_is_ignored(self, T, model, healthy, info):
        r = T.failure_deadline_learning([healthy], model, info)
        base = T.failure_deadline_learning(dfs=[healthy], dictionary=model, info=None)
        assert r["quenda_deadline_t_square"] == base["quenda_deadline_t_square"]
        assert r["quenda_deadline"] == base["quenda_deadline"]

    def test_records_from_a_generator(self, T, model, healthy):
        r = T.failure_deadline_learning((df for df in [healthy]), model, None)
        assert r["quenda_deadline_t_square"] == record_quantile(T, model, healthy)

    def test_per_minute_filter_by_code(self, T, model, healthy, monkeypatch):
        seen = []
        real = T.drop_outliers_by_min
        monkeypatch.setattr(T, "drop_outliers_by_min",
                            lambda df, col: seen.append(col) or real(df, col))
        T.failure_deadline_learning([healthy, healthy], model, None)
        assert seen == []
        r = T.failure_deadline_learning([healthy, healthy],
                                        dict(model, algo_config=config(outlier="1")), None)
        assert seen == ["_time", "_time"] and r["is_error"] == "False"


class TestForm:
    def test_nothing_else_is_carried_over(self, T, model, healthy):
        d = dict(model, quenda_warning_line=50.0, codebook_setup={"setup_name": "x"},
                 extra="x")
        before = dict(d)
        r = T.failure_deadline_learning([healthy], d, None)
        assert_success(r, d)
        for key in ("codebook_setup", "build_time", "start_time", "end_time",
                    "quenda_warning_line", "extra"):
            assert key not in r
        assert d == before and list(d) == list(before)

    def test_result_scores_without_a_codebook(self, T, model, healthy, monkeypatch):
        r = T.failure_deadline_learning([healthy], model, None)
        called = []
        monkeypatch.setattr(T, "codebook_df_filter", lambda *a, **k: called.append(1))
        scored = T.testing_model(healthy, r)
        assert scored["is_error"] == "False" and called == []
        assert r["codebook_setup"] is None

    def test_result_pickles(self, T, model, healthy):
        r = T.failure_deadline_learning([healthy], model, None)
        back = pickle.loads(pickle.dumps(r))
        assert list(back) == SUCCESS_KEYS
        assert back["quenda_deadline"] == r["quenda_deadline"]

    def test_inputs_are_not_changed(self, T, model, healthy):
        df = healthy.copy()
        T.failure_deadline_learning([df], model, None)
        pd.testing.assert_frame_equal(df, healthy)

    def test_binding(self, T, model, healthy):
        with pytest.raises(TypeError, match=r"takes exactly 3 positional arguments \(2 given\)"):
            T.failure_deadline_learning([healthy], model)
        with pytest.raises(TypeError, match="unexpected keyword argument 'records'"):
            T.failure_deadline_learning(records=[healthy], dictionary=model, info=None)


class TestFailures:
    def test_no_datetime_name_raises(self, T, model, healthy):
        d = dict(model)
        del d["datetime_name"]
        with pytest.raises(KeyError, match="datetime_name"):
            T.failure_deadline_learning([healthy], d, None)

    def test_no_algo_config(self, T, model, healthy):
        d = dict(model)
        del d["algo_config"]
        assert_failure(T.failure_deadline_learning([healthy], d, None), "Error_02",
                       "'algo_config'")

    def test_config_of_seven_codes(self, T, model, healthy):
        d = dict(model, algo_config="0,1,0,1,2,1,1")
        assert_failure(T.failure_deadline_learning([healthy], d, None), "Error_02",
                       "need more than 7 values to unpack")

    def test_records_not_iterable(self, T, model):
        assert_failure(T.failure_deadline_learning(5, model, None), "Error_02",
                       "'int' object is not iterable")

    def test_empty_list(self, T, model):
        assert_failure(T.failure_deadline_learning([], model, None), "Error_02",
                       "zero-size array to reduction operation minimum which has no identity")

    def test_record_without_time_column(self, T, model, healthy):
        r = T.failure_deadline_learning([healthy.drop(columns="_time")], model, None)
        assert_failure(r, "Error_01", r["error_message"])

    def test_no_record_of_columns(self, T, model, healthy):
        d = dict(model)
        del d["indicator_col_name"]
        assert_failure(T.failure_deadline_learning([healthy], d, None), "Error_03",
                       "'indicator_col_name'")

    def test_per_minute_filter_failing(self, T, model, healthy, monkeypatch):
        def broken(df, time_col, exclude_cols=None, iqr_k=1.5):
            raise ValueError("filter broke")
        monkeypatch.setattr(T, "drop_outliers_by_min", broken)
        d = dict(model, algo_config=config(outlier="1"))
        assert_failure(T.failure_deadline_learning([healthy], d, None), "Error_03",
                       "filter broke")

    @pytest.mark.parametrize("change", ["drop", "text"])
    def test_record_lacking_a_model_column(self, T, model, healthy, change):
        if change == "drop":
            df = healthy.drop(columns="Z_Peak")
        else:
            df = healthy.assign(Z_Peak=healthy["Z_Peak"].astype(str))
        r = T.failure_deadline_learning([healthy, df], model, None)
        assert_failure(r, "Error_06", r["error_message"], code=MISMATCH)

    def test_mismatch_message_stays_when_a_later_record_matches(self, T, model, healthy,
                                                                monkeypatch):
        # The feature step is made tolerant so that the run goes on: the
        # message is kept in the success form.
        real = T.feature_extraction

        def tolerant(df, record, time_scale):
            kept = types.SimpleNamespace(**{k: [c for c in getattr(record, k) if c in df]
                                            for k in ("time", "frequency", "fail_mode")})
            feats = real(df, kept, time_scale)[0]
            for name in model["scaler"].feature_names_in_:
                if name not in feats:
                    feats[name] = 0.0
            return feats[list(model["scaler"].feature_names_in_)], record

        monkeypatch.setattr(T, "feature_extraction", tolerant)
        r = T.failure_deadline_learning([healthy.drop(columns="Z_Peak"), healthy], model, None)
        assert r["is_error"] == "False" and r["error_code"] == MISMATCH

    def test_no_time_scale(self, T, model, healthy):
        d = dict(model)
        del d["time_scale"]
        assert_failure(T.failure_deadline_learning([healthy], d, None), "Error_06",
                       "'time_scale'")

    def test_no_scaler(self, T, model, healthy):
        d = dict(model)
        del d["scaler"]
        assert_failure(T.failure_deadline_learning([healthy], d, None), "Error_07", "'scaler'")

    def test_scaler_that_does_not_fit(self, T, model, healthy):
        feats = features(T, healthy, model["indicator_col_name"], "1").iloc[:, :3]
        r = T.failure_deadline_learning([healthy], dict(model, scaler=T.standardize(feats)[1]),
                                        None)
        assert_failure(r, "Error_07", r["error_message"])

    def test_scale_code_outside(self, T, model, healthy):
        d = dict(model, algo_config=config(scale="0", outlier="0"))
        assert_failure(T.failure_deadline_learning([healthy], d, None), "Error_08",
                       unbound("df_scaled"))

    def test_model_code_not_1(self, T, model, healthy):
        d = dict(model, algo_config=config(model="2", outlier="0"))
        assert_failure(T.failure_deadline_learning([healthy], d, None), "Error_08",
                       unbound("quenda_deadline_failure"))

    @pytest.mark.parametrize("key", ["pca", "mu", "cov", "ucl"])
    def test_model_entry_missing(self, T, model, healthy, key):
        d = dict(model)
        del d[key]
        assert_failure(T.failure_deadline_learning([healthy], d, None), "Error_08", repr(key))

    @pytest.mark.parametrize("key", ["quenda_deadline", "quenda_deadline_t_square"])
    def test_stored_deadline_missing_or_null(self, T, model, healthy, key):
        d = dict(model)
        del d[key]
        assert_failure(T.failure_deadline_learning([healthy], d, None), "Error_08", repr(key))
        d[key] = None
        r = T.failure_deadline_learning([healthy], d, None)
        assert_failure(r, "Error_08", r["error_message"])
        assert "NoneType" in r["error_message"]

    def test_one_failing_record_moves_nothing(self, T, model, healthy):
        r = T.failure_deadline_learning([healthy, healthy.drop(columns="_time")], model, None)
        assert r["is_error"] == "True" and r["quenda_deadline"] is None
        assert r["error_stage"] == "Error_01"
