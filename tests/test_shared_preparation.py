"""The preparation every pipeline shares: configuration codes, numeric
selection, time parsing, quality columns and the keyword families, seen
through the entry points that use them."""
import numpy as np
import pandas as pd
import pytest

from training_readings import make_readings

# The canonical vocabulary, in the order of the rename table.
AXES = "XYZ"
VOCABULARY = (["_time", "RPM"]
              + [f"{a}_Overall" for a in AXES] + [f"{a}_Peak" for a in AXES]
              + [f"{a}_Peak_to_Peak" for a in AXES] + [f"{a}_Crest_Factor" for a in AXES]
              + [f"{a}_Power_in_Band_{i:02d}" for a in AXES for i in range(1, 11)]
              + ["Bearing", "Looseness", "Misalignment", "Imbalance", "Gear_mesh", "Van_Pass"]
              + [f"{m}_percentage" for m in ["Bearing", "Looseness", "Misalignment",
                                             "Imbalance", "Gear_mesh", "Van_Pass"]]
              + ["Temperature", "X_Overall_QC", "Y_Overall_QC", "Z_Overall_QC"])

TIME_FAMILY = ([f"{a}_Overall" for a in AXES] + [f"{a}_Peak" for a in AXES]
               + [f"{a}_Peak_to_Peak" for a in AXES] + [f"{a}_Crest_Factor" for a in AXES])
FREQ_FAMILY = [f"{a}_Power_in_Band_{i:02d}" for a in AXES for i in range(1, 11)]
FAIL_FAMILY = ["Bearing", "Looseness", "Misalignment", "Imbalance", "Gear_mesh", "Van_Pass"]


def vocabulary_table(rows=50, seed=0):
    rng = np.random.default_rng(seed)
    data = {name: rng.normal(10, 1, rows) for name in VOCABULARY[1:]}
    data["_time"] = pd.date_range("2024-01-01", periods=rows, freq="s").astype(str)
    return pd.DataFrame(data)[VOCABULARY]


def test_the_family_table_over_the_vocabulary(T):
    limits = T.pre_feature_training(vocabulary_table())
    assert isinstance(limits, dict)
    # Time family, then frequency, then failure modes; quality, percentage,
    # speed and temperature columns belong to none.
    assert list(limits) == TIME_FAMILY + FREQ_FAMILY + FAIL_FAMILY
    assert len(TIME_FAMILY) == 12 and len(FREQ_FAMILY) == 30 and len(FAIL_FAMILY) == 6


def test_first_family_wins_and_keywords_are_case_sensitive(T):
    df = vocabulary_table()[["_time"]].copy()
    rng = np.random.default_rng(1)
    for name in ["Overall_Band", "Band_Gear", "x_overall", "bearing", "GEAR", "Van_x",
                 "Crest_Bearing", "Other"]:
        df[name] = rng.normal(size=len(df))
    assert list(T.pre_feature_training(df)) == ["Overall_Band", "Crest_Bearing", "Band_Gear",
                                                "Van_x"]


def test_text_columns_and_quality_columns_never_reach_the_families(T):
    df = vocabulary_table()
    df["X_Overall"] = df["X_Overall"].astype(str)  # digits stored as text
    df["y_peak_qc"] = 1.0                           # "QC" in another letter case
    df["Z_Peak_Percentage"] = 1.0
    keys = T.pre_feature_training(df)
    assert "X_Overall" not in keys and "y_peak_qc" not in keys
    assert "Z_Peak_Percentage" not in keys and "Z_Peak" in keys


@pytest.mark.parametrize("config", ["0,1,0,1,2,1,1,1", " 0, 1 ,0,1,2 ,1,1,  1 ",
                                    "0,1,0,1,2,1,1,1\n"])
def test_codes_are_stripped_text(T, config):
    readings = make_readings(1200)
    result = T.training_model(readings, config)
    assert result["is_error"] == "False", result["error_message"]
    assert result["time_scale"] == "min" and result["algo_config"] == config


@pytest.mark.parametrize("config, message", [
    ("0,1,0,1,2,1,1", "need more than 7 values to unpack"),
    ("0", "need more than 1 value to unpack"),
    ("", "need more than 1 value to unpack"),
    ("0,1,0,1,2,1,1,1,", "too many values to unpack (expected 8)"),
    (None, "'NoneType' object has no attribute 'split'"),
    (12345678, "'int' object has no attribute 'split'"),
])
def test_malformed_configuration(T, config, message):
    result = T.training_model(make_readings(100), config)
    assert result["is_error"] == "True"
    assert (result["error_stage"], result["error_message"]) == ("Error_02", message)


def test_start_and_end_times_skip_unparsable_times(T):
    readings = make_readings(1200)
    readings["_time"] = readings["_time"].astype(str)
    readings.loc[5, "_time"] = "not a time"
    readings.loc[6, "_time"] = ""
    before = readings.copy()
    result = T.training_model(readings, "0,1,0,1,2,1,1,1")
    assert result["is_error"] == "False", result["error_message"]
    times = pd.to_datetime(readings["_time"], errors="coerce").dropna()
    assert result["start_time"] == times.min().strftime("%Y-%m-%d %H:%M:%S")
    assert result["end_time"] == times.max().strftime("%Y-%m-%d %H:%M:%S")
    pd.testing.assert_frame_equal(readings, before)


def test_no_parsable_time_fails_at_preparation(T):
    readings = make_readings(100)
    readings["_time"] = "never"
    result = T.training_model(readings, "0,1,0,1,2,1,1,1")
    assert (result["error_stage"], result["error_message"]) == (
        "Error_03", "NaTType does not support strftime")
    assert result["error_code"] == "None"
