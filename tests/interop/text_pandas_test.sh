#!/bin/bash
# Delimited and fixed text against pandas and Python's csv module:
#  - CSV files written by pandas and by the csv module are read by Tabulon with the same values;
#  - the CSV Tabulon writes (quotes, delimiters and line breaks inside strings, missing values,
#    dates) is read by pandas with the same values;
#  - a fixed-column file and its .SCH written by Tabulon read back as the source values.
set -u
T="${TABULON_BUILD_DIR:?}/tabulon"
PY=/usr/bin/python3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fails=0

$PY - <<'PY'
import csv
import pandas as pd
rows = [
    {"id": 1, "name": "Smith, John", "note": 'He said "hi"', "amount": 12.5, "born": "01/02/1980", "count": 3},
    {"id": 2, "name": "Line\nbreak", "note": "", "amount": None, "born": "12/31/1999", "count": None},
    {"id": 3, "name": "caf\u00e9", "note": "a;b|c", "amount": -0.001, "born": "", "count": 7},
    {"id": 4, "name": "", "note": "<tag> & more", "amount": 123456789.25, "born": "07/04/2021", "count": 0},
    {"id": 5, "name": "x" * 60, "note": "'single'", "amount": 1e-7, "born": "02/29/2000", "count": -12},
]
for i in range(6, 60):
    rows.append({"id": i, "name": "n%d" % i, "note": "y" * (i % 7), "amount": i / 8,
                 "born": "03/%02d/2001" % (i % 28 + 1), "count": i * 3})
pd.DataFrame(rows).to_pickle("source.pkl")
pd.DataFrame(rows).to_csv("by_pandas.csv", index=False)
with open("by_csv_module.csv", "w", newline="", encoding="utf-8") as f:
    w = csv.DictWriter(f, fieldnames=list(rows[0]))
    w.writeheader()
    for r in rows:
        w.writerow({k: "" if v is None else v for k, v in r.items()})
PY

# compare FILE [fixed]: values of FILE (read by pandas) against the source rows.
compare() {
  $PY - "$@" <<'PY'
import sys
import pandas as pd
src = pd.read_pickle("source.pkl")
got = pd.read_csv(sys.argv[1], keep_default_na=False, na_values=[""])
fixed = len(sys.argv) > 2
bad = []
if list(got.columns) != list(src.columns):
    bad.append("columns %s" % list(got.columns))
else:
    for col in src.columns:
        for i, (a, b) in enumerate(zip(src[col], got[col])):
            if col == "born":
                a = pd.NaT if not a else pd.to_datetime(a, format="%m/%d/%Y")
                b = pd.NaT if pd.isna(b) else pd.to_datetime(b, format="%m/%d/%Y")
                same = (pd.isna(a) and pd.isna(b)) or a == b
            elif col in ("name", "note"):
                a = "" if a is None else a
                b = "" if pd.isna(b) else b
                if fixed:
                    a = a.replace("\n", " ")
                same = a == b
            else:
                same = (pd.isna(a) and pd.isna(b)) or float(a) == float(b)
            if not same:
                bad.append("%s row %d: %r != %r" % (col, i + 1, a, b))
if bad:
    print("\n".join(bad[:10]))
    sys.exit(1)
PY
}

check() {  # check DESCRIPTION -- command...
  local what=$1
  shift 2
  if ! "$@" >out.txt 2>&1; then
    echo "FAIL: $what"; cat out.txt; fails=$((fails + 1))
  fi
}

check "pandas csv read by tabulon" -- "$T" convert by_pandas.csv t_pandas.csv -y -q
check "values of pandas csv" -- compare t_pandas.csv
check "csv module file read by tabulon" -- "$T" convert by_csv_module.csv t_module.csv -y -q
check "values of csv module file" -- compare t_module.csv
check "tabulon csv read by pandas, same text both ways" -- cmp t_pandas.csv t_module.csv

check "fixed output" -- "$T" convert by_pandas.csv fixed.dat -y -q
[ -f fixed.SCH ] || { echo "FAIL: no fixed.SCH"; fails=$((fails + 1)); }
check "fixed read back" -- "$T" convert fixed.dat fixed_back.csv -y -q
check "fixed values" -- compare fixed_back.csv fixed

# HTML output of the same data is one table row per record.
check "html output" -- "$T" convert by_pandas.csv table.html -y -q
rows=$(grep -c '^<TR ALIGN=RIGHT> ' table.html)
[ "$rows" = 60 ] || { echo "FAIL: html rows $rows"; fails=$((fails + 1)); }
grep -q '&lt;tag&gt; &amp; more' table.html || { echo "FAIL: html escapes"; fails=$((fails + 1)); }

# Latin-1 in and out: names and values through the encoders, read back by pandas.
printf 'nom,caf\xe9\n\xe9t\xe9,1\nna\xefve,2\n' >latin1.csv
check "latin-1 conversion" -- "$T" convert latin1.csv latin1_out.csv -y -q -s in-encoding=ISO-8859-1 -s out-encoding=ISO-8859-1
check "latin-1 values" -- $PY -c '
import pandas as pd
d = pd.read_csv("latin1_out.csv", encoding="latin-1")
assert list(d.columns) == ["nom", "caf\u00e9"], list(d.columns)
assert list(d["nom"]) == ["\u00e9t\u00e9", "na\u00efve"], list(d["nom"])
assert list(d["caf\u00e9"]) == [1, 2]'

[ "$fails" = 0 ] && echo "text interop: all passed"
exit "$fails"
