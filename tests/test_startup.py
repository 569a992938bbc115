"""Import of algo.Talvo.Talvo: namespace, export list, function objects, binding."""
import copy
import datetime as dt
import inspect
import os
import pickle
import pydoc
import subprocess
import sys
import textwrap

import pytest

from conftest import ROOT

# Every module function with its exact signature, in table order.
SIGNATURES = {
    "rename_columns": "(df: 'pd.DataFrame') -> 'pd.DataFrame'",
    "feature_extraction": "(df, indicator_col_name, time_scale)",
    "safe_resample_max": "(df, indicator_name, time_scale, chunk_size=50000)",
    "safe_resample_mean": "(df, indicator_name, time_scale, chunk_size=50000)",
    "feature_extraction_rolling": "(df, indicator_col_name, window, step)",
    "standardize": "(df)",
    "testing_scaler": "(df, scaler)",
    "minmax_scale": "(df)",
    "testing_minmax": "(df, scaler)",
    "health_modeling": "(df_scaled, alpha=0.05)",
    "cal_T2": "(df_scaled, pca, model_mu, model_cov, df_scaled_index)",
    "Health_Index": "(tsquare_df, ucl, score_tightness)",
    "T2_Anomaly_Rate": "(tsquare_values, ucl)",
    "SPE_residual": "(df, df_scaled_index, alpha)",
    "find_T2_abnormal_times": "(T2, ucl)",
    "find_SPE_abnormal_times": "(spe_df, spe_ucl, residual_df, top_k=3)",
    "SPE_residual_testing": "(df, df_scaled, df_scaled_index, alpha)",
    "time_filter": "(df, datetime_name, sec_count)",
    "drop_outliers_by_min": "(df, time_col, exclude_cols=None, iqr_k=1.5)",
    "low_resolution": "(df)",
    "compress_by_second": "(df: 'pd.DataFrame', time_col: 'str', on_conflict: 'str' = 'last', "
                          "want_conflicts: 'bool' = True)",
    "feature_threshold_mapping": "(config_data)",
    "codebook_df_filter": "(df, threshold_map, control, verbose=True)",
    "training_model": "(df, algo_config, codebook=None)",
    "testing_model": "(df, dictionary)",
    "analyze_T2_anomalies": "(df_scaled_test, df_pca_test, df_test, df_health_test, pca, ucl, "
                            "top_k=3)",
    "detect_bad_Talvo_zone": "(df, threshold, envelope_window='1D', envelope_method='min', "
                             "envelope_param=0.1, density_window='10D', density_threshold=0.7)",
    "group_alert_times": "(alert_times, window)",
    "IQR_outlier_percent_clean": "(df, max_ratio, datetime_name, iqr_k=1.5)",
    "outlier_clean": "(df, dictionary, max_ratio_start=0.01, max_ratio_step=0.01, "
                     "max_ratio_limit=0.5)",
    "chebyshev_ucl": "(T2_values, alpha=0.05, one_sided=True)",
    "purge_by_chebyshev": "(df_scaled, alpha=0.05, max_iter=10, one_sided=True)",
    "outlier_chebyshev_T2_purging": "(df, algo_config)",
    "training_model_GB_compare": "(df_good, df_bad, time_scale)",
    "failure_deadline_learning": "(dfs, dictionary, info)",
    "pre_feature_training": "(df)",
    "pre_feature_light": "(df, threshold)",
    "ISO20816_overall": "(power, foundation_type)",
    "ISO20816_light": "(df, warning, alert)",
}

IMPORTED = ["os", "np", "pd", "st", "datetime", "glob", "plt", "StandardScaler", "PCA", "f",
            "skew", "ticker", "pickle", "norm", "SimpleNamespace", "Counter", "ARIMA",
            "MinMaxScaler"]


def registered(T):
    return [name for name in SIGNATURES if hasattr(T, name)]


def run_python(code):
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=120)


def test_export_list_and_imports(T):
    assert T.__all__ == ["feature_extraction", "health_modeling", "Health_Index", "cal_T2",
                         "training_model", "testing_model", "analyze_T2_anomalies",
                         "detect_bad_Talvo_zone"]
    import numpy, pandas, scipy.stats, matplotlib.pyplot, sklearn.decomposition, types
    assert T.np is numpy and T.pd is pandas and T.st is scipy.stats
    assert T.plt is matplotlib.pyplot
    assert T.PCA is sklearn.decomposition.PCA
    assert T.f is scipy.stats.f and T.norm is scipy.stats.norm
    assert T.SimpleNamespace is types.SimpleNamespace
    # The module import of step 5 is replaced by the class of the last step.
    assert T.datetime is dt.datetime
    for name in IMPORTED:
        assert hasattr(T, name), name


def test_function_objects_look_like_python_functions(T):
    names = registered(T)
    assert names == list(SIGNATURES)  # the whole table, nothing missing
    for name in names:
        fn = getattr(T, name)
        assert fn.__name__ == name and fn.__qualname__ == name
        assert fn.__module__ == "algo.Talvo.Talvo"
        assert str(inspect.signature(fn)) == SIGNATURES[name], name
        assert fn.__kwdefaults__ is None
        assert isinstance(fn.__doc__, str) and fn.__doc__
        assert repr(fn).startswith(f"<function {name} at 0x")
        # Pickled and copied by reference, like module-level functions.
        assert pickle.loads(pickle.dumps(fn)) is fn
        assert copy.deepcopy(fn) is fn
        assert f"{name}{SIGNATURES[name]}" in pydoc.render_doc(fn, renderer=pydoc.plaintext)


def test_defaults_and_annotations(T):
    assert T.health_modeling.__defaults__ == (0.05,)
    assert T.cal_T2.__defaults__ is None
    assert T.standardize.__annotations__ == {}
    expected_defaults = {
        "detect_bad_Talvo_zone": ("1D", "min", 0.1, "10D", 0.7),
        "compress_by_second": ("last", True),
        "outlier_clean": (0.01, 0.01, 0.5),
        "purge_by_chebyshev": (0.05, 10, True),
        "safe_resample_max": (50000,),
        "drop_outliers_by_min": (None, 1.5),
    }
    for name, defaults in expected_defaults.items():
        if hasattr(T, name):
            got = getattr(T, name).__defaults__
            assert got == defaults and [type(x) for x in got] == [type(x) for x in defaults]
    if hasattr(T, "rename_columns"):
        assert T.rename_columns.__annotations__ == {"df": "pd.DataFrame",
                                                    "return": "pd.DataFrame"}
    if hasattr(T, "compress_by_second"):
        assert T.compress_by_second.__annotations__ == {
            "df": "pd.DataFrame", "time_col": "str", "on_conflict": "str",
            "want_conflicts": "bool"}


@pytest.mark.parametrize("call, message", [
    (lambda T: T.health_modeling(), "health_modeling() takes at least 1 positional argument (0 given)"),
    (lambda T: T.health_modeling(1, 2, 3), "health_modeling() takes at most 2 positional arguments (3 given)"),
    (lambda T: T.cal_T2(1, 2, 3, 4, 5, 6), "cal_T2() takes exactly 5 positional arguments (6 given)"),
    (lambda T: T.cal_T2(1, 2), "cal_T2() takes exactly 5 positional arguments (2 given)"),
    (lambda T: T.standardize(), "standardize() takes exactly 1 positional argument (0 given)"),
    (lambda T: T.Health_Index(1, score_tightness=2), "Health_Index() takes exactly 3 positional arguments (1 given)"),
    (lambda T: T.health_modeling(alpha=0.1), "health_modeling() takes at least 1 positional argument (0 given)"),
    (lambda T: T.health_modeling(1, x=2), "health_modeling() got an unexpected keyword argument 'x'"),
    (lambda T: T.health_modeling(1, df_scaled=2), "health_modeling() got multiple values for keyword argument 'df_scaled'"),
    # A keyword error is reported before a missing required argument.
    (lambda T: T.cal_T2(bogus=1), "cal_T2() got an unexpected keyword argument 'bogus'"),
])
def test_binding_errors(T, call, message):
    with pytest.raises(TypeError) as info:
        call(T)
    assert str(info.value) == message


def test_non_text_keyword_names_are_refused_by_name(T):
    import algo.Quenda.Quenda as Q
    functions = [getattr(T, name) for name in registered(T)]
    functions += [Q.quenda_model, Q.death_probability, Q.quenda_calculation]
    for fn in functions:
        name = fn.__name__
        for keywords, message in [
            ({1: 2}, f"{name}() keywords must be strings"),
            # Keywords are checked in the order given, before a missing argument.
            ({1: 2, "bogus": 1}, f"{name}() keywords must be strings"),
            ({"bogus": 1, 1: 2}, f"{name}() got an unexpected keyword argument 'bogus'"),
        ]:
            with pytest.raises(TypeError) as info:
                fn(**keywords)
            assert str(info.value) == message
        with pytest.raises(TypeError) as info:
            fn(*[None] * 9, **{1: 2})
        assert str(info.value).startswith(f"{name}() takes ")


def test_keyword_binding_matches_positional(T):
    import numpy as np
    import pandas as pd
    t2 = pd.DataFrame({"tsquare": [0.0, 10.0, 20.0]})
    by_pos = T.Health_Index(t2, 10.0, 0.9)
    by_kw = T.Health_Index(score_tightness=0.9, tsquare_df=t2, ucl=10.0)
    pd.testing.assert_frame_equal(by_pos, by_kw)
    np.testing.assert_allclose(by_pos["Score"], [100.0, 90.0, 81.0])


def test_late_binding_sees_replaced_names(T, monkeypatch):
    import pandas as pd
    from sklearn.preprocessing import StandardScaler

    made = []

    class Recording(StandardScaler):
        def fit(self, X, y=None):
            made.append(self)
            return super().fit(X, y)

    monkeypatch.setattr(T, "StandardScaler", Recording)
    scaled, scaler = T.standardize(pd.DataFrame({"a": [1.0, 2.0, 3.0]}))
    assert made == [scaler] and isinstance(scaler, Recording)


def test_reimport_and_second_initialisation():
    result = run_python("""
        import importlib, sys
        import algo.Talvo.Talvo as T
        T._marker = 1
        again = importlib.import_module("algo.Talvo.Talvo")
        assert again is T and again._marker == 1
        import algo.Talvo
        assert algo.Talvo.Talvo is T
        sys.modules.pop("algo.Talvo.Talvo")
        try:
            importlib.import_module("algo.Talvo.Talvo")
        except RuntimeError as e:
            print(e)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == ("Module 'Talvo' has already been imported. "
                                     "Re-initialisation is not supported.")


def test_second_interpreter_is_refused():
    result = run_python("""
        import algo.Talvo.Talvo
        import _xxsubinterpreters as si
        interp = si.create()
        try:
            si.run_string(interp, "import algo.Talvo.Talvo")
        except Exception as e:
            print(e)
        si.destroy(interp)
    """)
    assert result.returncode == 0, result.stderr
    assert ("ImportError" in result.stdout and "Interpreter change detected - this module can "
            "only be loaded into one interpreter per process." in result.stdout)


def test_missing_library_fails_the_import():
    result = run_python("""
        import sys
        sys.modules["statsmodels.tsa.arima.model"] = None  # makes the import fail
        try:
            import algo.Talvo.Talvo
        except ImportError as e:
            print("ImportError", "algo.Talvo.Talvo" in sys.modules)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ImportError False"
