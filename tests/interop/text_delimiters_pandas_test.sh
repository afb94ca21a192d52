#!/bin/bash
# Tab and semicolon files with quoted line breaks, and numbers that need all 17 digits,
# against pandas both ways:
#  - files pandas writes (tab, semicolon, comma; quoted line breaks) are read by Tabulon
#    with the same values, and Tabulon's output in each delimiter reads back in pandas;
#  - 3.141592653589793, 0.30000000000000004 and arbitrary doubles come back bit for bit
#    through CSV, TSV, fixed text with its .SCH, and the fixed data of the SPSS program;
#  - a decimal comma in a comma-delimited output stays inside its quoted field.
set -u
T="${TABULON_BUILD_DIR:?}/tabulon"
PY=/usr/bin/python3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fails=0

check() {  # check DESCRIPTION -- command...
  local what=$1
  shift 2
  if ! "$@" >out.txt 2>&1; then
    echo "FAIL: $what"; cat out.txt; fails=$((fails + 1))
  fi
}

$PY - <<'PY'
import random, struct
import pandas as pd
random.seed(7)
vals = [3.141592653589793, 0.30000000000000004, 1.0 / 3, -2.5e-300, 1.7976931348623157e308, 5e-324,
        123456789012345678.0, 0.1]
while len(vals) < 40:
    v = struct.unpack("<d", struct.pack("<Q", random.getrandbits(64)))[0]
    if v == v and abs(v) != float("inf"):
        vals.append(v)
rows = {"id": list(range(1, len(vals) + 1)), "x": vals,
        "note": ["line one\nline two" if i % 3 == 0 else "plain %d" % i for i in range(len(vals))]}
df = pd.DataFrame(rows)
df.to_pickle("source.pkl")
df.to_csv("in_tab.tsv", sep="\t", index=False)
df.to_csv("in_semi.csv", sep=";", index=False)
df.to_csv("in_comma.csv", index=False)
PY

# compare FILE SEP: FILE (read by pandas with SEP) holds the source values exactly.
compare() {
  $PY - "$@" <<'PY'
import sys
import pandas as pd
src = pd.read_pickle("source.pkl")
got = pd.read_csv(sys.argv[1], sep=sys.argv[2], keep_default_na=False, na_values=[""],
                  float_precision="round_trip")
assert list(got.columns) == list(src.columns), list(got.columns)
assert len(got) == len(src), len(got)
for i in range(len(src)):
    assert int(got["id"][i]) == src["id"][i], ("id", i)
    a, b = src["x"][i], float(got["x"][i])
    assert a == b, ("x", i, repr(a), repr(b))
    assert got["note"][i] == src["note"][i], ("note", i, got["note"][i])
PY
}

for f in in_tab.tsv in_semi.csv in_comma.csv; do
  check "$f read" -- "$T" convert "$f" "out_$f.csv" -y -q
  check "$f values through csv" -- compare "out_$f.csv" ,
done
check "tsv output" -- "$T" convert in_semi.csv out.tsv -y -q
check "tsv values" -- compare out.tsv $'\t'
check "semicolon output" -- "$T" convert in_tab.tsv out_semi.csv -y -q -s delimiter-wr=semicolon
check "semicolon values" -- compare out_semi.csv ';'
check "vertical bar output" -- "$T" convert in_tab.tsv out_bar.csv -y -q -s delimiter-wr=vertbar
check "vertical bar values" -- compare out_bar.csv '|'
check "tabulon reads its own tsv" -- "$T" convert out.tsv again.csv -y -q
check "values after two passes" -- compare again.csv ,

# Fixed text with its .SCH, read back by us; the SPSS program's data read by pandas.
check "fixed output" -- "$T" convert in_comma.csv fixed.dat -y -q
check "fixed read back" -- "$T" convert fixed.dat fixed_back.csv -y -q
check "fixed values" -- $PY - <<'PY'
import pandas as pd
src = pd.read_pickle("source.pkl")
got = pd.read_csv("fixed_back.csv", float_precision="round_trip")
for a, b in zip(src["x"], got["x"]):
    assert a == float(b), (repr(a), repr(b))
PY
check "spss program output" -- "$T" convert in_comma.csv prog.sps -y -q --drop note
check "spss program data" -- $PY - <<'PY'
import re
import pandas as pd
src = pd.read_pickle("source.pkl")
sps = open("prog.sps").read()
cols = {m.group(1): (int(m.group(2)) - 1, int(m.group(3))) for m in re.finditer(r"(\w+) (\d+)-(\d+)", sps)}
x0, x1 = cols["x"]
lines = open("prog.dat").read().splitlines()
assert len(lines) == len(src), len(lines)
for a, line in zip(src["x"], lines):
    assert a == float(line[x0:x1]), (repr(a), line[x0:x1])
PY

# A decimal comma in a comma-delimited output is quoted.
printf 'a;b\n1,5;x\n2,25;y\n' >dec.csv
check "decimal comma output" -- "$T" convert dec.csv dec_out.csv -y -q -s decimal-point=, -s delimiter-wr=comma
check "decimal comma read by pandas" -- $PY -c '
import pandas as pd
d = pd.read_csv("dec_out.csv", decimal=",")
assert list(d.columns) == ["a", "b"], list(d.columns)
assert list(d["a"]) == [1.5, 2.25], list(d["a"])
assert list(d["b"]) == ["x", "y"], list(d["b"])'

# "native" line ends are line feeds here; "win" gives CR LF.
check "native line ends" -- "$T" convert dec.csv lf.csv -y -q
check "win line ends" -- "$T" convert dec.csv crlf.csv -y -q -s line-end=win
if grep -q $'\r' lf.csv || ! grep -q $'\r' crlf.csv; then echo "FAIL: line ends"; fails=$((fails + 1)); fi

[ "$fails" = 0 ] && echo "text delimiters interop: all passed"
exit "$fails"
