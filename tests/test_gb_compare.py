"""training_model_GB_compare: a health model of a good period, deadline and
warning line from a bad period."""
import datetime as dt
import types

import numpy as np
import pandas as pd
import pytest
from sklearn.decomposition import PCA
from sklearn.preprocessing import MinMaxScaler

from purging_readings import BANDS, needs_stage_functions, readings, record_calls

pytestmark = needs_stage_functions

KEYS = ["T2", "Talvo_Score", "mu", "cov", "ucl", "scaler", "pca", "indicator_col_name",
        "datetime_name", "quenda_deadline", "quenda_warning_line", "time_scale",
        "training_anomalies", "model_bias", "training_model_robust_index",
        "training_model_robust_status", "build_time", "start_time", "end_time"]


def good_bad(seed=0):
    good = readings(2 * 3600, seed=seed)
    bad = readings(3600, seed=seed + 1, start="2024-05-02 00:00:00", shift=1.5)
    return good, bad


def reference(T, good, bad, time_scale, frequency=BANDS):
    """The comparison by the library pieces."""
    g = good[["_time"] + good.select_dtypes(include="number").columns.tolist()].copy()
    b = bad[["_time"] + bad.select_dtypes(include="number").columns.tolist()].copy()
    g["_time"] = pd.to_datetime(g["_time"], errors="coerce")
    start = g["_time"].min().strftime("%Y-%m-%d %H:%M:%S")
    end = g["_time"].max().strftime("%Y-%m-%d %H:%M:%S")
    g = g.dropna(subset=["_time"]).set_index("_time")
    rec = types.SimpleNamespace(time=[], frequency=list(frequency), fail_mode=[])
    gf, rec = T.feature_extraction_rolling(g, rec, 120, 60)
    gs, scaler = T.minmax_scale(gf)
    mu, cov, ucl, pca = T.health_modeling(gs)
    good_T2 = T.cal_T2(gs, pca, mu, cov, gs.index)[0]
    anomalies = T.T2_Anomaly_Rate(good_T2["tsquare"].values, ucl)
    bias = T.SPE_residual(gf, gs.index, alpha=0.05)[3]
    b["_time"] = pd.to_datetime(b["_time"], errors="coerce")
    b = b.dropna(subset=["_time"]).set_index("_time")
    bf, rec = T.feature_extraction(b, rec, time_scale)
    bs = T.testing_minmax(bf, scaler)
    bad_T2 = T.cal_T2(bs, pca, mu, cov, bs.index)[0]
    m_bad, m_good = bad_T2["tsquare"].mean(), good_T2["tsquare"].mean()
    q_bad = bad_T2["tsquare"].quantile(0.05)
    return dict(T2=good_T2, ucl=ucl, mu=mu, cov=cov, good_features=gf, bad_features=bf,
                anomalies=anomalies, bias=bias, index=round(1 - max(anomalies, bias), 2),
                deadline=np.exp(np.log(0.9) * (m_bad / ucl)) * 100,
                warning=np.exp(np.log(0.9) * (((m_good + q_bad) / 2) / ucl)) * 100,
                start=start, end=end)


class TestForm:
    def test_keys_values_and_types(self, T):
        good, bad = good_bad(1)
        g0, b0 = good.copy(), bad.copy()
        r = T.training_model_GB_compare(good, bad, "min")
        assert list(r) == KEYS
        ref = reference(T, good, bad, "min")
        pd.testing.assert_frame_equal(r["T2"], ref["T2"])
        # one row per rolling window of the good period, stamped at its last row
        assert r["T2"].index.name is None and len(r["T2"]) == (7200 - 120) // 60 + 1
        assert r["T2"].index[0] == pd.Timestamp("2024-05-01 00:01:59")
        assert list(r["Talvo_Score"].columns) == ["Score"]
        np.testing.assert_allclose(r["Talvo_Score"]["Score"],
                                   100 * 0.9 ** (ref["T2"]["tsquare"] / ref["ucl"]), rtol=1e-12)
        assert r["ucl"] == ref["ucl"]
        np.testing.assert_array_equal(r["mu"], ref["mu"])
        np.testing.assert_array_equal(r["cov"], ref["cov"])
        assert type(r["scaler"]) is MinMaxScaler and isinstance(r["pca"], PCA)
        assert list(r["scaler"].feature_names_in_) == [c + "_max" for c in BANDS] + \
            [c + "_mean" for c in BANDS]
        rec = r["indicator_col_name"]
        assert isinstance(rec, types.SimpleNamespace) and list(vars(rec)) == ["time", "frequency",
                                                                            "fail_mode"]
        assert (rec.time, rec.frequency, rec.fail_mode) == ([], BANDS, [])
        assert r["datetime_name"] == "_time" and r["time_scale"] == "min"
        assert r["quenda_deadline"] == ref["deadline"]
        assert r["quenda_warning_line"] == ref["warning"]
        # the bad period sits further from the model: a lower score than the warning line
        assert r["quenda_deadline"] < r["quenda_warning_line"]
        assert r["training_anomalies"] == ref["anomalies"] and r["model_bias"] == ref["bias"]
        assert r["training_model_robust_index"] == ref["index"]
        assert r["training_model_robust_status"] == ("verify" if ref["index"] >= 0.9 else "warning")
        assert (r["start_time"], r["end_time"]) == ("2024-05-01 00:00:00", "2024-05-01 01:59:59")
        dt.datetime.strptime(r["build_time"], "%Y-%m-%d %H:%M:%S")
        for key in ("ucl", "quenda_deadline", "quenda_warning_line", "training_anomalies",
                    "model_bias", "training_model_robust_index"):
            assert isinstance(r[key], float), key
        pd.testing.assert_frame_equal(good, g0)
        pd.testing.assert_frame_equal(bad, b0)
        assert len(r) == 19

    def test_time_scale_is_passed_and_stored(self, T, monkeypatch):
        good, bad = good_bad(2)
        bad = readings(6 * 3600, seed=9, start="2024-05-02 00:00:00", shift=1.0)
        fe = record_calls(monkeypatch, T, "feature_extraction")
        r = T.training_model_GB_compare(good, bad, "h")
        assert r["time_scale"] == "h" and fe[0][0][2] == "h" and fe[0][1] == {}
        ref = reference(T, good, bad, "h")
        assert len(ref["bad_features"]) == 6
        assert r["quenda_deadline"] == ref["deadline"]


class TestColumns:
    def test_low_resolution_band_is_left_out(self, T, monkeypatch):
        good, bad = good_bad(4)
        good["Z_Power_in_Band_02"] *= 1e-5
        low = record_calls(monkeypatch, T, "low_resolution")
        r = T.training_model_GB_compare(good, bad, "min")
        # screened on the prepared good table, where the column still is
        table = low[0][0][0]
        assert "Z_Power_in_Band_02" in table.columns and table.index.name == "_time"
        assert "Bearing_percentage" not in table.columns and "X_Overall_QC" not in table.columns
        assert "Status" not in table.columns
        assert r["indicator_col_name"].frequency == BANDS[:-1]
        assert "Z_Power_in_Band_02_max" not in r["scaler"].feature_names_in_
        ref = reference(T, good, bad, "min", BANDS[:-1])
        pd.testing.assert_frame_equal(r["T2"], ref["T2"])

    def test_mixed_names_and_other_columns_have_no_effect(self, T):
        good, bad = good_bad(5)
        base = T.training_model_GB_compare(good, bad, "min")
        rng = np.random.default_rng(0)
        g2, b2 = good.copy(), bad.copy()
        for d in (g2, b2):
            d["X_Band_Overall"] = rng.normal(size=len(d))      # time family through "Overall"
            d["Y_Power_in_Band_QC"] = rng.normal(size=len(d))  # quality column
            d["Z_Band_percentage"] = rng.normal(size=len(d))   # percentage column
            d["Temperature"] = rng.normal(size=len(d))
            d["Looseness"] = rng.normal(size=len(d))
            d["Band_text"] = "7"                               # text: never selected
        r = T.training_model_GB_compare(g2, b2, "min")
        assert r["indicator_col_name"].frequency == BANDS
        pd.testing.assert_frame_equal(r["T2"], base["T2"])
        assert r["quenda_deadline"] == base["quenda_deadline"]
        assert r["quenda_warning_line"] == base["quenda_warning_line"]
        # the bad table's percentage and QC columns are never read
        b3 = bad.drop(columns=["Bearing_percentage", "X_Overall_QC"])
        assert T.training_model_GB_compare(good, b3, "min")["quenda_deadline"] == \
            base["quenda_deadline"]

    def test_unparsable_times(self, T):
        good, bad = good_bad(6)
        g2, b2 = good.copy(), bad.copy()
        g2.loc[[0, 7199], "_time"] = "not a time"
        b2.loc[[5, 9], "_time"] = None
        r = T.training_model_GB_compare(g2, b2, "min")
        assert (r["start_time"], r["end_time"]) == ("2024-05-01 00:00:01", "2024-05-01 01:59:58")
        ref = reference(T, g2, b2, "min")
        pd.testing.assert_frame_equal(r["T2"], ref["T2"])
        assert r["quenda_deadline"] == ref["deadline"]


class TestRobustness:
    @pytest.mark.parametrize("rate,index,status", [(0.1, 0.9, "verify"), (0.11, 0.89, "warning")])
    def test_threshold(self, T, monkeypatch, rate, index, status):
        good, bad = good_bad(7)
        monkeypatch.setattr(T, "T2_Anomaly_Rate", lambda v, ucl: np.float64(rate))
        real_spe = T.SPE_residual
        monkeypatch.setattr(T, "SPE_residual",
                            lambda *a, **k: (*real_spe(*a, **k)[:3], np.float64(0.0)))
        r = T.training_model_GB_compare(good, bad, "min")
        assert (r["training_model_robust_index"], r["training_model_robust_status"]) == \
            (index, status)

    def test_calls_made(self, T, monkeypatch):
        good, bad = good_bad(8)
        spe = record_calls(monkeypatch, T, "SPE_residual")
        mm = record_calls(monkeypatch, T, "minmax_scale")
        roll = record_calls(monkeypatch, T, "feature_extraction_rolling")
        tm = record_calls(monkeypatch, T, "testing_minmax")
        fit = record_calls(monkeypatch, T, "health_modeling")
        r = T.training_model_GB_compare(good, bad, "min")
        assert roll[0][0][2:] == (120, 60) and len(mm) == 1 and len(fit) == 1
        assert fit[0][1] == {} and len(fit[0][0]) == 1
        assert spe[0][1] == {"alpha": 0.05} and len(spe[0][0]) == 2
        assert list(spe[0][0][0].columns) == list(r["scaler"].feature_names_in_)
        assert spe[0][0][1].equals(r["T2"].index)
        assert tm[0][0][1] is r["scaler"]
        assert tm[0][0][0].index.name == "_time"


class TestFailures:
    def test_missing_time_column(self, T):
        good, bad = good_bad(9)
        with pytest.raises(KeyError):
            T.training_model_GB_compare(good.drop(columns="_time"), bad, "min")
        with pytest.raises(KeyError):
            T.training_model_GB_compare(good, bad.drop(columns="_time"), "min")

    def test_no_good_time_parses(self, T):
        good, bad = good_bad(10)
        with pytest.raises(ValueError):
            T.training_model_GB_compare(good.assign(_time="x"), bad, "min")

    def test_no_frequency_column_left(self, T, monkeypatch):
        good, bad = good_bad(11)
        # nothing left to scale: the scaler's own error
        with pytest.raises(ValueError, match="at least one array or dtype is required"):
            T.training_model_GB_compare(good.drop(columns=BANDS), bad, "min")
        # every band screened out: the record's three lists are empty
        roll = record_calls(monkeypatch, T, "feature_extraction_rolling")
        monkeypatch.setattr(T, "low_resolution", lambda d: list(BANDS))
        with pytest.raises(ValueError, match="at least one array or dtype is required"):
            T.training_model_GB_compare(good, bad, "min")
        rec = roll[0][0][1]
        assert (rec.time, rec.frequency, rec.fail_mode) == ([], [], [])

    def test_bad_table_lacking_a_band(self, T):
        good, bad = good_bad(12)
        with pytest.raises(KeyError):
            T.training_model_GB_compare(good, bad.drop(columns=BANDS[0]), "min")

    def test_binding(self, T):
        f = T.training_model_GB_compare
        assert f.__defaults__ is None
        with pytest.raises(TypeError, match=r"^training_model_GB_compare\(\) takes exactly 3 "
                                            r"positional arguments \(2 given\)$"):
            f(1, 2)
        with pytest.raises(TypeError, match=r"takes exactly 3 positional arguments \(4 given\)"):
            f(1, 2, 3, 4)
        with pytest.raises(TypeError, match=r"got an unexpected keyword argument 'scale'$"):
            f(1, 2, scale="min")
        with pytest.raises(TypeError, match=r"got multiple values for keyword argument 'df_good'"):
            f(1, 2, 3, df_good=1)
        good, bad = good_bad(13)
        r = f(time_scale="min", df_bad=bad, df_good=good)
        assert list(r) == KEYS
