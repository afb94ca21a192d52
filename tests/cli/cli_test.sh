#!/bin/bash
# Runs the real tabulon binary: conversions of the sample, info --json parsed back,
# usage errors with their exit codes, and the overwrite rule in a non-interactive run.
set -u
T="${TABULON_BUILD_DIR:?}/tabulon"
SRC="${TABULON_SOURCE_DIR:?}"
PY=/usr/bin/python3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fails=0

# expect CODE DESCRIPTION -- command...   (stdin is not a terminal: no prompts)
expect() {
  local want=$1 what=$2
  shift 3
  "$@" </dev/null >out.txt 2>err.txt
  local got=$?
  if [ "$got" != "$want" ]; then
    echo "FAIL: $what: exit $got, expected $want"; cat err.txt; fails=$((fails + 1))
  elif [ "$want" != 0 ] && [ "$(wc -l <err.txt)" -lt 1 ]; then
    echo "FAIL: $what: no message on stderr"; fails=$((fails + 1))
  elif grep -qiE 'terminate called|Segmentation|Aborted|what\(\)' err.txt; then
    echo "FAIL: $what: crash text"; cat err.txt; fails=$((fails + 1))
  fi
}

sample="$SRC/examples/survey.csv"

# Conversions of the sample.
expect 0 "csv to csv" -- "$T" convert "$sample" survey.csv
expect 0 "csv to dta" -- "$T" convert "$sample" survey.dta
expect 0 "dta to csv" -- "$T" convert survey.dta back.csv
expect 0 "keep and where" -- "$T" convert "$sample" adults.csv --keep "id age q1-q3" --where "age >= 65"

# info --json parsed back.
expect 0 "info --json" -- "$T" info survey.dta --json
$PY - out.txt <<'PY' || fails=$((fails + 1))
import json, sys
d = json.load(open(sys.argv[1]))
assert d["format_code"] == 14, d["format_code"]
assert d["cases"] == 300, d["cases"]
names = [v["name"] for v in d["variables"]]
assert names[:4] == ["id", "region", "sex", "age"], names
types = {v["name"]: v["type"] for v in d["variables"]}
assert types["region"] == "string" and types["interview"] == "date", types
PY

$PY - "$sample" back.csv adults.csv <<'PY' || fails=$((fails + 1))
import csv, sys
src = list(csv.DictReader(open(sys.argv[1], encoding="utf-8")))
back = list(csv.DictReader(open(sys.argv[2], encoding="utf-8")))
assert len(back) == len(src) == 300
for a, b in zip(src, back):
    assert a["id"] == b["id"] and a["region"] == b["region"] and a["comment"] == b["comment"], (a, b)
    assert (a["income"] == "") == (b["income"].strip() in ("", ".")), (a["income"], b["income"])
    if a["income"]:
        assert abs(float(a["income"]) - float(b["income"])) < 1e-9
adults = list(csv.DictReader(open(sys.argv[3], encoding="utf-8")))
assert list(adults[0].keys()) == ["id", "age", "q1", "q2", "q3"], list(adults[0].keys())
assert len(adults) == sum(1 for r in src if int(r["age"]) >= 65), len(adults)
assert all(int(r["age"]) >= 65 for r in adults)
PY

# The sample's schema carries labels, value labels and missing values into a Stata file.
expect 0 "schema to dta" -- "$T" convert "$SRC/examples/survey.sch" labelled.dta
$PY - labelled.dta <<'PY' || fails=$((fails + 1))
import sys, pandas as pd
r = pd.io.stata.StataReader(sys.argv[1])
d = r.read(convert_categoricals=False)
assert len(d) == 300
assert r.variable_labels()["q1"] == "The service met my needs"
assert r.value_labels()["sex"] == {1: "male", 2: "female"}, r.value_labels()
assert d["q1"].isna().sum() > 0 and (d["q1"].dropna() <= 5).all()  # 9 = refused is missing
PY

# Non-ASCII text in Stata files: pandas' files read intact; ours written as UTF-8 by default
# (release 118), and as Windows-1252 when an older release is asked for (114, 117), read so by
# pandas and ReadStat.
$PY - <<'PY' || fails=$((fails + 1))
import pandas as pd
df = pd.DataFrame({"s": ["für", "Qualität", "abc"], "x": [1.5, 2.0, 3.0]})
df.to_stata("p114.dta", version=114, write_index=False)
df.to_stata("p117.dta", version=117, write_index=False)
PY
for r in 114 117; do
  expect 0 "pandas $r to csv" -- "$T" convert p$r.dta p$r.csv
  grep -q 'Qualität' p$r.csv || { echo "FAIL: non-ASCII text of a pandas $r file"; fails=$((fails + 1)); }
done
expect 0 "csv to dta 118" -- "$T" convert "$sample" t118.dta
expect 0 "csv to dta 114" -- "$T" convert "$sample" t114.dta -s write-old-ver=10
expect 0 "csv to dta 117" -- "$T" convert "$sample" t117.dta -s write-old-ver=13
$PY - "$sample" <<'PY' || fails=$((fails + 1))
import csv, sys, pandas as pd
want = [r["comment"] for r in csv.DictReader(open(sys.argv[1], encoding="utf-8"))]
got = list(pd.read_stata("t118.dta")["comment"])
assert got == want, ("t118.dta", [(a, b) for a, b in zip(got, want) if a != b][:3])
for f in ("t114.dta", "t117.dta"):
    # pandas decodes these releases as Latin-1; the bytes we wrote are Windows-1252.
    got = [g.encode("latin-1").decode("cp1252") for g in pd.read_stata(f)["comment"]]
    assert got == want, (f, [(a, b) for a, b in zip(got, want) if a != b][:3])
PY
readstat t114.dta - 2>/dev/null | grep -q 'Zu teuer für die Qualität' || { echo "FAIL: readstat reads our 114 text"; fails=$((fails + 1)); }
readstat t118.dta - 2>/dev/null | grep -q 'Zu teuer für die Qualität' || { echo "FAIL: readstat reads our 118 text"; fails=$((fails + 1)); }

# The overwrite rule: without -y an existing output is left alone.
cp survey.csv keep.csv
printf 'precious' > existing.csv
expect 1 "existing output without -y" -- "$T" convert "$sample" existing.csv
[ "$(cat existing.csv)" = "precious" ] || { echo "FAIL: existing output was changed"; fails=$((fails + 1)); }
expect 0 "existing output with -y" -- "$T" convert "$sample" existing.csv -y
[ "$(head -c 4 existing.csv)" = '"id"' ] || { echo "FAIL: -y did not replace the output"; fails=$((fails + 1)); }

# SPSS files: labels and missing values travel; a portable file is known by its content.
expect 0 "schema to sav" -- "$T" convert "$SRC/examples/survey.sch" survey.sav
expect 0 "sav to por" -- "$T" convert survey.sav survey.por
cp survey.por noext
expect 0 "info of a portable file without extension" -- "$T" info noext --json
$PY - out.txt <<'PY' || fails=$((fails + 1))
import json, sys
info = json.load(open(sys.argv[1]))
assert info["format_code"] == 13, info["format"]
assert info["variables"][0]["label"] == "Respondent identifier", info["variables"][0]
names = [v["name"].lower() for v in info["variables"]]
assert names[:4] == ["id", "region", "sex", "age"], names
PY
if command -v pspp-convert >/dev/null; then
  pspp-convert survey.sav pspp.csv && [ "$(wc -l < pspp.csv)" -eq 301 ] ||
    { echo "FAIL: PSPP cannot read the .sav the tool wrote"; fails=$((fails + 1)); }
fi

# Programs beside a fixed-column output; a warning where the output cannot have them.
expect 0 "fixed text with programs" -- "$T" convert "$SRC/examples/survey.sch" fixed.dat -o 19 --programs spss,stata
for f in fixed.sps fixed.do fixed.dct; do [ -s "$f" ] || { echo "FAIL: --programs did not write $f"; fails=$((fails + 1)); }; done
[ -e fixed.sas ] && { echo "FAIL: --programs wrote a SAS program not asked for"; fails=$((fails + 1)); }
expect 0 "programs beside a Stata file" -- "$T" convert "$sample" noprog.dta --programs all
grep -q "^Warning:No SAS, SPSS or Stata program files are written beside this output" err.txt ||
  { echo "FAIL: no warning for programs beside a Stata file"; fails=$((fails + 1)); }
expect 2 "bad --programs list" -- "$T" convert "$sample" o.dat --programs spss,r

# Usage errors (exit 2) and conversion failures (exit 1).
expect 2 "no command" -- "$T"
expect 2 "unknown command" -- "$T" frobnicate
expect 2 "unknown option" -- "$T" convert "$sample" x.csv --bogus
expect 2 "missing output argument" -- "$T" convert "$sample"
expect 2 "unknown extension" -- "$T" convert "$sample" out.qqq
expect 2 "unknown keyword option" -- "$T" convert "$sample" o.csv -s no-such-option=1
expect 2 "bad option value" -- "$T" convert "$sample" o.csv -s write-field-names=maybe
grep -q "Invalid paramater in 'set' command" err.txt || { echo "FAIL: library message for a bad value"; fails=$((fails + 1)); }
expect 1 "missing input" -- "$T" convert nope.csv o.csv
expect 1 "output directory missing" -- "$T" convert "$sample" no/such/dir/o.csv
printf '\x00\x01\x02garbage' > junk.dta
expect 1 "unreadable input" -- "$T" convert junk.dta o.csv -i dta
expect 1 "bad where" -- "$T" convert "$sample" w.csv --where "age >>> 3"

# Help and listings.
expect 0 "--help" -- "$T" --help
expect 0 "--version" -- "$T" --version
grep -q "12.1.196.1216" out.txt || { echo "FAIL: version text"; fails=$((fails + 1)); }
expect 0 "formats" -- "$T" formats
grep -qE '^18 +yes +yes' out.txt || { echo "FAIL: formats lists delimited text"; fails=$((fails + 1)); }
expect 0 "options" -- "$T" options
grep -q "^write-old-ver" out.txt || { echo "FAIL: options lists write-old-ver"; fails=$((fails + 1)); }

if [ "$fails" -ne 0 ]; then echo "$fails failure(s)"; exit 1; fi
echo "cli tests passed"
