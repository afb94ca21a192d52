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
grep -q "^tabulon: warning: noprog.dta: No SAS, SPSS or Stata program files are written beside this output" err.txt ||
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

# The case table: exit code and the one line that says why (an extended regex on stderr).
# case CODE REGEX -- command...
case_() {
  local want=$1 re=$2
  shift 3
  "$@" </dev/null >out.txt 2>err.txt
  local got=$?
  if [ "$got" != "$want" ]; then
    echo "FAIL: [$*]: exit $got, expected $want"; cat err.txt; fails=$((fails + 1))
  elif ! grep -qE -- "$re" err.txt; then
    echo "FAIL: [$*]: no line matching /$re/"; cat err.txt; fails=$((fails + 1))
  elif grep -qvE '^tabulon: ' err.txt; then
    echo "FAIL: [$*]: a line not in the tool's shape"; cat err.txt; fails=$((fails + 1))
  fi
}
cp "$sample" s.csv
ln -s s.csv link.csv
mkdir adir
: > empty.csv
printf 'a,b\n1,2\n' > locked.csv; chmod 000 locked.csv
printf 'id,name\n1,x\n' > notstata.dta
mkdir ro; chmod 555 ro
# Never destroy or half-write a file.
case_ 2 '^tabulon: error: s.csv: is the input file; choose another output file$' -- "$T" convert s.csv s.csv -y
case_ 2 '^tabulon: error: link.csv: is the input file' -- "$T" convert s.csv link.csv -y
cmp -s s.csv "$sample" || { echo "FAIL: the input was changed"; fails=$((fails + 1)); }
case_ 1 '^tabulon: error: /dev/full: .*disk may be full' -- "$T" convert s.csv /dev/full -o csv -y
[ -e /dev/full.SCH ] && { echo "FAIL: a side file beside a device"; fails=$((fails + 1)); }
case_ 0 '^tabulon: 300 cases, 12 variables written to /dev/null' -- "$T" convert s.csv /dev/null -o fixed
[ -e /dev/null.SCH ] && { echo "FAIL: a side file beside /dev/null"; fails=$((fails + 1)); }
case_ 0 'written to d.csv' -- "$T" convert s.csv d.csv
[ -e d.SCH ] && { echo "FAIL: .SCH beside a delimited output without --schema"; fails=$((fails + 1)); }
case_ 0 'written to d2.csv' -- "$T" convert s.csv d2.csv --schema
[ -s d2.SCH ] || { echo "FAIL: --schema wrote no .SCH"; fails=$((fails + 1)); }
case_ 0 'written to f.dat' -- "$T" convert s.csv f.dat
[ -s f.SCH ] || { echo "FAIL: fixed text without its .SCH"; fails=$((fails + 1)); }
ls -a | grep -q '\.tabulon-' && { echo "FAIL: temporary files left"; ls -a; fails=$((fails + 1)); }
# Damaged inputs: exit 1, one line saying truncated or damaged and where; no output left.
"$T" convert s.csv whole.xpt -q
head -c $(( $(stat -c %s whole.xpt) - 30 )) whole.xpt > cut.xpt
case_ 1 '^tabulon: error: cut.xpt: is truncated or damaged: .*case [0-9]+' -- "$T" convert cut.xpt cutx.csv
[ -e cutx.csv ] && { echo "FAIL: output of a cut .xpt kept"; fails=$((fails + 1)); }
"$T" convert s.csv whole.sav -q
head -c $(( $(stat -c %s whole.sav) * 2 / 3 )) whole.sav > cut.sav
printf 'precious' > keep.csv
case_ 1 '^tabulon: error: cut.sav: is truncated or damaged: the data end inside a case \(case [0-9]+\)$' -- "$T" convert cut.sav keep.csv -y
[ "$(cat keep.csv)" = precious ] || { echo "FAIL: a failed conversion replaced the old output"; fails=$((fails + 1)); }
head -c 600 whole.sav > cutdict.sav
case_ 1 '^tabulon: error: cutdict.sav: is truncated or damaged: the file ends inside a dictionary record$' -- "$T" info cutdict.sav
head -c 100 whole.sav > cuthead.sav
case_ 1 '^tabulon: error: cuthead.sav: is truncated or damaged: the file is shorter than an SPSS header$' -- "$T" convert cuthead.sav o.csv
# A data set cut at a page boundary, and one cut inside its header.
"$T" convert s.csv whole.sas7bdat -q
head -c $(( $(stat -c %s whole.sas7bdat) - 4096 )) whole.sas7bdat > cut.sas7bdat
case_ 1 '^tabulon: error: cut.sas7bdat: is truncated or damaged: it holds [0-9]+ of its [0-9]+ pages$' -- "$T" convert cut.sas7bdat cuts.csv
head -c 900 whole.sas7bdat > cuthead.sas7bdat
case_ 1 '^tabulon: error: cuthead.sas7bdat: is truncated or damaged: it ends inside its header \(900 bytes\)$' -- "$T" convert cuthead.sas7bdat cuts.csv
printf 'id,name,city\n1,"Zoë 中","Göteborg 中"\n2,"Ann","Oslo"\n' > u.csv
case_ 0 '^tabulon: warning: uo.csv: Changes: [0-9]+ characters? replaced' -- "$T" convert u.csv uo.csv -s out-encoding=ASCII
case_ 1 '^tabulon: error: uo2.csv: The conversion changed the data \(' -- "$T" convert u.csv uo2.csv -s out-encoding=ASCII --strict
[ -e uo2.csv ] && { echo "FAIL: --strict kept the changed output"; fails=$((fails + 1)); }
grep -q '^tabulon: error: .*substituted' err.txt && { echo "FAIL: a change reported as an error"; fails=$((fails + 1)); }
# Characters written as their nearest ASCII letters are replaced too; each warning names its variable.
printf 'id,name\n1,"Zoë"\n2,"é"\n' > t.csv
case_ 0 '^tabulon: warning: to.csv: Changes: 2 characters replaced in 1 variable$' -- "$T" convert t.csv to.csv -s out-encoding=ASCII
grep -q '"Zoe"' to.csv || { echo "FAIL: transliterated text"; fails=$((fails + 1)); }
case_ 0 '^tabulon: warning: uo3.csv: Variable \[city\]: 4 characters replaced' -- "$T" convert u.csv uo3.csv -s out-encoding=ASCII -v
# Bad settings are usage errors.
case_ 2 '^tabulon: error: invalid parameter in old-version command: banana$' -- "$T" convert s.csv o.dta -s write-old-ver=banana
case_ 2 "^tabulon: error: .*klingon" -- "$T" convert s.csv o.csv -s in-encoding=klingon
case_ 2 "^tabulon: error: unknown directive '%Q' in the date pattern of -s date-fmt-write" -- "$T" convert s.csv o.csv -s date-fmt-write=%Q
case_ 2 '^tabulon: error: s.csv: no variables left to write after --keep and --drop$' -- "$T" convert s.csv o.csv --keep id --drop id
"$T" convert s.csv two.xpt -q
case_ 2 "^tabulon: error: two.xpt: no member 'nosuch'; its members are: [A-Za-z0-9_]+" -- "$T" convert two.xpt o.csv --member nosuch
case_ 2 "^tabulon: error: two.xpt: no member 'nosuch'; its members are:" -- "$T" info two.xpt --member nosuch
$PY - <<'PY'
with open("wide.csv", "w") as f:
    f.write(",".join(f"v{i}" for i in range(5000)) + "\n")
    f.write(",".join(str(i) for i in range(5000)) + "\n")
PY
case_ 0 'written to wide.dta' -- "$T" convert wide.csv wide.dta
case_ 2 'variables do not fit the Stata release chosen with -s write-old-ver' -- "$T" convert wide.csv wide2.dta -s write-old-ver=10
# Plain causes.
case_ 1 '^tabulon: error: adir: is a directory$' -- "$T" convert adir o.csv
case_ 1 '^tabulon: error: empty.csv: is empty$' -- "$T" convert empty.csv o.csv
case_ 1 '^tabulon: error: nope.csv: No such file or directory$' -- "$T" convert nope.csv o.csv
case_ 1 '^tabulon: error: notstata.dta: not a Stata file \(looks like CSV\)$' -- "$T" convert notstata.dta o.csv
case_ 1 '^tabulon: error: adir: is a directory$' -- "$T" convert s.csv adir
if [ "$(id -u)" != 0 ]; then
  case_ 1 '^tabulon: error: locked.csv: Permission denied$' -- "$T" convert locked.csv o.csv
  case_ 1 '^tabulon: error: ro/o.csv: Permission denied$' -- "$T" convert s.csv ro/o.csv
fi
case_ 1 '^tabulon: error: d.csv: exists; use -y to replace it$' -- "$T" convert s.csv d.csv
case_ 0 '^tabulon: LIB: ' -- "$T" convert s.csv vv.csv -vv
"$T" convert s.csv quiet.csv -q 2>err.txt; [ -s err.txt ] && { echo "FAIL: -q printed"; cat err.txt; fails=$((fails + 1)); }
# Names of formats, standard input and output, help.
case_ 0 'written to named.out' -- "$T" convert s.csv named.out -o stata
# A Stata file: release 117 and later begin with their tag, earlier ones with the release byte.
{ [ "$(head -c 11 named.out)" = "<stata_dta>" ] || [ "$(od -An -tu1 -N1 named.out | tr -d ' ')" -ge 104 ]; } ||
  { echo "FAIL: -o stata"; fails=$((fails + 1)); }
for name in spss sas xpt por csv tsv; do case_ 0 "written to n_$name" -- "$T" convert s.csv "n_$name" -o $name; done
head -1 n_tsv | grep -q $'\t' || { echo "FAIL: -o tsv is not tab-separated"; fails=$((fails + 1)); }
"$T" convert n_spss - -o csv 2>/dev/null | head -1 | grep -q '"id"' || { echo "FAIL: - as standard output"; fails=$((fails + 1)); }
cat whole.sav | "$T" convert - piped.csv -q && [ "$(wc -l < piped.csv)" = 301 ] ||
  { echo "FAIL: a binary input from standard input"; fails=$((fails + 1)); }
case_ 2 'only text formats' -- "$T" convert s.csv - -o stata
"$T" convert --help | grep -q 'where EXPR: comparisons' || { echo "FAIL: --where syntax in convert --help"; fails=$((fails + 1)); }
"$T" formats > fm.txt; grep -qE '^14 +yes +yes' fm.txt && ! grep -qE '^0 ' fm.txt || { echo "FAIL: formats lists the build"; fails=$((fails + 1)); }
"$T" formats --all | grep -qE '^0 ' || { echo "FAIL: formats --all"; fails=$((fails + 1)); }
"$T" options | grep -E '^use-input-dec' | grep -q 'Honor input decimal places' || { echo "FAIL: use-input-dec description"; fails=$((fails + 1)); }
for k in preserve-sas-names preseve-sas-names dk-continue dk-coninue; do
  case_ 0 'written' -- "$T" convert s.csv "k_$k.csv" -s "$k=Y"
done

# info: declared missing values, members, one JSON type for the keys of a variable's labels.
"$T" convert "$SRC/examples/survey.sch" lab.sav -q
"$T" info lab.sav --json > info.json && "$T" info two.xpt --json > two.json
$PY - info.json two.json <<'PY' || fails=$((fails + 1))
import json, sys
d = json.load(open(sys.argv[1]))
v = {x["name"].lower(): x for x in d["variables"]}
assert v["q1"]["missing"] == "9", v["q1"]
assert v["age"]["missing"] == "120 thru highest", v["age"]
for x in d["variables"]:
    assert len({type(l["value"]) for l in x["value_labels"]}) <= 1, x
t = json.load(open(sys.argv[2]))
assert t["members"] and t["member"] == t["members"][0], t
PY
"$T" info lab.sav | grep -qE '^  5 +q1 +float .* 9 +The service met my needs$' || { echo "FAIL: info text columns"; fails=$((fails + 1)); }

# Ctrl-C and the bar, on a conversion long enough to interrupt, through a pseudo-terminal.
$PY "$SRC/tests/cli/signal_pty_check.py" "$T" || fails=$((fails + 1))

if [ "$fails" -ne 0 ]; then echo "$fails failure(s)"; exit 1; fi
echo "cli tests passed"
