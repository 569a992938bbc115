"""Every numeric reading type on the native roads: float32, float64 and the
signed and unsigned integers give what the library expressions give, result
types included."""
import types

import numpy as np
import pandas as pd
import pytest
from scipy.stats import norm
from sklearn.decomposition import PCA
from sklearn.preprocessing import StandardScaler

from test_minute_outliers import pandas_loop as minute_loop
from test_purging import iqr_reference as iqr_rule

READING_TYPES = ["float64", "float32", "int8", "int16", "int32", "int64",
                 "uint8", "uint16", "uint32", "uint64"]


def readings(dtype, n, n_cols, seed, missing=0.05):
    """n readings of one type. Floats: missing cells and spikes; a float32
    column on a grid of neighbouring float32 values, most of them on two
    neighbours (quartiles one step apart put the fences between grid values,
    where rounding them to float32 decides). Integers: one
    column over the type's whole range (values beyond 2**53), one holding
    only the type's minimum (a quarter of the rows) and maximum (quartiles
    interpolate across the whole range, where the difference wraps around),
    the others over a small range."""
    rng = np.random.default_rng(seed)
    cols = {}
    for j in range(n_cols):
        if dtype.startswith("float"):
            v = rng.normal(10.0, 3.0, n) * np.where(rng.random(n) < 0.03, 20.0, 1.0)
            if dtype == "float32" and j == 1:
                steps = np.where(rng.random(n) < 0.85, rng.integers(0, 2, n), rng.integers(-6, 7, n))
                v = 3.0 + steps * 2.0 ** -22
            v[rng.random(n) < missing] = np.nan
            cols[f"c{j}"] = v.astype(dtype)
        else:
            info = np.iinfo(dtype)
            if j == 0:
                cols[f"c{j}"] = rng.integers(info.min, info.max, n, dtype=dtype, endpoint=True)
            elif j == 1:
                cols[f"c{j}"] = rng.permutation(
                    np.where(np.arange(n) < n // 4, info.min, info.max).astype(dtype))
            else:
                cols[f"c{j}"] = rng.integers(0, min(info.max, 100), n).astype(dtype)
    return pd.DataFrame(cols)


def nullable(df, seed, missing=0.05, nan_row=None):
    """df with each numeric column in pandas' nullable type of its dtype
    (Float64, Int8, UInt64, ...): NaN cells and a share of the others
    missing (pd.NA); with nan_row, the last float column holds a NaN that is
    a value there (not masked), as 0 / 0 in a Float64 column gives."""
    rng = np.random.default_rng(seed)
    out = df.copy()
    numeric = df.select_dtypes("number").columns
    for c in numeric:
        values = df[c].to_numpy()
        is_float = values.dtype.kind == "f"
        mask = rng.random(len(df)) < missing
        if is_float:
            mask |= np.isnan(values)
            if nan_row is not None and c == numeric[-1]:
                values = values.copy()
                values[nan_row], mask[nan_row] = np.nan, False
        out[c] = (pd.arrays.FloatingArray if is_float else pd.arrays.IntegerArray)(values, mask)
    return out


def window_loop(df, rec, window, step):
    names = rec.time + rec.frequency + rec.fail_mode
    results, index_list = [], []
    n = len(df)
    window = min(window, n)
    for s in range(0, n - window + 1, step):
        sub = df.iloc[s:s + window]
        feat = {}
        feat.update(zip([str(c) + "_max" for c in names], sub[names].max()))
        feat.update(zip([str(c) + "_mean" for c in names], sub[names].mean()))
        if rec.time:
            feat.update(zip([str(c) + "_std" for c in rec.time], sub[rec.time].std()))
        results.append(feat)
        index_list.append(df.index[s + window - 1])
    return pd.DataFrame(results, index=index_list).dropna(axis="index", how="any")


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("dtype", READING_TYPES)
def test_per_minute_filter(T, dtype):
    df = readings(dtype, 700, 3, seed=len(dtype))
    stamps = pd.Timestamp("2024-03-01 08:00") + pd.to_timedelta(
        np.sort(np.random.default_rng(1).uniform(0, 700, len(df))), unit="s")
    df.insert(0, "_time", stamps)
    # A zone whose offset then had seconds: minutes start off whole UTC minutes.
    zoned = df.assign(_time=(stamps - pd.Timedelta(days=365 * 125)).tz_localize("Europe/Amsterdam"))
    # Nullable columns: quartiles of integers that skipped a missing value are integers (IQR and,
    # with a bool or int factor, the fences in integer arithmetic); a minute missing throughout in
    # one column; a float NaN that is a value; a plain float column beside them.
    masked = nullable(df, seed=6, nan_row=300)
    masked.loc[masked["_time"] < stamps[0] + pd.Timedelta(minutes=1), "c0"] = pd.NA
    masked["plain"] = np.random.default_rng(7).normal(size=len(df))
    for table, k in [(df, 1.5), (df, 0), (df, True), (zoned, 1.5), (masked, 1.5), (masked, 0),
                     (masked, True), (masked, 2)]:
        got = T.drop_outliers_by_min(table, "_time", iqr_k=k)
        pd.testing.assert_frame_equal(got, minute_loop(table, "_time", iqr_k=k), check_exact=True)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("dtype", READING_TYPES)
def test_iqr_filter(T, dtype):
    df = readings(dtype, 900, 3, seed=2 * len(dtype))
    df.insert(1, "_time", pd.date_range("2024-03-01", periods=len(df), freq="s"))
    df["text"] = "x"
    for max_ratio, k in [(0.0, 1.5), (0.02, 1.5), (0.3, 0.5), (1.0, True)]:
        got = T.IQR_outlier_percent_clean(df, max_ratio, "_time", k)
        pd.testing.assert_frame_equal(got, iqr_rule(df, max_ratio, "_time", k), check_exact=True)


def typed_tables(dtype):
    """A table of one type as columns and as one 2-D block (pandas sums the
    windows of a row-contiguous block row by row)."""
    df = readings(dtype, 9000, 4, seed=3 * len(dtype), missing=0.02)
    df.columns = ["X_Overall", "Y_Peak", "X_Power_in_Band_01", "Bearing"]
    df.index = pd.date_range("2024-03-01", periods=len(df), freq="s")
    block = pd.DataFrame(np.ascontiguousarray(df.to_numpy()), index=df.index, columns=df.columns)
    return [df, block, nullable(df, seed=len(dtype), missing=0.02)]


def mixed_tables():
    rng = np.random.default_rng(4)
    n = 800
    index = pd.date_range("2024-03-01", periods=n, freq="s")
    big = np.uint64(2 ** 63) + rng.integers(0, 1000, n).astype(np.uint64)
    tables = [
        # int64 with uint64: the loop's maxima are floats
        pd.DataFrame({"X_Overall": rng.integers(-50, 50, n), "Y_Peak": big,
                      "X_Power_in_Band_01": rng.integers(0, 9, n).astype(np.int8),
                      "Bearing": rng.integers(0, 9, n).astype(np.int8)}, index=index),
        # unsigned only: integer maxima, uint64 where one is beyond int64
        pd.DataFrame({"X_Overall": rng.integers(0, 200, n).astype(np.uint8), "Y_Peak": big,
                      "X_Power_in_Band_01": rng.integers(0, 9, n).astype(np.uint64),
                      "Bearing": rng.integers(0, 9, n).astype(np.uint16)}, index=index),
        # floats of both widths with integers
        pd.DataFrame({"X_Overall": rng.random(n).astype(np.float32),
                      "Y_Peak": rng.integers(-9, 9, n).astype(np.int16),
                      "X_Power_in_Band_01": rng.random(n),
                      "Bearing": rng.random(n).astype(np.float32)}, index=index),
        # nullable and plain columns; a float NaN that is a value drops its windows' rows
        nullable(pd.DataFrame({"X_Overall": rng.integers(-50, 50, n).astype(np.int8),
                               "Y_Peak": rng.random(n), "X_Power_in_Band_01": rng.random(n),
                               "Bearing": rng.random(n).astype(np.float32)}, index=index),
                 seed=8, nan_row=50).assign(Y_Peak=rng.random(n)),
    ]
    # Nullable columns without a result in some window (no value; one value, no standard
    # deviation): the loop's NA makes object columns.
    no_value, one_value = tables[-1].copy(), tables[-1].copy()
    no_value.iloc[100:340, 2] = pd.NA
    one_value.iloc[7:26, 0] = pd.NA
    return tables + [no_value, one_value]


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("bottleneck", [True, False])
@pytest.mark.parametrize("dtype", READING_TYPES + ["mixed"])
def test_rolling_features(T, dtype, bottleneck):
    rec = types.SimpleNamespace(time=["X_Overall", "Y_Peak"], frequency=["X_Power_in_Band_01"],
                                fail_mode=["Bearing"])
    tables = mixed_tables() if dtype == "mixed" else typed_tables(dtype)
    # Short windows (some missing nothing), windows split in pairwise halves, and one window longer
    # than NumPy's summation buffer.
    with pd.option_context("compute.use_bottleneck", bottleneck):
        for df in tables:
            for rows, window, step in [(400, 20, 7), (3000, 300, 150), (None, 10 ** 6, 1)]:
                part = df.iloc[:rows]
                got, rec_back = T.feature_extraction_rolling(part, rec, window, step)
                want = window_loop(part, rec, window, step)
                assert rec_back is rec
                pd.testing.assert_frame_equal(got, want, check_exact=False, rtol=1e-12, atol=0)


def test_float32_health_model(T):
    rng = np.random.default_rng(5)
    base = rng.normal(size=(400, 8)) @ rng.normal(size=(8, 8))
    cols = [f"f{i}_max" for i in range(8)]
    train = pd.DataFrame(base, columns=cols).astype(np.float32)
    test = (train + np.float32(0.25)).set_axis(pd.date_range("2024", periods=400, freq="min"))

    mu, cov, ucl, pca = T.health_modeling(train)
    tsquare, scores = T.cal_T2(test, pca, mu, cov, test.index)
    pinv = np.linalg.pinv(cov)
    loop = [(row - mu).dot(pinv).dot((row - mu).T) for row in pca.transform(test)]
    np.testing.assert_allclose(tsquare["tsquare"], loop, rtol=1e-12)
    assert tsquare["tsquare"].dtype == np.float64 and scores.dtype == np.float32

    # SPE: the limit from the float32 eigenvalues summed as NumPy sums them,
    # the share above it compared in float32.
    residual_df, spe_df, spe_ucl, ratio = T.SPE_residual(test, test.index, 0.05)
    spe = spe_df["SPE"].to_numpy()
    assert spe.dtype == np.float32 and residual_df.dtypes.eq(np.float32).all()
    scaled = StandardScaler().fit_transform(test)
    kept = PCA(n_components=0.9).fit(scaled).n_components_
    lam = PCA().fit(scaled).explained_variance_[kept:]
    t1, t2, t3 = np.sum(lam), np.sum(lam ** 2), np.sum(lam ** 3)
    h0 = 1 - (2 * t1 * t3) / (3 * t2 ** 2)
    z = norm.ppf(0.95)
    limit = t1 * (z * np.sqrt(2 * t2 * h0 ** 2) / t1 + 1 + t2 * h0 * (h0 - 1) / t1 ** 2) ** (1 / h0)
    assert lam.dtype == np.float32
    np.testing.assert_allclose(spe_ucl, limit, rtol=1e-12)
    assert ratio == np.sum(spe > spe_ucl) / len(spe)

    times, contributions = T.find_SPE_abnormal_times(spe_df, spe_ucl, residual_df, 3)
    records = []
    for ts in times:
        top = (residual_df.loc[ts] ** 2).sort_values(ascending=False).head(3)
        record = {"Time": ts}
        for rank, (name, value) in enumerate(top.items(), 1):
            record[f"Top{rank}_Var"], record[f"Top{rank}_Contrib"] = name, value
        records.append(record)
    assert len(records) > 0
    pd.testing.assert_frame_equal(contributions, pd.DataFrame(records).set_index("Time"),
                                  check_exact=True)
