"""SPE abnormal times: native top-contribution ranking against the pandas loop."""
import numpy as np
import pandas as pd

import algo.Talvo.Talvo as Talvo


def pandas_loop(spe_df, spe_ucl, residual_df, top_k=3):
    abnormal_times = spe_df[spe_df["SPE"] > spe_ucl].index
    records = []
    for ts in abnormal_times:
        top_vars = (residual_df.loc[ts] ** 2).sort_values(ascending=False).head(top_k)
        record = {"Time": ts}
        for rank, (var, val) in enumerate(top_vars.items(), 1):
            record[f"Top{rank}_Var"] = var
            record[f"Top{rank}_Contrib"] = val
        records.append(record)
    return abnormal_times, pd.DataFrame(records).set_index("Time")


def run(ctx):
    rng = np.random.default_rng(0)
    for n, p, share in ((20_000, 48, 0.05), (20_000, 48, 0.5), (100_000, 96, 0.2)):
        index = pd.date_range("2024-01-01", periods=n, freq="min", name="_time")
        residual_df = pd.DataFrame(rng.normal(size=(n, p)), index=index,
                                   columns=[f"F{j}_mean" for j in range(p)])
        spe_df = (residual_df ** 2).sum(axis=1).rename("SPE").to_frame()
        limit = spe_df["SPE"].quantile(1 - share)
        ours = lambda: Talvo.find_SPE_abnormal_times(spe_df, limit, residual_df, 3)
        base = lambda: pandas_loop(spe_df, limit, residual_df, 3)
        ctx.measure(f"find_SPE_abnormal_times {n}x{p}, {int(share * 100)}% abnormal", ours,
                    baseline=base, repeat=3, baseline_repeat=1, target=("ratio", 10))
