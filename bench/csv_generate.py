#!/usr/bin/python3
"""Writes a CSV of N rows and 11 columns for the conversion benchmark:
integers, decimals, strings and dates, with about 5% empty cells.
Usage: csv_generate.py ROWS OUT.csv"""
import random
import sys

rows = int(sys.argv[1])
out = sys.argv[2]
rng = random.Random(20240611)
words = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta", "iota", "kappa",
         "Smith, John", "O'Brien", "van der Berg", "Lee", "Nguyen"]


def cell(text):
    return "" if rng.random() < 0.05 else text


with open(out, "w", newline="") as f:
    f.write("id,age,income,ratio,name,city,born,visits,score,code,joined\n")
    for i in range(1, rows + 1):
        name = rng.choice(words)
        if "," in name:
            name = '"' + name + '"'
        fields = [
            str(i),
            cell(str(rng.randint(18, 90))),
            cell("%.2f" % rng.uniform(1000, 250000)),
            cell("%.4f" % rng.random()),
            cell(name),
            cell(rng.choice(words[:10]).upper()),
            cell("%02d/%02d/%04d" % (rng.randint(1, 12), rng.randint(1, 28), rng.randint(1930, 2005))),
            cell(str(rng.randint(0, 500))),
            cell("%.1f" % rng.uniform(-100, 100)),
            cell("C%05d" % rng.randint(0, 99999)),
            cell("%02d/%02d/%04d" % (rng.randint(1, 12), rng.randint(1, 28), rng.randint(2000, 2023))),
        ]
        f.write(",".join(fields) + "\n")
