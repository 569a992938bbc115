"""Learned limits and their lights, ISO 20816 limits and lights."""
import math

import numpy as np
import pandas as pd
import pytest

LIMITS = {"upper_warning": 16, "upper_alert": 22, "lower_warning": 4, "lower_alert": -2}
LIMIT_KEYS = ["upper_warning", "upper_alert", "lower_warning", "lower_alert"]


def readings(columns, start="2024-06-01 08:00:00", n=None):
    """A readings table stamped one second apart; scalars repeat over n rows."""
    if n is None:
        n = max((len(v) for v in columns.values() if isinstance(v, (list, np.ndarray))),
                default=2)
    data = {"_time": pd.date_range(start, periods=n, freq="s").strftime("%Y-%m-%d %H:%M:%S")}
    for name, values in columns.items():
        data[name] = values if isinstance(values, (list, np.ndarray)) else [values] * n
    return pd.DataFrame(data)


def error_text(fn, *args):
    with pytest.raises(Exception) as e:
        fn(*args)
    return str(e.value)


# ----------------------------------------------------------------- ISO 20816

class TestIsoOverall:
    @pytest.mark.parametrize("power, foundation, warning, alert", [
        (15, "Rigid", 2.8, 4.5), (300, "Rigid", 2.8, 4.5), (300.5, "Rigid", 4.5, 7.1),
        (15, "Flexible", 4.5, 7.1), (300, "Flexible", 4.5, 7.1), (301, "Flexible", 7.1, 11.0),
        (100000, "Flexible", 7.1, 11.0), (np.float64(75.0), "Rigid", 2.8, 4.5),
    ])
    def test_limit_table(self, T, power, foundation, warning, alert):
        got = T.ISO20816_overall(power, foundation)
        assert list(got.items()) == [("warning", warning), ("alert", alert),
                                     ("error_stage", "None"), ("error_message", "None")]
        assert type(got["warning"]) is float and type(got["alert"]) is float

    @pytest.mark.parametrize("power, foundation, message", [
        (14.9, "Rigid", "Power must be greater than or equal to 15 kW."),
        (float("nan"), "Flexible", "Power must be greater than or equal to 15 kW."),
        (-1, "Flexible", "Power must be greater than or equal to 15 kW."),
        (100, "rigid", "foundation_type must be 'Rigid' or 'Flexible'."),
        (5, "Concrete", "foundation_type must be 'Rigid' or 'Flexible'."),
        (100, None, "foundation_type must be 'Rigid' or 'Flexible'."),
        ("75", "Rigid", "'>=' not supported between instances of 'str' and 'int'"),
        (None, "Rigid", "'>=' not supported between instances of 'NoneType' and 'int'"),
    ])
    def test_failure_form(self, T, power, foundation, message):
        got = T.ISO20816_overall(power, foundation)
        assert list(got) == ["warning", "alert", "error_stage", "error_message"]
        assert got["warning"] is None and got["alert"] is None
        assert got["error_stage"] == "Incomplete information"
        assert got["error_message"] == message

    def test_argument_binding_errors_reach_the_caller(self, T):
        with pytest.raises(TypeError):
            T.ISO20816_overall(100)
        with pytest.raises(TypeError):
            T.ISO20816_overall(100, "Rigid", foundation="x")
        assert T.ISO20816_overall(foundation_type="Rigid", power=20)["warning"] == 2.8


class TestIsoLight:
    def test_boundaries_on_both_sides(self, T):
        df = readings({"X_Overall": 2.8, "Y_Overall": 2.81, "Z_Overall": 4.5,
                       "R_Overall": 4.51, "Temperature": 40.0})
        got = T.ISO20816_light(df, 2.8, 4.5)
        assert list(got) == ["X_Overall", "Y_Overall", "Z_Overall", "R_Overall"]
        assert [v["light"] for v in got.values()] == ["green", "yellow", "yellow", "red"]
        assert list(got["X_Overall"].items()) == [
            ("warning", 2.8), ("alert", 4.5), ("light", "green"),
            ("error_stage", "None"), ("error_message", "None")]

    def test_text_limits_rate_like_numbers_and_stay_texts(self, T):
        df = readings({"X_Overall": 2.8, "Y_Overall": 2.81, "Z_Overall": 4.51})
        warning, alert = "2.8", "4.5"
        got = T.ISO20816_light(df, warning, alert)
        assert [v["light"] for v in got.values()] == ["green", "yellow", "red"]
        assert all(v["warning"] is warning and v["alert"] is alert for v in got.values())

    def test_missing_means_are_red(self, T):
        df = readings({"X_Overall": [np.nan, np.nan], "Y_Overall": 1.0})
        got = T.ISO20816_light(df, 2.8, 4.5)
        assert got["X_Overall"]["light"] == "red" and got["Y_Overall"]["light"] == "green"
        bad_times = readings({"X_Overall": 1.0})
        bad_times["_time"] = ["soon", "later"]
        assert T.ISO20816_light(bad_times, 2.8, 4.5)["X_Overall"]["light"] == "red"

    def test_column_selection(self, T):
        df = readings({"x_overall": 9.0, "X_Overall_QC": 9.0, "Overall_percentage": 9.0,
                       "X_Peak": 9.0, "Z_Overall": 1.0, "Y_Overall": ["7", "7"]})
        assert list(T.ISO20816_light(df, 2.8, 4.5)) == ["Z_Overall"]
        none_overall = readings({"X_Peak": 9.0})
        assert T.ISO20816_light(none_overall, None, None) == {}

    def test_lazy_limit_conversion(self, T):
        df = readings({"X_Overall": 1.0, "Y_Overall": 2.0})
        got = T.ISO20816_light(df, 2.8, None)
        assert [v["light"] for v in got.values()] == ["green", "green"]
        assert got["X_Overall"]["alert"] is None
        assert T.ISO20816_light(df, None, 4.5) == \
            "float() argument must be a string or a real number, not 'NoneType'"
        assert T.ISO20816_light(df, "", 4.5) == "could not convert string to float: ''"
        # alert is read once a mean passes the warning.
        assert T.ISO20816_light(df, 1.5, "high") == "could not convert string to float: 'high'"
        # The limits are not compared with each other.
        swapped = T.ISO20816_light(df, 1.5, 1.0)
        assert [v["light"] for v in swapped.values()] == ["green", "red"]

    def test_failure_text_and_input_unchanged(self, T):
        df = readings({"X_Overall": [1.0, 3.0, 5.0]})
        before = df.copy()
        T.ISO20816_light(df, 2.8, 4.5)
        pd.testing.assert_frame_equal(df, before)
        no_time = df.drop(columns="_time")
        expected = error_text(T.compress_by_second, no_time, "_time")
        assert T.ISO20816_light(no_time, 2.8, 4.5) == expected

    def test_overall_limits_feed_the_lights(self, T):
        df = readings({"X_Overall": 3.0})
        limits = T.ISO20816_overall(75, "Rigid")
        got = T.ISO20816_light(df, limits["warning"], limits["alert"])
        assert got["X_Overall"]["light"] == "yellow"
        failed = T.ISO20816_overall(5, "Rigid")
        assert T.ISO20816_light(df, failed["warning"], failed["alert"]) == \
            "float() argument must be a string or a real number, not 'NoneType'"


# ------------------------------------------------------------- learned limits

class TestLearnedLimits:
    def test_mean_ten_std_two(self, T):
        got = T.pre_feature_training(readings({"X_Overall": [8.0, 10.0, 12.0]}))
        assert list(got) == ["X_Overall"]
        assert list(got["X_Overall"].items()) == [
            ("upper_warning", 16.0), ("upper_alert", 22.0),
            ("lower_warning", 4.0), ("lower_alert", -2.0)]
        assert all(type(v) is float for v in got["X_Overall"].values())

    def test_matches_pandas_statistics_in_family_order(self, T):
        rng = np.random.default_rng(5)
        names = ["Bearing", "X_Power_in_Band_01", "RPM", "Y_Overall", "Temperature",
                 "X_Overall_QC", "Bearing_percentage", "Gear_mesh", "Van_Pass",
                 "X_Peak_to_Peak", "x_overall", "Z_Crest_Factor"]
        df = readings({n: rng.normal(loc=3, size=50) for n in names})
        df.loc[rng.random(50) < 0.2, "Gear_mesh"] = np.nan
        shuffled = df.iloc[rng.permutation(50)]
        got = T.pre_feature_training(shuffled)
        assert list(got) == ["Y_Overall", "X_Peak_to_Peak", "Z_Crest_Factor",
                             "X_Power_in_Band_01", "Bearing", "Gear_mesh", "Van_Pass"]
        for name, entry in got.items():
            mean, std = df[name].mean(), df[name].std()
            expected = [mean + 3 * std, mean + 6 * std, mean - 3 * std, mean - 6 * std]
            assert list(entry) == LIMIT_KEYS
            assert list(entry.values()) == pytest.approx(expected, rel=1e-12, abs=1e-12)

    def test_one_row_per_second_before_statistics(self, T):
        df = pd.DataFrame({"_time": ["2024-01-01 10:00:00.2", "2024-01-01 10:00:00.8",
                                     "2024-01-01 10:00:01"],
                           "X_Overall": [100.0, 0.0, 0.0]})
        assert T.pre_feature_training(df)["X_Overall"] == dict.fromkeys(LIMIT_KEYS, 0.0)

    def test_undefined_statistics_give_nan(self, T):
        one = readings({"X_Overall": 5.0, "Bearing": 1.0}, n=1)
        got = T.pre_feature_training(one)
        assert list(got) == ["X_Overall", "Bearing"]
        assert all(math.isnan(v) for e in got.values() for v in e.values())
        df = readings({"X_Overall": 7.0, "Y_Overall": [np.nan] * 4}, n=4)
        got = T.pre_feature_training(df)
        assert got["X_Overall"] == dict.fromkeys(LIMIT_KEYS, 7.0)
        assert all(math.isnan(v) for v in got["Y_Overall"].values())

    def test_column_selection_and_empty_map(self, T):
        df = readings({"RPM": 1.0, "Temperature": 2.0, "X_Overall_QC": 3.0,
                       "X_Peak": ["1", "2"]})
        assert T.pre_feature_training(df) == {}

    def test_named_column_index_keeps_the_feature_key(self, T):
        df = readings({"X_Overall": [8.0, 10.0, 12.0], "Bearing": [1.0, 2.0, 3.0]})
        df.columns.name = "signal"
        got = T.pre_feature_training(df)
        assert list(got) == ["X_Overall", "Bearing"]
        assert got["X_Overall"]["upper_warning"] == 16.0

    def test_failures_return_texts(self, T):
        df = readings({"X_Overall": [1.0, 2.0]})
        df["_time"] = ["never", "nope"]
        assert T.pre_feature_training(df) == "NaTType does not support strftime"
        no_time = readings({"X_Overall": [1.0, 2.0]}).drop(columns="_time")
        assert T.pre_feature_training(no_time) == \
            error_text(T.compress_by_second, no_time, "_time")
        assert isinstance(T.pre_feature_training(None), str)

    def test_input_unchanged(self, T):
        df = readings({"X_Overall": [3.0, 1.0, 2.0], "Bearing_percentage": [1.0, 1.0, 1.0]})
        before = df.copy()
        T.pre_feature_training(df)
        pd.testing.assert_frame_equal(df, before)


class TestLearnedLights:
    @staticmethod
    def rate(T, means, entry):
        """Lights of constant columns X_Power_in_Band_01.. with the given means."""
        cols = {f"X_Power_in_Band_{i + 1:02d}": m for i, m in enumerate(means)}
        got = T.pre_feature_light(readings(cols), {name: entry for name in cols})
        assert not isinstance(got, str), got
        assert list(got) == list(cols)
        return [v["light"] for v in got.values()], got

    def test_all_four_limits(self, T):
        lights, got = self.rate(T, [16, 16.5, 22, 22.5, 4, 3.5, -2, -2.5, np.nan], LIMITS)
        assert lights == ["green", "yellow", "yellow", "red", "green", "yellow", "yellow",
                          "red", "red"]
        assert list(got["X_Power_in_Band_01"].items()) == list(LIMITS.items()) + \
            [("light", "green")]

    def test_upper_only_and_lower_only(self, T):
        upper = dict(LIMITS, lower_warning=None, lower_alert=None)
        assert self.rate(T, [16, 16.5, 22, 22.5, -100], upper)[0] == \
            ["green", "yellow", "yellow", "red", "green"]
        lower = dict(LIMITS, upper_warning=None, upper_alert=None)
        assert self.rate(T, [4.5, 4, -1.5, -2, 100], lower)[0] == \
            ["green", "yellow", "yellow", "red", "green"]

    def test_incomplete_pairs_get_no_light(self, T):
        half = dict(LIMITS, upper_alert=None, lower_alert=None)
        lights, got = self.rate(T, [10], half)
        assert lights == [None]
        assert list(got["X_Power_in_Band_01"].values()) == [16, None, 4, None, None]
        assert self.rate(T, [10], dict.fromkeys(LIMIT_KEYS))[0] == [None]

    def test_text_limits_and_lazy_conversion(self, T):
        texts = {k: str(v) for k, v in LIMITS.items()}
        lights, got = self.rate(T, [16, 16.5, 22.5, 3.5, -2.5], texts)
        assert lights == ["green", "yellow", "red", "yellow", "red"]
        assert all(v[k] is texts[k] for v in got.values() for k in LIMIT_KEYS)
        # Alert limits no test reaches are never converted.
        lazy = dict(LIMITS, upper_alert="n/a", lower_alert="n/a")
        assert self.rate(T, [10], lazy)[0] == ["green"]
        # Below the lower warning the upper alert is still never read.
        assert self.rate(T, [3.5], dict(LIMITS, upper_alert="n/a"))[0] == ["yellow"]
        assert T.pre_feature_light(readings({"X_Overall": 17.0}), {"X_Overall": lazy}) == \
            "could not convert string to float: 'n/a'"

    def test_missing_key_reads_as_empty_text(self, T):
        entry = {k: v for k, v in LIMITS.items() if k != "lower_alert"}
        lights, got = self.rate(T, [10], entry)
        assert lights == ["green"] and got["X_Power_in_Band_01"]["lower_alert"] == ""
        below = T.pre_feature_light(readings({"X_Overall": 3.0}), {"X_Overall": entry})
        assert below == "could not convert string to float: ''"

    def test_threshold_coverage(self, T):
        df = readings({"X_Overall": 10.0, "Bearing": 10.0})
        # A column without an entry ends the whole call.
        assert T.pre_feature_light(df, {"X_Overall": LIMITS}) == \
            "could not convert string to float: ''"
        # Entries of absent columns are never read.
        got = T.pre_feature_light(df, {"X_Overall": LIMITS, "Bearing": LIMITS, "Z_Peak": None})
        assert [v["light"] for v in got.values()] == ["green", "green"]
        assert T.pre_feature_light(df, None) == "'NoneType' object has no attribute 'get'"
        assert T.pre_feature_light(df, {"X_Overall": None, "Bearing": LIMITS}) == \
            "'NoneType' object has no attribute 'get'"
        assert T.pre_feature_light(readings({"RPM": 5.0}), None) == {}

    def test_map_learned_from_one_row_rates_red(self, T):
        learned = T.pre_feature_training(readings({"X_Overall": 3.0, "Bearing": 1.0}, n=1))
        got = T.pre_feature_light(readings({"X_Overall": [1.0, 2.0, 3.0],
                                            "Bearing": [1.0, 1.0, 1.0]}), learned)
        assert [v["light"] for v in got.values()] == ["red", "red"]

    def test_round_trip_and_inputs_unchanged(self, T):
        rng = np.random.default_rng(2)
        train = readings({"X_Overall": rng.normal(5, 1, 200), "Y_Peak": rng.normal(9, 2, 200)})
        learned = T.pre_feature_training(train)
        snapshot = {k: dict(v) for k, v in learned.items()}
        new = readings({"X_Overall": rng.normal(5, 1, 50), "Y_Peak": rng.normal(18, 0.5, 50)})
        before = new.copy()
        got = T.pre_feature_light(new, learned)
        assert [got["X_Overall"]["light"], got["Y_Peak"]["light"]] == ["green", "yellow"]
        assert learned == snapshot
        pd.testing.assert_frame_equal(new, before)
        bad = new.copy()
        bad["_time"] = "never"
        assert T.pre_feature_light(bad, learned) == "NaTType does not support strftime"
