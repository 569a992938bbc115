"""Readings of other numeric types for the benchmarks: the same tables with
every numeric column as float32 (single-precision exports), as int64
(integer exports in thousandths; a missing cell, which an integer column
cannot hold, becomes 0) or as a pandas nullable type such as Float64
(what convert_dtypes() and parquet readers give; missing cells are pd.NA)."""
import numpy as np
import pandas as pd


def converted(values, dtype):
    values = np.asarray(values, dtype=np.float64)
    if dtype.kind == "f":
        return values.astype(dtype)
    return np.nan_to_num(np.round(values * 1000)).astype(dtype)


def with_reading_type(df, dtype):
    """A copy of df with every numeric column of type dtype. A table of
    numeric columns only comes back as one 2-D block, as a table made from a
    2-D array (the benchmarks' own readings) has; a nullable type makes one
    column array each."""
    dtype = pd.api.types.pandas_dtype(dtype)
    num = df.select_dtypes(include="number").columns
    if not isinstance(dtype, np.dtype):
        return df.astype({c: dtype for c in num})
    if len(num) == df.shape[1]:
        return pd.DataFrame(converted(df.to_numpy(), dtype), index=df.index, columns=df.columns)
    out = df.copy()
    for c in num:
        out[c] = converted(df[c], dtype)
    return out
