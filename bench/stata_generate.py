#!/usr/bin/python3
"""Writes the Stata benchmark file: N observations of 11 variables (integers of three widths,
doubles, floats, two strings, a %td date, a %tc date-time) with about 5% missing values.
Usage: stata_generate.py N OUT.dta [VERSION]"""
import sys

import numpy as np
import pandas as pd

n = int(sys.argv[1])
out = sys.argv[2]
version = int(sys.argv[3]) if len(sys.argv) > 3 else 114
rng = np.random.default_rng(7)


def holes(values):
    values = pd.Series(values)
    values[rng.random(n) < 0.05] = np.nan
    return values


words = np.array(["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"])
frame = pd.DataFrame({
    "id": np.arange(n, dtype=np.int32),
    "small": rng.integers(-100, 100, n).astype(np.int8),
    "medium": holes(rng.integers(-30000, 30000, n).astype(np.float64)),
    "price": holes(rng.random(n) * 1000),
    "ratio": holes(rng.random(n).astype(np.float32)),
    "weight": holes(rng.normal(70, 10, n)),
    "score": holes(rng.normal(0, 1, n).astype(np.float32)),
    "city": words[rng.integers(0, len(words), n)],
    "code": np.char.add("C", rng.integers(0, 100000, n).astype(str)),
    "born": pd.to_datetime("1950-01-01") + pd.to_timedelta(rng.integers(0, 20000, n), unit="D"),
    "seen": pd.to_datetime("2020-01-01") + pd.to_timedelta(rng.integers(0, 10**9, n), unit="s"),
})
frame.loc[rng.random(n) < 0.05, "born"] = pd.NaT
frame.to_stata(out, version=version, write_index=False, convert_dates={"born": "td", "seen": "tc"})
