"""analyze_T2_anomalies: the input column behind the first T2 excursion."""
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest


def reference(df_scaled, df_pca, df_test, df_health, pca, ucl):
    """The pandas/NumPy expression of the root-cause lookup, stable sort."""
    anomalies = df_health[df_health["tsquare"] > ucl]
    if anomalies.empty:
        return "None"
    i = df_health.index.get_loc(anomalies.index[0])
    x_row = df_scaled.iloc[i]
    t = np.asarray(df_pca)[i]
    pc = np.argmax(t ** 2 / pca.explained_variance_)
    contrib = x_row * pca.components_.T[:, pc]
    table = pd.DataFrame({"Variable": df_test.columns, "Contribution": contrib,
                          "AbsContribution": np.abs(contrib)})
    top = table.sort_values(by="AbsContribution", ascending=False, kind="stable")
    name = top["Variable"].iloc[0]
    for suffix in ("_max", "_mean", "_std"):
        if name.endswith(suffix):
            return name[:-len(suffix)]
    return name


FEATURES = ["X_Overall_max", "X_Overall_mean", "X_Overall_std", "Y_Peak_max", "Y_Peak_mean",
            "Y_Peak_std", "X_Power_in_Band_03_max", "X_Power_in_Band_03_mean", "Bearing_max",
            "Bearing_mean"]


@pytest.fixture(scope="module")
def model(T):
    rng = np.random.default_rng(7)
    idx = pd.date_range("2024-03-01", periods=200, freq="min", name="_time")
    base = rng.normal(size=(200, 3))
    mix = rng.normal(size=(3, len(FEATURES)))
    df = pd.DataFrame(base @ mix + 0.3 * rng.normal(size=(200, len(FEATURES))), index=idx,
                      columns=FEATURES)
    scaled, scaler = T.standardize(df)
    mu, cov, ucl, pca = T.health_modeling(scaled)
    return SimpleNamespace(df=df, scaled=scaled, scaler=scaler, mu=mu, cov=cov, ucl=ucl, pca=pca)


def t2(T, m, scaled):
    return T.cal_T2(scaled, m.pca, m.mu, m.cov, scaled.index)


class TestOnAFittedModel:
    def test_no_value_above_the_limit_gives_text_none(self, T, model):
        tsq, scores = t2(T, model, model.scaled)
        capped = tsq.clip(upper=model.ucl)  # values equal to ucl do not count
        assert (capped["tsquare"] == model.ucl).any()
        out = T.analyze_T2_anomalies(model.scaled, scores, model.df, capped, model.pca, model.ucl)
        assert out == "None" and isinstance(out, str)

    @pytest.mark.parametrize("seed", range(5))
    def test_against_reference_on_shifted_data(self, T, model, seed):
        rng = np.random.default_rng(seed)
        new = model.df.iloc[:60].copy()
        col = rng.integers(len(FEATURES))
        new.iloc[20 + seed:, col] += 8 * new.iloc[:, col].std()
        scaled = T.testing_scaler(new, model.scaler)
        tsq, scores = t2(T, model, scaled)
        assert (tsq["tsquare"] > model.ucl).any()
        out = T.analyze_T2_anomalies(scaled, scores, new, tsq, model.pca, model.ucl, top_k=3)
        assert out == reference(scaled, scores, new, tsq, model.pca, model.ucl)
        assert out in {f.rsplit("_", 1)[0] for f in FEATURES}

    def test_only_the_first_excursion_is_analysed(self, T, model):
        scaled = model.scaled.iloc[:10]
        tsq, scores = t2(T, model, scaled)
        first = 3
        tsq = tsq.copy()
        tsq["tsquare"] = 0.0
        tsq.iloc[[first, 7], 0] = model.ucl * 10
        out = T.analyze_T2_anomalies(scaled, scores, model.df, tsq, model.pca, model.ucl)
        assert out == reference(scaled, scores, model.df, tsq, model.pca, model.ucl)
        # Same answer when the later rows are gone: only row 3 matters.
        out2 = T.analyze_T2_anomalies(scaled.iloc[:4], scores[:4], model.df, tsq.iloc[:4],
                                      model.pca, model.ucl)
        assert out2 == out

    def test_one_row_table_analyses_the_first_row(self, T, model):
        scaled = model.scaled.iloc[5:30]
        _, scores = t2(T, model, scaled)
        one = pd.DataFrame({"tsquare": [model.ucl + 1]}, index=[scaled.index[-1]])
        out = T.analyze_T2_anomalies(scaled, scores, model.df, one, model.pca, model.ucl)
        first_only = T.analyze_T2_anomalies(scaled.iloc[:1], scores[:1], model.df, one,
                                            model.pca, model.ucl)
        assert out == first_only

    def test_model_is_not_changed(self, T, model):
        scaled = model.scaled.copy()
        tsq, scores = t2(T, model, scaled)
        before = (scaled.copy(), tsq.copy(), scores.copy(), model.pca.components_.copy())
        T.analyze_T2_anomalies(scaled, scores, model.df, tsq, model.pca, 0.0)
        pd.testing.assert_frame_equal(scaled, before[0])
        pd.testing.assert_frame_equal(tsq, before[1])
        np.testing.assert_array_equal(scores, before[2])
        np.testing.assert_array_equal(model.pca.components_, before[3])


def crafted(names, components, variances, x, t):
    """A two-component model in closed form: scaled row x, scores t."""
    pca = SimpleNamespace(components_=np.asarray(components, dtype=float),
                          explained_variance_=np.asarray(variances, dtype=float))
    scaled = pd.DataFrame([x], columns=names)
    scores = np.asarray([t], dtype=float)
    tsq = pd.DataFrame({"tsquare": [5.0]})
    return scaled, scores, pd.DataFrame(columns=names), tsq, pca


class TestCraftedModels:
    @pytest.mark.parametrize("name, expected", [
        ("X_Overall_std", "X_Overall"),
        ("X_Power_in_Band_03_mean", "X_Power_in_Band_03"),
        ("Bearing_max", "Bearing"),
        ("_max", ""),
        ("RPM", "RPM"),
        ("a_max_std", "a_max"),
        ("a_std_max", "a_std"),
        ("Z_Crest_Factor_maximum", "Z_Crest_Factor_maximum"),
    ])
    def test_one_suffix_is_stripped(self, T, name, expected):
        args = crafted([name, "other_mean"], [[1, 0], [0, 1]], [1, 1], [2.0, 1.0], [1, 0])
        assert T.analyze_T2_anomalies(*args, 1.0) == expected

    def test_component_by_share_not_by_score(self, T):
        # Scores 3 and 2 on variances 9 and 1: shares 1 and 4, so component 1.
        args = crafted(["a_max", "b_max"], [[1, 0], [0, 1]], [9, 1], [1.0, 1.0], [3, 2])
        assert T.analyze_T2_anomalies(*args, 1.0) == "b"
        args = crafted(["a_max", "b_max"], [[1, 0], [0, 1]], [1, 9], [1.0, 1.0], [3, 2])
        assert T.analyze_T2_anomalies(*args, 1.0) == "a"

    def test_sign_plays_no_part(self, T):
        args = crafted(["a_max", "b_max", "c_max"], [[0.5, -1, 0.2], [0, 0, 1]], [1, 1],
                       [1.0, 1.0, 1.0], [2, 0])
        assert T.analyze_T2_anomalies(*args, 1.0) == "b"

    @pytest.mark.parametrize("signs", [(1, 1), (1, -1), (-1, 1)])
    def test_equal_contributions_first_column_wins(self, T, signs):
        args = crafted(["a_std", "b_std", "c_std"], [[0.1, signs[0], signs[1]], [1, 0, 0]],
                       [1, 1], [1.0, 1.0, 1.0], [2, 0])
        assert T.analyze_T2_anomalies(*args, 1.0) == "b"

    def test_ties_among_many_features_first_column_wins(self, T):
        # Look for a case in which pandas' default (unstable) sort would put
        # a later tied feature first, then check the first one is reported.
        rng = np.random.default_rng(0)
        for _ in range(5000):
            n = int(rng.integers(17, 120))
            v = rng.random(n)
            ties = rng.choice(n, size=int(rng.integers(2, 6)), replace=False)
            v[ties] = 2.0
            unstable = pd.DataFrame({"a": v}).sort_values(by="a", ascending=False)
            if unstable.index[0] != ties.min():
                break
        else:
            pytest.fail("no case found")
        names = [f"f{j}_mean" for j in range(n)]
        signs = np.where(np.arange(n) % 2 == 0, 1.0, -1.0)
        args = crafted(names, [signs, np.zeros(n)], [1, 1], v * signs, [3, 0])
        assert T.analyze_T2_anomalies(*args, 1.0) == f"f{ties.min()}"

    def test_missing_contributions_sort_last(self, T):
        args = crafted(["a_max", "b_max"], [[1, 0.001], [0, 1]], [1, 1], [np.nan, 1.0], [2, 0])
        assert T.analyze_T2_anomalies(*args, 1.0) == "b"

    def test_variable_names_come_from_df_test(self, T):
        scaled, scores, _, tsq, pca = crafted(["s0", "s1"], [[0, 1], [1, 0]], [1, 1],
                                              [1.0, 1.0], [1, 0])
        df_test = pd.DataFrame(columns=["Y_Peak_mean", "Z_Overall_std"])
        assert T.analyze_T2_anomalies(scaled, scores, df_test, tsq, pca, 1.0) == "Z_Overall"

    def test_repeated_index_labels_use_the_exceeding_row(self, T):
        # Sound choice: the row that exceeds, not every row with its label.
        pca = SimpleNamespace(components_=np.eye(2), explained_variance_=np.ones(2))
        scaled = pd.DataFrame([[5.0, 1.0], [1.0, 5.0], [0.0, 0.0]], columns=["a_max", "b_max"])
        scores = np.array([[1.0, 0.0], [0.0, 1.0], [0.0, 0.0]])
        tsq = pd.DataFrame({"tsquare": [0.0, 9.0, 0.0]}, index=["t0", "t0", "t1"])
        df_test = pd.DataFrame(columns=["a_max", "b_max"])
        assert T.analyze_T2_anomalies(scaled, scores, df_test, tsq, pca, 1.0) == "b"


class TestFailures:
    def test_missing_tsquare_column(self, T):
        args = list(crafted(["a_max"], [[1]], [1], [1.0], [1]))
        args[3] = pd.DataFrame({"T2": [5.0]})
        with pytest.raises(KeyError):
            T.analyze_T2_anomalies(*args, 1.0)

    def test_position_beyond_the_scaled_rows(self, T):
        scaled, scores, df_test, _, pca = crafted(["a_max"], [[1]], [1], [1.0], [1])
        tsq = pd.DataFrame({"tsquare": [0.0, 5.0]})
        with pytest.raises(IndexError):
            T.analyze_T2_anomalies(scaled, scores, df_test, tsq, pca, 1.0)
        scaled2 = pd.concat([scaled, scaled])
        with pytest.raises(IndexError):
            T.analyze_T2_anomalies(scaled2, scores, df_test, tsq, pca, 1.0)

    def test_binding(self, T):
        import inspect
        sig = inspect.signature(T.analyze_T2_anomalies)
        assert list(sig.parameters) == ["df_scaled_test", "df_pca_test", "df_test",
                                        "df_health_test", "pca", "ucl", "top_k"]
        assert sig.parameters["top_k"].default == 3
        assert "get_variable_contributions" not in dir(T)
