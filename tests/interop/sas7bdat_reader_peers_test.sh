#!/bin/bash
# SAS data sets written by ReadStat (from CSV with SPSS-style metadata, through .sav) are read by
# Tabulon and compared value for value with ReadStat's own CSV, with pandas.read_sas, and (for
# the labels) with the Stata file ReadStat makes of the same data set as read by pandas.
# The unit tests' hand-built data sets (32- and 64-bit, big-endian, RLE and RDC compressed rows,
# mixed pages, dates, times and date-times) are compared with pandas as well.
set -euo pipefail
cli="${TABULON_BUILD_DIR:?}/tabulon"
[ -x "$cli" ] || { echo "the tabulon command is not built"; exit 1; }
command -v readstat >/dev/null || { echo "readstat is not installed"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Small data set: numbers, text with non-ASCII letters, empty and missing cells, labels.
cat > small.csv <<'CSV'
id,name,score,amount
1,ann,2.5,1000000.125
2,Zoë Ünal,,-3
3,"c, d",-1,
4,,0,1e-10
CSV
cat > small.json <<'JSON'
{"type": "SPSS", "variables": [
 {"type": "NUMERIC", "name": "id", "format": "NUMBER", "label": "Identifier"},
 {"type": "STRING", "name": "name", "label": "Näme"},
 {"type": "NUMERIC", "name": "score", "format": "NUMBER", "decimals": 2, "label": "Score"},
 {"type": "NUMERIC", "name": "amount", "format": "NUMBER", "decimals": 3}]}
JSON
# Large data set: rows over many pages.
/usr/bin/python3 - <<'PY'
import csv, math
with open("large.csv", "w", newline="", encoding="utf-8") as f:
    w = csv.writer(f)
    w.writerow(["n", "x", "label"])
    for n in range(1, 3001):
        x = "" if n % 97 == 0 else repr(math.sin(n) * 10 ** (n % 9))
        w.writerow([n, x, "row %d é" % n if n % 5 else ""])
PY
cat > large.json <<'JSON'
{"type": "SPSS", "variables": [
 {"type": "NUMERIC", "name": "n", "format": "NUMBER"},
 {"type": "NUMERIC", "name": "x", "format": "NUMBER", "decimals": 4},
 {"type": "STRING", "name": "label", "label": "Text"}]}
JSON

for set in small large; do
  readstat "$set.csv" "$set.json" "$set.sav" >/dev/null 2>&1 || { echo "FAIL readstat cannot write $set.sav"; exit 1; }
  readstat "$set.sav" "$set.sas7bdat" >/dev/null 2>&1 || { echo "FAIL readstat cannot write $set.sas7bdat"; exit 1; }
  readstat "$set.sas7bdat" "$set.readstat.csv" >/dev/null 2>&1
  readstat "$set.sas7bdat" "$set.dta" >/dev/null 2>&1
  "$cli" convert "$set.sas7bdat" "$set.tabulon.csv" -y >/dev/null
  "$cli" info "$set.sas7bdat" --json >"$set.info.json"
done

/usr/bin/python3 - <<'PY'
import csv, json, math, sys
import pandas as pd

def norm(cell):
    c = cell.strip()
    if c == "":
        return None
    try:
        x = float(c)
        return ("n", x)
    except ValueError:
        return c

def same(a, b):
    # ReadStat prints about 15 significant digits.
    if isinstance(a, tuple) and isinstance(b, tuple):
        return math.isclose(a[1], b[1], rel_tol=1e-11, abs_tol=1e-300)
    return a == b

def rows(path):
    with open(path, newline="", encoding="utf-8") as f:
        return [[norm(c) for c in r] for r in csv.reader(f)]

failures = 0
checked = 0
for name in ("small", "large"):
    ours = rows(name + ".tabulon.csv")
    theirs = rows(name + ".readstat.csv")
    if len(ours) != len(theirs):
        print("FAIL", name, "row counts", len(ours), len(theirs)); failures += 1; continue
    for k, (a, b) in enumerate(zip(ours, theirs)):
        for x, y in zip(a, b):
            checked += 1
            if not same(x, y):
                failures += 1
                if failures < 10: print("FAIL", name, "readstat row", k, x, y)
    frame = pd.read_sas(name + ".sas7bdat", encoding="utf-8")
    if list(frame.columns) != [c[1] if isinstance(c, tuple) else c for c in ours[0]]:
        print("FAIL", name, "names", list(frame.columns), ours[0]); failures += 1
    for k, rec in enumerate(frame.itertuples(index=False)):
        for x, y in zip(ours[k + 1], rec):
            checked += 1
            if isinstance(y, float):
                ok = (x is None) if math.isnan(y) else (isinstance(x, tuple) and math.isclose(x[1], y, rel_tol=1e-12))
            else:
                ok = (x or "") == y.rstrip()
            if not ok:
                failures += 1
                if failures < 10: print("FAIL", name, "pandas row", k, x, y)
    # Labels: ReadStat's Stata copy of the data set, read by pandas.
    labels = pd.io.stata.StataReader(name + ".dta").variable_labels()
    info = json.load(open(name + ".info.json", encoding="utf-8"))
    for v in info["variables"]:
        checked += 1
        if v["label"] != labels.get(v["name"], ""):
            failures += 1
            print("FAIL", name, "label of", v["name"], repr(v["label"]), repr(labels.get(v["name"])))
    if info["cases"] != len(frame):
        print("FAIL", name, "case count", info["cases"], len(frame)); failures += 1
print("%d values and labels checked, %d failed" % (checked, failures))
sys.exit(1 if failures else 0)
PY

# ---- hand-built layouts against pandas ----
units="${TABULON_BUILD_DIR}/tests/unit_formats"
[ -x "$units" ] || { echo "unit_formats is not built"; exit 1; }
mkdir built
SAS_PEER_DIR="$work/built" "$units" --gtest_filter='Sas7bdatReader.WritesLayoutsForThePeers' >/dev/null
for f in built/*.sas7bdat; do "$cli" convert "$f" "${f%.sas7bdat}.csv" -y >/dev/null; done
/usr/bin/python3 - <<'PY'
import csv, datetime, glob, math, re, sys
import pandas as pd

EPOCH = datetime.datetime(1960, 1, 1)
failures = checked = 0
files = sorted(glob.glob("built/*.sas7bdat"))
for path in files:
    frame = pd.read_sas(path, encoding="utf-8")
    with open(path[:-9] + ".csv", newline="", encoding="utf-8") as f:
        ours = list(csv.reader(f))
    if ours[0] != list(frame.columns) or len(ours) - 1 != len(frame):
        print("FAIL", path, "shape", ours[0], list(frame.columns)); failures += 1; continue
    for k, rec in enumerate(frame.itertuples(index=False)):
        for cell, theirs in zip(ours[k + 1], rec):
            checked += 1
            if isinstance(theirs, pd.Timestamp) or (theirs is pd.NaT):
                ok = (cell == "") if theirs is pd.NaT else \
                    datetime.datetime.strptime(cell, "%m/%d/%Y %H:%M:%S") == theirs.to_pydatetime()
            elif isinstance(theirs, str):
                ok = cell == theirs.rstrip()
            elif theirs is None or (isinstance(theirs, float) and math.isnan(theirs)):
                ok = cell == ""
            elif re.fullmatch(r"\d+/\d+/\d+", cell):      # date: days since 1960
                ok = (datetime.datetime.strptime(cell, "%m/%d/%Y") - EPOCH).days == theirs
            elif re.fullmatch(r"-?\d\d+:\d\d:\d\d", cell):   # a duration: signed seconds, whole days kept
                sign = -1 if cell.startswith("-") else 1
                h, m, s = map(int, cell.lstrip("-").split(":"))
                ok = sign * (h * 3600 + m * 60 + s) == theirs
            else:
                try:
                    ok = math.isclose(float(cell), theirs, rel_tol=1e-12)
                except ValueError:
                    ok = False
            if not ok:
                failures += 1
                if failures < 10: print("FAIL", path, "row", k, repr(cell), repr(theirs))
print("%d files, %d hand-built values checked against pandas, %d failed" % (len(files), checked, failures))
sys.exit(1 if failures or len(files) != 9 else 0)
PY
echo "SAS reader peers passed"
