"""testing_model: the scoring pipeline end to end, its three result forms,
the short-data check, the codebook gate, the stage of every failure, and
what the host keeps (its readings untouched, the dictionary gaining only
"codebook_setup", a pickled dictionary scoring the same)."""
import datetime as dt
import pickle
import types

import numpy as np
import pandas as pd
import pytest

KEYS = ["T2", "Talvo_Score", "quenda_deadline", "suspicious_variable", "is_error",
        "error_code", "error_stage", "error_message"]

TIME = ["X_Overall", "Y_Overall", "Z_Peak"]
FREQ = ["X_Power_in_Band_01", "Y_Power_in_Band_02"]
FAIL = ["Bearing"]

# Stage functions the pipelines call besides the health-model core.
STAGES = ("compress_by_second", "feature_threshold_mapping", "codebook_df_filter",
          "feature_extraction", "feature_extraction_rolling")


def _missing():
    import algo.Talvo.Talvo as module
    return [n for n in STAGES if not hasattr(module, n)]


needs_stages = pytest.mark.skipif(bool(_missing()),
                                  reason="not in this build yet: " + ", ".join(_missing()))
pytestmark = needs_stages


def unbound(name):
    return f"local variable '{name}' referenced before assignment"


def readings(seconds, seed=0, start="2024-03-01 00:00:00", drift=0.0, times=None):
    """Readings at 1 s under canonical names: correlated indicators, quality
    companions, speed and a text column. `drift` raises X_Overall and
    Bearing steadily over the period."""
    rng = np.random.default_rng(seed)
    if times is None:
        times = pd.date_range(start, periods=seconds, freq="s")
    n = len(times)
    drivers = rng.normal(size=(n, 3))
    ramp = np.linspace(0.0, 1.0, n) * drift
    data = {}
    for j, name in enumerate(TIME + FREQ + FAIL):
        w = np.array([1.0, 0.5, 0.2]) * (1 + j % 3) / (1 + j % 2)
        data[name] = 2.0 + 0.1 * j + 0.2 * drivers @ w + 0.05 * rng.normal(size=n)
    data["X_Overall"] += ramp
    data["Bearing"] += 0.5 * ramp
    df = pd.DataFrame(data)
    df.insert(0, "_time", pd.DatetimeIndex(times).strftime("%Y-%m-%d %H:%M:%S"))
    df["Bearing_percentage"] = rng.uniform(0, 100, n)
    df["X_Overall_QC"] = 1.0
    df["RPM"] = 1480 + rng.normal(size=n)
    df["Note"] = "ok"
    return df


def config(**codes):
    """The eight codes with defaults (minutes, filter on, standard scaling,
    model, deadline 1, minute buckets) and the given positions replaced."""
    names = ["time_scale", "outlier", "low_res", "families", "scale", "model", "deadline",
             "features"]
    values = dict(zip(names, ["0", "1", "0", "1", "2", "1", "1", "1"]))
    values.update(codes)
    return ",".join(values[n] for n in names)


def features(T, df, record, code, time_scale="min"):
    """The feature table scoring builds for a code, from raw readings."""
    table = T.compress_by_second(df, "_time")[0]
    table = table[["_time"] + table.select_dtypes(include="number").columns.tolist()]
    table = table.loc[:, ["_time"] + record.time + record.frequency + record.fail_mode].copy()
    table["_time"] = pd.to_datetime(table["_time"], errors="coerce")
    table = table.dropna(subset=["_time"]).set_index("_time")
    if code in ("1", "3"):
        return T.feature_extraction(table, record, time_scale)[0]
    return T.feature_extraction_rolling(table, record, *{"2": (120, 60), "4": (60, 30)}[code])[0]


def hand_dictionary(T, code="1", scale="2", cfg=None, seconds=3 * 3600, seed=0):
    """A trained-model dictionary built from the model functions directly."""
    record = types.SimpleNamespace(time=list(TIME), frequency=list(FREQ), fail_mode=list(FAIL))
    feats = features(T, readings(seconds, seed=seed), record, code)
    if scale == "3":
        scaled, scaler = T.minmax_scale(feats)
    elif scale == "1":
        from sklearn.preprocessing import StandardScaler
        scaled, scaler = feats, StandardScaler()
    else:
        scaled, scaler = T.standardize(feats)
    mu, cov, ucl, pca = T.health_modeling(scaled)
    T2 = T.cal_T2(scaled, pca, mu, cov, scaled.index)[0]
    t2_deadline = T2["tsquare"].mean() + 12 * T2["tsquare"].std()
    return {
        "T2": T2, "Talvo_Score": T.Health_Index(T2, ucl, 0.9), "mu": mu, "cov": cov,
        "ucl": ucl, "scaler": scaler, "pca": pca, "indicator_col_name": record,
        "datetime_name": "_time", "quenda_deadline_t_square": t2_deadline,
        "quenda_deadline": max(np.exp(np.log(0.9) * (t2_deadline / ucl)) * 100, 0.0),
        "time_scale": "min", "training_anomalies": 0.0, "model_bias": 0.0,
        "training_model_robust_index": 1.0, "training_model_robust_status": "verify",
        "algo_config": cfg or config(features=code, scale=scale),
        "codebook_setup": None, "is_error": "False", "error_code": "None",
        "error_stage": "None", "error_message": "None",
        "build_time": "2024-03-01 03:00:00", "start_time": "2024-03-01 00:00:00",
        "end_time": "2024-03-01 02:59:59",
    }


@pytest.fixture(scope="module")
def model(T):
    return hand_dictionary(T)


@pytest.fixture(scope="module")
def degrading():
    """Two hours the next day, X_Overall and Bearing rising."""
    return readings(2 * 3600, seed=5, start="2024-03-02 00:00:00", drift=3.0)


def assert_failure(r, stage, message):
    assert list(r) == KEYS
    assert [r[k] for k in KEYS[:4]] == [None] * 4
    assert (r["is_error"], r["error_code"], r["error_stage"], r["error_message"]) == \
        ("True", "None", stage, message)


def assert_success(r):
    assert list(r) == KEYS
    assert (r["is_error"], r["error_code"], r["error_stage"], r["error_message"]) == \
        ("False", "None", "None", "None"), r["error_message"]


# --- success forms --------------------------------------------------------------------------


class TestBucketModes:
    @pytest.mark.parametrize("code", ["1", "3"])
    def test_one_row_per_minute_against_the_model_functions(self, T, model, degrading, code):
        d = dict(model, algo_config=config(features=code, outlier="0"))
        r = T.testing_model(degrading, d)
        assert_success(r)
        feats = features(T, degrading, d["indicator_col_name"], code)
        scaled = T.testing_scaler(feats, d["scaler"])
        T2 = T.cal_T2(scaled, d["pca"], d["mu"], d["cov"], scaled.index)[0]
        pd.testing.assert_frame_equal(r["T2"], T2)
        assert r["T2"].index.name == "_time" and len(r["T2"]) == 120
        pd.testing.assert_frame_equal(r["Talvo_Score"], T.Health_Index(T2, d["ucl"], 0.9))
        assert r["quenda_deadline"] is d["quenda_deadline"]
        expected = T.analyze_T2_anomalies(scaled, T.cal_T2(scaled, d["pca"], d["mu"], d["cov"],
                                                           scaled.index)[1],
                                          feats, T2, d["pca"], d["ucl"])
        assert r["suspicious_variable"] == expected
        assert expected in TIME + FREQ + FAIL  # the drift pushes T2 over the limit

    def test_score_is_exactly_90_where_T2_equals_ucl(self, T, model, degrading):
        first = T.testing_model(degrading, model)
        assert_success(first)
        t2 = first["T2"]["tsquare"]
        d = dict(model, ucl=float(t2.iloc[17]))
        r = T.testing_model(degrading, d)
        score = r["Talvo_Score"]["Score"]
        assert score.iloc[17] == 90.0
        assert ((score > 90.0) == (r["T2"]["tsquare"] < d["ucl"])).all()
        assert score.dtype == np.float64 and r["T2"]["tsquare"].dtype == np.float64

    def test_no_value_above_the_limit_gives_text_none(self, T, model, degrading):
        d = dict(model, ucl=1e12)
        r = T.testing_model(degrading, d)
        assert_success(r)
        assert r["suspicious_variable"] == "None"
        assert (r["Talvo_Score"]["Score"] > 99.99).all()

    def test_min_max_and_no_scaling(self, T, degrading):
        for scale in ("1", "3"):
            d = hand_dictionary(T, scale=scale, cfg=config(scale=scale, outlier="0"))
            r = T.testing_model(degrading, d)
            assert_success(r)
            feats = features(T, degrading, d["indicator_col_name"], "1")
            scaled = feats if scale == "1" else T.testing_minmax(feats, d["scaler"])
            T2 = T.cal_T2(scaled, d["pca"], d["mu"], d["cov"], scaled.index)[0]
            pd.testing.assert_frame_equal(r["T2"], T2)


class TestRollingModes:
    @pytest.mark.parametrize("code, window", [("2", 120), ("4", 60)])
    def test_one_row_of_the_mean(self, T, degrading, code, window):
        d = hand_dictionary(T, code=code)
        d["algo_config"] = config(features=code, outlier="0")
        r = T.testing_model(degrading, d)
        assert_success(r)
        feats = features(T, degrading, d["indicator_col_name"], code)
        scaled = T.testing_scaler(feats, d["scaler"])
        per_window, scores = T.cal_T2(scaled, d["pca"], d["mu"], d["cov"], scaled.index)
        T2 = r["T2"]
        assert list(T2.columns) == ["tsquare"] and len(T2) == 1
        assert T2.index[0] == per_window.index[-1] and T2.index.name is None
        assert T2["tsquare"].iloc[0] == per_window["tsquare"].mean()
        expected = 100 * 0.9 ** (per_window["tsquare"].mean() / d["ucl"])
        assert r["Talvo_Score"]["Score"].iloc[0] == pytest.approx(expected, rel=1e-12)
        pd.testing.assert_index_equal(r["Talvo_Score"].index, T2.index)
        # The root cause of the mean's excursion is sought in the first window.
        assert T2["tsquare"].iloc[0] > d["ucl"]
        first = T.analyze_T2_anomalies(scaled.iloc[:1], scores[:1], feats, T2, d["pca"],
                                       d["ucl"])
        assert r["suspicious_variable"] == first

    def test_training_code_3_scores_by_buckets(self, T, model, degrading):
        d = dict(model, algo_config=config(features="3"))
        r = T.testing_model(degrading, d)
        assert_success(r)
        assert r["T2"].index.name == "_time" and len(r["T2"]) > 1


# --- short data -----------------------------------------------------------------------------


class FrozenNow(dt.datetime):
    @classmethod
    def now(cls, tz=None):
        return cls(2025, 6, 7, 8, 9, 10, 987654)


class TestShortData:
    def test_300_rows_stop_301_rows_go_on(self, T, model, monkeypatch):
        monkeypatch.setattr(T, "datetime", FrozenNow)
        d = dict(model, algo_config=config(time_scale="1"))
        r = T.testing_model(readings(300, seed=2), d)
        assert_success(r)
        stamp = pd.Timestamp("2025-06-07 08:09:10")
        for key, column in (("T2", "tsquare"), ("Talvo_Score", "Score")):
            table = r[key]
            assert list(table.columns) == [column]
            assert table[column].tolist() == [-1.0] and table[column].dtype == np.float64
            assert list(table.index) == [stamp] and table.index.name is None
        assert r["suspicious_variable"] == "None"
        assert r["quenda_deadline"] is d["quenda_deadline"]

        r = T.testing_model(readings(301, seed=2), d)
        assert_success(r)
        assert (r["T2"]["tsquare"] >= 0).all() and r["T2"].index.name == "_time"

    def test_rows_are_counted_after_the_per_second_step(self, T, model, monkeypatch):
        monkeypatch.setattr(T, "datetime", FrozenNow)
        d = dict(model, algo_config=config(time_scale="1"))
        df = readings(301, seed=2)
        df.loc[300, "_time"] = df.loc[299, "_time"]  # 301 rows, 300 seconds
        r = T.testing_model(df, d)
        assert r["T2"]["tsquare"].tolist() == [-1.0]

    def test_rows_are_counted_after_the_codebook_filter(self, T, model, monkeypatch):
        monkeypatch.setattr(T, "datetime", FrozenNow)
        df = readings(400, seed=2)
        df.loc[:99, "X_Overall"] = -50.0  # 100 rows below the lower limit
        setup = {"setup_name": "line 3",
                 "config": {"axis": {"X": {"time_domain": [{"type": "overall_rms",
                                                            "min": -10.0}]}}}}
        d = dict(model, algo_config=config(time_scale="1"), codebook_setup=setup)
        r = T.testing_model(df, d)
        assert r["T2"]["tsquare"].tolist() == [-1.0]
        d["codebook_setup"] = None
        assert T.testing_model(df, d)["T2"]["tsquare"].tolist() != [-1.0]

    def test_minute_code_never_stops_on_the_count(self, T, model):
        d = dict(model, algo_config=config(time_scale="0", outlier="0"))
        r = T.testing_model(readings(10, seed=2), d)
        assert_success(r)
        assert len(r["T2"]) == 1 and r["T2"]["tsquare"].iloc[0] >= 0

    def test_missing_deadline_fails_at_the_check(self, T, model):
        d = dict(model, algo_config=config(time_scale="1"))
        del d["quenda_deadline"]
        assert_failure(T.testing_model(readings(50), d), "Error_02", "'quenda_deadline'")

    def test_stamp_is_read_through_the_module(self, T, model):
        d = dict(model, algo_config=config(time_scale="1"))
        before = pd.Timestamp.now().floor("s")
        r = T.testing_model(readings(50), d)
        after = pd.Timestamp.now()
        stamp = r["T2"].index[0]
        assert before <= stamp <= after and stamp == stamp.floor("s")


# --- codebook -------------------------------------------------------------------------------


def x_overall_limits(name, lower, upper):
    return {"setup_name": name,
            "config": {"axis": {"X": {"time_domain": [{"type": "overall_rms", "min": lower,
                                                       "max": upper}]}}}}


class TestCodebook:
    def test_setup_is_added_to_the_callers_dictionary(self, T, model, degrading):
        d = dict(model)
        del d["codebook_setup"]
        r = T.testing_model(degrading, d)
        assert_success(r)
        assert "codebook_setup" in d and d["codebook_setup"] is None
        assert list(d)[-1] == "codebook_setup"

    def test_setup_is_added_even_when_a_later_stage_fails(self, T, model, degrading):
        d = dict(model)
        del d["codebook_setup"]
        del d["time_scale"]
        assert T.testing_model(degrading, d)["error_stage"] == "Error_05"
        assert d["codebook_setup"] is None

    def test_setup_is_not_added_before_the_parsing_step(self, T, model, degrading):
        d = dict(model, algo_config="1,1")
        del d["codebook_setup"]
        assert T.testing_model(degrading, d)["error_stage"] == "Error_03"
        assert "codebook_setup" not in d

    def test_lower_limits_only(self, T, model, degrading, monkeypatch):
        seen = []
        real = T.codebook_df_filter

        def spy(df, threshold_map, control, verbose=True):
            out = real(df, threshold_map, control, verbose)
            seen.append((control, len(df), len(out[0])))
            return out

        monkeypatch.setattr(T, "codebook_df_filter", spy)
        df = degrading.copy()
        df.loc[120:179, "X_Overall"] = 0.0    # below the lower limit: removed
        df.loc[420:479, "X_Overall"] = 99.0   # above the upper limit: kept
        d = dict(model, algo_config=config(outlier="0"),
                 codebook_setup=x_overall_limits("line 3", 0.5, 10.0))
        r = T.testing_model(df, d)
        assert_success(r)
        assert seen == [("min", 7200, 7140)]
        # The minute of the removed rows has no readings left, so no bucket.
        assert pd.Timestamp("2024-03-02 00:02:00") not in r["T2"].index
        assert pd.Timestamp("2024-03-02 00:07:00") in r["T2"].index

    @pytest.mark.parametrize("setup", [
        x_overall_limits("None", 1e6, 2e6),
        {},
        None,
    ])
    def test_setting_not_applied(self, T, model, degrading, monkeypatch, setup):
        called = []
        monkeypatch.setattr(T, "codebook_df_filter", lambda *a, **k: called.append(a))
        d = dict(model, codebook_setup=setup)
        r = T.testing_model(degrading, d)
        assert_success(r)
        assert called == []
        plain = T.testing_model(degrading, dict(model, codebook_setup=None))
        pd.testing.assert_frame_equal(r["T2"], plain["T2"])

    def test_setting_without_a_name_is_applied(self, T, model, degrading, monkeypatch):
        seen = []
        real = T.codebook_df_filter

        def spy(df, threshold_map, control, verbose=True):
            out = real(df, threshold_map, control, verbose)
            seen.append((dict(threshold_map), control, len(out[0])))
            return out

        monkeypatch.setattr(T, "codebook_df_filter", spy)
        setup = x_overall_limits("x", 1e6, 2e6)
        del setup["setup_name"]
        r = T.testing_model(degrading, dict(model, codebook_setup=setup))
        assert seen == [({"X_Overall": {"min": 1e6, "max": 2e6}}, "min", 0)]
        assert r["is_error"] == "True"  # every row removed: nothing left to score


# --- the per-minute filter and late binding ---------------------------------------------


class TestPerMinuteFilter:
    @pytest.mark.parametrize("code, calls", [("1", 1), ("0", 0), (" 1", 1), ("2", 0)])
    def test_called_by_code_1(self, T, model, degrading, monkeypatch, code, calls):
        seen = []
        real = T.drop_outliers_by_min

        def spy(df, time_col, *rest):
            seen.append((list(df.columns), time_col, rest))
            return real(df, time_col, *rest)

        monkeypatch.setattr(T, "drop_outliers_by_min", spy)
        r = T.testing_model(degrading, dict(model, algo_config=config(outlier=code)))
        assert_success(r)
        assert len(seen) == calls
        if calls:
            assert seen[0] == (["_time"] + TIME + FREQ + FAIL, "_time", ())

    def test_filter_changes_the_result(self, T, model, degrading):
        df = degrading.copy()
        df.loc[df.index % 60 == 7, "Y_Overall"] = 50.0  # one spike a minute
        on = T.testing_model(df, dict(model, algo_config=config(outlier="1")))
        off = T.testing_model(df, dict(model, algo_config=config(outlier="0")))
        assert_success(on)
        assert_success(off)
        assert (on["T2"]["tsquare"] < off["T2"]["tsquare"]).all()


# --- failures, one per row of the failure table -----------------------------------------


class TestFailures:
    def test_no_datetime_name_raises(self, T, model, degrading):
        d = dict(model)
        del d["datetime_name"]
        with pytest.raises(KeyError, match="datetime_name"):
            T.testing_model(degrading, d)

    def test_readings_without_the_time_column(self, T, model, degrading):
        r = T.testing_model(degrading.drop(columns="_time"), model)
        assert r["error_stage"] == "Error_01" and r["is_error"] == "True"
        assert_failure(r, "Error_01", r["error_message"])

    @pytest.mark.parametrize("change, message", [
        ({"algo_config": None}, None),
        ({"algo_config": "1,1,0,1,2,1,1"}, "need more than 7 values to unpack"),
        ({"algo_config": "1,1,0,1,2,1,1,1,1"}, "too many values to unpack (expected 8)"),
        ({"codebook_setup": {"setup_name": "x", "config": {}}}, "'axis'"),
    ])
    def test_parsing_and_codebook_step(self, T, model, degrading, change, message):
        d = dict(model, **change)
        r = T.testing_model(degrading, d)
        if message is None:
            assert_failure(r, "Error_03", "'NoneType' object has no attribute 'split'")
        else:
            assert_failure(r, "Error_03", message)

    def test_no_algo_config_key(self, T, model, degrading):
        d = dict(model)
        del d["algo_config"]
        assert_failure(T.testing_model(degrading, d), "Error_03", "'algo_config'")

    def test_dictionary_without_setdefault(self, T, model, degrading):
        d = types.MappingProxyType(dict(model))
        r = T.testing_model(degrading, d)
        assert_failure(r, "Error_03", "'mappingproxy' object has no attribute 'setdefault'")

    def test_no_record(self, T, model, degrading):
        d = dict(model)
        del d["indicator_col_name"]
        assert_failure(T.testing_model(degrading, d), "Error_04", "'indicator_col_name'")

    def test_record_without_a_field(self, T, model, degrading):
        d = dict(model, indicator_col_name=types.SimpleNamespace(time=TIME, frequency=FREQ))
        assert_failure(T.testing_model(degrading, d), "Error_04",
                       "'types.SimpleNamespace' object has no attribute 'fail_mode'")

    def test_per_minute_filter_failing(self, T, model, degrading, monkeypatch):
        def broken(df, time_col, exclude_cols=None, iqr_k=1.5):
            raise RuntimeError("filter broke")
        monkeypatch.setattr(T, "drop_outliers_by_min", broken)
        assert_failure(T.testing_model(degrading, model), "Error_04", "filter broke")

    def test_stored_column_missing(self, T, model, degrading):
        r = T.testing_model(degrading.drop(columns="Y_Power_in_Band_02"), model)
        assert r["error_stage"] == "Error_05"
        assert_failure(r, "Error_05", r["error_message"])

    def test_stored_column_not_numeric(self, T, model, degrading):
        df = degrading.assign(Bearing=degrading["Bearing"].astype(str))
        r = T.testing_model(df, model)
        assert_failure(r, "Error_05", r["error_message"])

    def test_no_time_scale(self, T, model, degrading):
        d = dict(model)
        del d["time_scale"]
        assert_failure(T.testing_model(degrading, d), "Error_05", "'time_scale'")

    def test_no_scaler(self, T, model, degrading):
        d = dict(model)
        del d["scaler"]
        assert_failure(T.testing_model(degrading, d), "Error_06", "'scaler'")

    def test_scaler_that_does_not_fit(self, T, model, degrading):
        other = hand_dictionary(T, seconds=3600)
        other_scaler = T.standardize(features(T, readings(3600), other["indicator_col_name"],
                                              "1").iloc[:, :4])[1]
        r = T.testing_model(degrading, dict(model, scaler=other_scaler))
        assert_failure(r, "Error_06", r["error_message"])

    def test_scale_code_outside(self, T, model, degrading):
        r = T.testing_model(degrading, dict(model, algo_config=config(scale="4")))
        assert_failure(r, "Error_07", unbound("df_scaled"))

    def test_feature_code_outside(self, T, model, degrading):
        r = T.testing_model(degrading, dict(model, algo_config=config(features="5", scale="1")))
        assert_failure(r, "Error_07", unbound("T2"))

    def test_model_code_not_1(self, T, model, degrading):
        r = T.testing_model(degrading, dict(model, algo_config=config(model="0")))
        assert_failure(r, "Error_07", unbound("T2"))

    @pytest.mark.parametrize("key", ["pca", "mu", "cov", "ucl", "quenda_deadline"])
    def test_model_entry_missing(self, T, model, degrading, key):
        d = dict(model)
        del d[key]
        assert_failure(T.testing_model(degrading, d), "Error_07", repr(key))

    def test_root_cause_failing(self, T, model, degrading, monkeypatch):
        def broken(*args, **kwargs):
            raise IndexError("no such row")
        monkeypatch.setattr(T, "analyze_T2_anomalies", broken)
        assert_failure(T.testing_model(degrading, model), "Error_07", "no such row")

    def test_interrupts_are_not_caught(self, T, model, degrading, monkeypatch):
        def interrupted(*args, **kwargs):
            raise KeyboardInterrupt
        monkeypatch.setattr(T, "cal_T2", interrupted)
        with pytest.raises(KeyboardInterrupt):
            T.testing_model(degrading, model)


# --- binding and what the host keeps -------------------------------------------------------


class TestHost:
    def test_binding(self, T, model, degrading):
        with pytest.raises(TypeError, match=r"^testing_model\(\) takes exactly 2 positional "
                                            r"arguments \(3 given\)$"):
            T.testing_model(degrading, model, None)
        with pytest.raises(TypeError, match="unexpected keyword argument 'codebook'"):
            T.testing_model(degrading, model, codebook=None)
        r = T.testing_model(dictionary=model, df=degrading)
        assert_success(r)

    def test_inputs_are_not_changed(self, T, model, degrading):
        df = degrading.copy()
        d = dict(model)
        before = {k: v for k, v in d.items()}
        T.testing_model(df, d)
        pd.testing.assert_frame_equal(df, degrading)
        assert list(d) == list(before) and all(d[k] is before[k] for k in d)

    def test_pickled_dictionary_scores_the_same(self, T, degrading):
        if not hasattr(T, "training_model"):
            pytest.skip("training_model not in this build")
        trained = T.training_model(readings(3 * 3600, seed=4), config())
        assert trained["is_error"] == "False", trained["error_message"]
        direct = T.testing_model(degrading, trained)
        restored = pickle.loads(pickle.dumps(trained))
        again = T.testing_model(degrading, restored)
        assert_success(direct)
        assert_success(again)
        # The restored arrays may lie otherwise in memory (BLAS order).
        pd.testing.assert_frame_equal(direct["T2"], again["T2"], rtol=1e-12, atol=0)
        pd.testing.assert_frame_equal(direct["Talvo_Score"], again["Talvo_Score"], rtol=1e-12,
                                      atol=0)
        assert direct["suspicious_variable"] == again["suspicious_variable"]
        assert direct["quenda_deadline"] == again["quenda_deadline"]
