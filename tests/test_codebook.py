"""Codebook setting -> threshold map, and the row filter that applies it."""
import copy

import numpy as np
import pandas as pd
import pytest


def setting():
    return {
        "setup_name": "pump-7",
        "config": {
            "axis": {
                "X": {
                    "time_domain": [
                        {"type": "overall_rms", "min": 0, "max": 2500},
                        {"type": "peak", "min": 100},
                        {"type": "peak_to_peak", "max": 4000.5},
                    ],
                    "power_in_band": [{"type": "Power_in_band_01", "min": 0.1, "max": 9}],
                },
                "Z": {
                    "time_domain": [{"type": "crest_factor"}],
                    "ignored": [{"type": "overall_rms"}],
                },
                7: {"power_in_band": [{"type": "power_in_band_in_band_02", "min": 1}]},
            },
            "fail_mode_thresholds": [
                {"type": "gear_mesh", "max": 3},
                {"type": "Van_pass", "min": 0},
                {"type": "van_pass", "min": 5},
                {"type": "vibration_x", "min": 1, "max": 2},
            ],
        },
    }


class TestThresholdMap:
    def test_full_setting(self, T):
        got = T.feature_threshold_mapping(setting())
        assert list(got.items()) == [
            ("X_Overall", {"min": 0, "max": 2500}),
            ("X_Peak", {"min": 100, "max": None}),
            ("X_Peak_to_Peak", {"min": None, "max": 4000.5}),
            ("X_Power_in_Band_01", {"min": 0.1, "max": 9}),
            ("Z_Crest_Factor", {"min": None, "max": None}),
            ("7_power_in_Band_in_Band_02", {"min": 1, "max": None}),
            ("Gear_mesh", {"min": None, "max": 3}),
            ("Van_Pass", {"min": 0, "max": None}),
            ("van_pass", {"min": 5, "max": None}),
            ("vibration_x", {"min": 1, "max": 2}),
        ]
        assert all(list(v) == ["min", "max"] for v in got.values())
        # Limits are carried over unchanged, types included.
        assert type(got["X_Overall"]["max"]) is int
        assert type(got["X_Peak_to_Peak"]["max"]) is float

    def test_documentation_texts(self, T):
        # The map's text is its one role line; the filter's names its parameters.
        assert T.feature_threshold_mapping.__doc__ == (
            "將後端設定格式轉成前端/分析端可直接查詢的 feature threshold map")
        doc = T.codebook_df_filter.__doc__
        for phrase in ("threshold_map", "X_Overall", "X_Peak", "2500", "上下限都卡控",
                       "只卡控下限", "verbose: 是否印出資訊"):
            assert phrase in doc, phrase

    def test_limits_are_new_dictionaries_and_setting_unchanged(self, T):
        cfg = setting()
        before = copy.deepcopy(cfg)
        got = T.feature_threshold_mapping(config_data=cfg)
        assert cfg == before
        got["X_Overall"]["min"] = -1
        assert cfg["config"]["axis"]["X"]["time_domain"][0]["min"] == 0
        assert got is not T.feature_threshold_mapping(cfg)

    def test_last_rule_wins_at_first_position(self, T):
        cfg = {"config": {"axis": {"Y": {"time_domain": [
            {"type": "peak", "min": 1, "max": 2},
            {"type": "overall_rms", "min": 3},
            {"type": "peak", "max": 9},
        ]}}}}
        got = T.feature_threshold_mapping(cfg)
        assert list(got.items()) == [("Y_Peak", {"min": None, "max": 9}),
                                     ("Y_Overall", {"min": 3, "max": None})]

    def test_empty_axis_gives_empty_map(self, T):
        assert T.feature_threshold_mapping({"config": {"axis": {}}}) == {}
        assert T.feature_threshold_mapping({"setup_name": "None",
                                            "config": {"axis": {}}}) == {}

    def test_setup_name_none_still_converts(self, T):
        cfg = setting()
        cfg["setup_name"] = "None"
        assert T.feature_threshold_mapping(cfg) == T.feature_threshold_mapping(setting())

    def test_unknown_types_pass_through(self, T):
        cfg = {"config": {"axis": {"X": {"time_domain": [{"type": "Overall_RMS"}],
                                         "power_in_band": [{"type": "in_Band"}]}},
                          "fail_mode_thresholds": [{"type": "Bearing"}, {"type": "bearing"}]}}
        assert list(T.feature_threshold_mapping(cfg)) == ["X_Overall_RMS", "X_in_Band",
                                                          "Bearing"]

    @pytest.mark.parametrize("cfg, exc, text", [
        ({}, KeyError, "'config'"),
        ({"config": {}}, KeyError, "'axis'"),
        ({"config": {"axis": None}}, AttributeError,
         "'NoneType' object has no attribute 'items'"),
        ({"config": None}, TypeError, None),
        ({"config": {"axis": {"X": None}}}, AttributeError, None),
        ({"config": {"axis": {"X": {"time_domain": None}}}}, TypeError, None),
        ({"config": {"axis": {"X": {"time_domain": [{"min": 1}]}}}}, KeyError, "'type'"),
        ({"config": {"axis": {"X": {"power_in_band": [{"type": 3}]}}}}, AttributeError, None),
        ({"config": {"axis": {}, "fail_mode_thresholds": None}}, TypeError, None),
        ({"config": {"axis": {}, "fail_mode_thresholds": ["bearing"]}}, TypeError, None),
    ])
    def test_failures(self, T, cfg, exc, text):
        with pytest.raises(exc) as info:
            T.feature_threshold_mapping(cfg)
        if text is not None:
            assert str(info.value) == text


def readings():
    return pd.DataFrame({
        "X_Overall": [0.0, 2500.0, 2500.5, -0.5, np.nan, 10.0],
        "X_Peak": [150.0, 99.0, 120.0, 130.0, 140.0, np.nan],
        "RPM": [1, 2, 3, 4, 5, 6],
    }, index=pd.date_range("2024-05-01 10:00", periods=6, freq="s", name="_time"))


def reference_mask(df, threshold_map, control):
    mask = pd.Series(True, index=df.index)
    for col, rule in threshold_map.items():
        if col not in df.columns:
            continue
        if rule.get("min") is not None:
            mask &= df[col] >= rule["min"]
        if control == "all" and rule.get("max") is not None:
            mask &= df[col] <= rule["max"]
    return mask


class TestRowFilter:
    tmap = {"X_Overall": {"min": 0, "max": 2500}, "X_Peak": {"min": 100, "max": 2500},
            "Y_Overall": {"min": 1.5, "max": None}}

    def test_control_all(self, T, capsys):
        df = readings()
        before = df.copy()
        kept, removed = T.codebook_df_filter(df, self.tmap, "all")
        assert list(kept["RPM"]) == [1]
        assert list(removed["RPM"]) == [2, 3, 4, 5, 6]
        assert capsys.readouterr().out.splitlines() == [
            "[卡控] X_Overall: min=0, max=2500, 超限筆數=3",
            "[卡控] X_Peak: min=100, max=2500, 超限筆數=2",
            "[跳過] df中沒有欄位: Y_Overall",
            "原始筆數: 6",
            "保留筆數: 1",
            "刪除筆數: 5",
        ]
        pd.testing.assert_frame_equal(df, before)

    def test_control_min(self, T, capsys):
        df = readings()
        kept, removed = T.codebook_df_filter(df, self.tmap, "min", True)
        assert list(kept["RPM"]) == [1, 3] and list(removed["RPM"]) == [2, 4, 5, 6]
        assert capsys.readouterr().out.splitlines() == [
            "[卡控下限] X_Overall: min=0, 小於下限筆數=2",
            "[卡控下限] X_Peak: min=100, 小於下限筆數=2",
            "[跳過] df中沒有欄位: Y_Overall",
            "原始筆數: 6",
            "保留筆數: 2",
            "刪除筆數: 4",
        ]

    def test_inclusive_limits_and_missing_cells(self, T):
        df = pd.DataFrame({"v": [0.0, 2500.0, np.nextafter(0, -1), np.nextafter(2500, 3000),
                                 np.nan]})
        kept, removed = T.codebook_df_filter(df, {"v": {"min": 0, "max": 2500}}, "all",
                                             verbose=False)
        assert list(kept.index) == [0, 1] and list(removed.index) == [2, 3, 4]
        kept, _ = T.codebook_df_filter(df, {"v": {"min": 0, "max": 2500}}, "min", False)
        assert list(kept.index) == [0, 1, 3]
        # No enforced limit: missing cells stay.
        kept, _ = T.codebook_df_filter(df, {"v": {"max": 1}}, "min", False)
        assert list(kept.index) == [0, 1, 2, 3, 4]

    def test_unconstrained_rule_prints_none(self, T, capsys):
        T.codebook_df_filter(readings(), {"X_Peak": {"min": None, "max": None}}, "all")
        T.codebook_df_filter(readings(), {"X_Peak": {}}, "min")
        T.codebook_df_filter(readings(), {"X_Peak": {"min": 0.5}}, "all")
        out = capsys.readouterr().out.splitlines()
        assert out[0] == "[卡控] X_Peak: min=None, max=None, 超限筆數=0"
        assert out[4] == "[卡控下限] X_Peak: min=None, 小於下限筆數=0"
        assert out[8] == "[卡控] X_Peak: min=0.5, max=None, 超限筆數=1"
        assert len(out) == 12

    def test_empty_map_and_empty_table(self, T, capsys):
        df = readings()
        kept, removed = T.codebook_df_filter(df, {}, "all")
        pd.testing.assert_frame_equal(kept, df)
        assert removed.empty and list(removed.columns) == list(df.columns)
        assert kept is not df
        assert capsys.readouterr().out.splitlines() == ["原始筆數: 6", "保留筆數: 6", "刪除筆數: 0"]
        kept, removed = T.codebook_df_filter(df.iloc[:0], self.tmap, "all")
        assert kept.empty and removed.empty
        assert capsys.readouterr().out.splitlines()[-3:] == ["原始筆數: 0", "保留筆數: 0",
                                                             "刪除筆數: 0"]

    def test_row_failing_twice_is_removed_once(self, T, capsys):
        df = pd.DataFrame({"a": [1.0, -1.0, 2.0], "b": [1.0, -1.0, 2.0]})
        kept, removed = T.codebook_df_filter(df, {"a": {"min": 0}, "b": {"min": 0}}, "all")
        assert list(removed.index) == [1] and list(kept.index) == [0, 2]
        out = capsys.readouterr().out.splitlines()
        assert out[:2] == ["[卡控] a: min=0, max=None, 超限筆數=1",
                           "[卡控] b: min=0, max=None, 超限筆數=1"]
        assert out[-1] == "刪除筆數: 1"

    def test_results_are_copies(self, T):
        df = readings()
        kept, removed = T.codebook_df_filter(df, self.tmap, "all", False)
        kept.iloc[0, 0] = 99.0
        removed.iloc[0, 0] = 99.0
        assert df.iloc[0, 0] == 0.0 and df.iloc[1, 0] == 2500.0

    def test_time_column_table_and_duplicate_index(self, T):
        df = readings().reset_index().set_axis([0, 0, 1, 1, 2, 2], axis=0)
        kept, removed = T.codebook_df_filter(df, self.tmap, "all", False)
        assert list(kept["RPM"]) == [1] and len(removed) == 5
        assert list(kept.columns) == ["_time", "X_Overall", "X_Peak", "RPM"]

    @pytest.mark.parametrize("control", ["all", "min"])
    def test_random_tables_against_pandas_mask(self, T, control):
        rng = np.random.default_rng(4)
        df = pd.DataFrame(rng.normal(size=(500, 4)), columns=list("abcd"))
        df[df > 2.2] = np.nan
        tmap = {"a": {"min": -1, "max": 1}, "c": {"min": None, "max": 0.5},
                "d": {"min": -0.5}, "zz": {"min": 0}}
        kept, removed = T.codebook_df_filter(df, tmap, control, verbose=False)
        mask = reference_mask(df, tmap, control)
        pd.testing.assert_frame_equal(kept, df[mask])
        pd.testing.assert_frame_equal(removed, df[~mask])
        assert len(kept) + len(removed) == len(df)

    @pytest.mark.parametrize("control", ["ALL", "max", None, "", " all"])
    def test_invalid_control(self, T, capsys, control):
        with pytest.raises(ValueError) as info:
            T.codebook_df_filter(readings(), {}, control)
        assert str(info.value) == "control 只允許 'all' 或 'min'"
        assert capsys.readouterr().out == ""

    def test_verbose_false_prints_nothing(self, T, capsys):
        T.codebook_df_filter(readings(), self.tmap, "min", verbose=0)
        assert capsys.readouterr().out == ""

    def test_bad_maps(self, T, capsys):
        with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'items'"):
            T.codebook_df_filter(readings(), None, "all")
        with pytest.raises(TypeError):
            T.codebook_df_filter(readings(), {"X_Peak": {"min": 0}, "X_Overall": {"min": "a"}},
                                 "all")
        # The line of the column before the failing one stays printed.
        assert capsys.readouterr().out.splitlines() == [
            "[卡控] X_Peak: min=0, max=None, 超限筆數=1"]
