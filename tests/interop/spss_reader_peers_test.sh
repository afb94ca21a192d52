#!/bin/bash
# SPSS system files written by PSPP (compressed, uncompressed, zlib; UTF-8 and windows-1252) and
# by ReadStat (.sav and .zsav from a CSV and a JSON description) are read by Tabulon. Values are
# compared cell by cell with pspp-convert (and readstat's own CSV); names, variable labels, value
# labels and types with PSPP's DISPLAY DICTIONARY; user-missing values must come out empty exactly
# where PSPP's missing-value definitions say so.
set -u
: "${TABULON_SOURCE_DIR:?}" "${TABULON_BUILD_DIR:?}"
LIB=${TABULON_BIN:-$TABULON_BUILD_DIR}
for tool in pspp pspp-convert readstat; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool missing"; exit 0; }
done
work=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT; [ -n "${KEEP:-}" ] && echo "work: $work"
cd "$work" || exit 1
export LC_ALL=C.UTF-8

# A tiny host: reads IN (format 22), prints the dictionary, transfers the cases to OUT (CSV).
# MODE "none" reads user-missing values as ordinary values.
cat > host.c <<'C'
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "tabulon/tabulon.h"
int main(int argc, char** argv) {
  if (argc < 4) return 2;
  int env = DX_OpenEnvironment();
  if (strcmp(argv[3], "none") == 0) DX_SetOption(env, 4, 2, NULL);
  int r = DX_OpenInputFile(env, 22, argv[1]);
  if (r >= 0) r = DX_ReadDict(env);
  if (r < 0) { fprintf(stderr, "read failed (%d): %s\n", r, DX_GetErrorMsg(env)); return 1; }
  int n = r;
  printf("N\t%d\n", DX_GetNCases(env));
  char file_label[256] = "";
  int room = (int)sizeof file_label;
  if (DX_GetDatasetInfo(env, 1, &room, file_label) == 0) printf("F\t%s\n", file_label);
  for (int i = 0; i < n; ++i) {
    printf("V\t%s\t%d\t%s\n", DX_GetVarName(env, i), DX_GetTType(env, i) + 1, DX_GetVarLabel(env, i));
    int k = DX_GetNValueLabels(env, i);
    for (int j = 0; j < k; ++j) {
      double value = 0;
      char text[256] = "", label[1024] = "";
      int kind = DX_GetValueLabelExt(env, j, &value, text, label, sizeof label);
      if (kind == 1) printf("L\t%s\t%.15g\t%s\n", DX_GetVarName(env, i), value, label);
      else printf("L\t%s\t%s\t%s\n", DX_GetVarName(env, i), text, label);
    }
  }
  r = DX_OpenOutFile(env, 18, argv[2]);
  if (r >= 0) r = DX_TransferAllRecords(env);
  if (r < 0) { fprintf(stderr, "transfer failed (%d): %s\n", r, DX_GetErrorMsg(env)); DX_CloseFiles(env); return 1; }
  r = DX_CloseFiles(env);
  DX_CloseEnvironment(env);
  return r < 0;
}
C
cc -o host host.c -I"$TABULON_SOURCE_DIR/include" -L"$LIB" -ltabulon -Wl,-rpath,"$LIB" || { echo "FAIL cannot build the host"; exit 1; }

# ---- the peers' files ----

long=$(printf 'Long,text.%.0s' $(seq 1 60))  # 600 bytes
cat > data.sps <<EOF
DATA LIST LIST /id (F4.0) name (A12) score (F8.2) born (DATE11) t (TIME8) dt (DATETIME20)
  VeryLongVariableNameNumber1 (F5.1) longtext (A300) city (A8) rng (F6.2) wide (A505).
BEGIN DATA
1 "Ann" 12.5 "17-MAY-1990" "08:30:00" "29-FEB-2020 23:59:00" 1.5 "x" "Zürich" -5 "${long:0:505}"
2 "Bob" -9 "01-DEC-2001" "12:00:00" "01-JAN-1970 00:00:00" 99 "${long:0:300}" "café" 0 "${long:100:300}"
3 "Éva" 1000 "" "" "" . "" "" 10 ""
4 "D, E" 0.001 "14-OCT-1582" "23:59:59" "01-JAN-1900 00:00:01" -0.5 "y" "Köln" 10.01 "z"
END DATA.
VARIABLE LABELS id "Identifier" score "Test score ñ" city "Città" longtext "A, label with a comma".
VALUE LABELS id 1 "one" 2 "two" /name "Bob" "Bob, the builder" /city "café" "Café label" /score 1000 "thousand" -9 "refused".
MISSING VALUES score (-9, 1000) VeryLongVariableNameNumber1 (90 THRU HIGHEST) city ("café") rng (-5 THRU 10).
FILE LABEL Peer data.
EOF
{
  echo "SET LOCALE='UTF-8'."; cat data.sps
  echo "SAVE OUTFILE='pspp_bytecode.sav' /COMPRESSED."
  echo "SAVE OUTFILE='pspp_raw.sav' /UNCOMPRESSED."
  echo "SAVE OUTFILE='pspp_zlib.zsav' /ZCOMPRESSED."
} > make_utf8.sps
{
  echo "SET LOCALE='windows-1252'."; cat data.sps
  echo "SAVE OUTFILE='pspp_1252.sav' /COMPRESSED."
} > make_1252.sps
pspp make_utf8.sps -o make_utf8.txt >/dev/null 2>&1 || { cat make_utf8.txt; echo "FAIL pspp cannot write"; exit 1; }
pspp make_1252.sps -o make_1252.txt >/dev/null 2>&1 || { cat make_1252.txt; echo "FAIL pspp cannot write 1252"; exit 1; }

cat > rs.csv <<'EOF'
id,name,score,amount
1,Ann,12.5,1e10
2,"Bob, Jr",-9,-0.25
3,,,3
4,Zoë,7,
EOF
cat > rs.json <<'EOF'
{"type": "SPSS", "variables": [
 {"type": "NUMERIC", "name": "id", "format": "NUMBER", "label": "Identifier", "categories": [{"code": 1, "label": "one"}, {"code": 2, "label": "two"}]},
 {"type": "STRING", "name": "name", "label": "Näme"},
 {"type": "NUMERIC", "name": "score", "format": "NUMBER", "decimals": 2, "label": "Score", "missing": {"type": "DISCRETE", "values": [-9]}},
 {"type": "NUMERIC", "name": "amount", "format": "NUMBER", "decimals": 2}]}
EOF
readstat rs.csv rs.json readstat.sav >/dev/null 2>&1 || { echo "FAIL readstat cannot write .sav"; exit 1; }
# (readstat writes .zsav from a .sav; from CSV it crashes)
readstat readstat.sav readstat.zsav >/dev/null 2>&1 || { echo "FAIL readstat cannot write .zsav"; exit 1; }

# ---- compare ----

cat > compare.py <<'PY'
import csv, datetime, io, re, sys

def norm(cell):
    """A cell of either CSV as a comparable value: numbers, dates and times in one form."""
    c = cell.strip()
    if c == "":
        return ""
    try:
        return ("n", round(float(c), 9))
    except ValueError:
        pass
    for fmt in ("%m/%d/%Y %H:%M:%S", "%m/%d/%Y"):
        try:
            return ("d", datetime.datetime.strptime(c, fmt))
        except ValueError:
            pass
    m = re.fullmatch(r"(\d+):(\d\d):(\d\d)", c)
    if m:
        return ("t", int(m[1]) * 3600 + int(m[2]) * 60 + int(m[3]))
    return c

def rows(path):
    with open(path, newline="", encoding="utf-8") as f:
        return [r for r in csv.reader(f)]

def parse_dict(path):
    """PSPP's DISPLAY DICTIONARY as CSV: variables (name, label, format, missing) and value labels."""
    text = open(path, encoding="utf-8").read()
    tables = {}
    for block in text.split("\n\n"):
        lines = block.strip().splitlines()
        if lines and lines[0].startswith("Table: "):
            tables[lines[0][7:]] = list(csv.reader(io.StringIO("\n".join(lines[1:]))))
    variables = {}
    for r in tables["Variables"][1:]:
        variables[r[0]] = {"label": r[2], "format": r[7], "missing": r[9]}
    labels = []
    current = None
    by_label = {v["label"]: n for n, v in variables.items()}
    for r in tables.get("Value Labels", [])[1:]:
        if len(r) < 3 or r[0].startswith("Footnote"):
            continue
        if r[0]:
            current = by_label.get(r[0], r[0])
        labels.append((current, re.sub(r"\[[a-z]\]$", "", r[1]).strip(), r[2]))
    return variables, labels

def missing_matcher(spec):
    """PSPP's missing-value text ("-9; 1000", "90 THRU HIGHEST") as a test on numbers."""
    tests = []
    for part in [p.strip() for p in spec.split(";") if p.strip()]:
        m = re.fullmatch(r"(\S+) THRU (\S+)", part)
        if m:
            lo = -float("inf") if m[1] == "LOWEST" else float(m[1])
            hi = float("inf") if m[2] == "HIGHEST" else float(m[2])
            tests.append(lambda x, lo=lo, hi=hi: lo <= x <= hi)
        else:
            try:
                v = float(part)
            except ValueError:
                continue  # string missing values are kept as values
            tests.append(lambda x, v=v: x == v)
    return lambda x: any(t(x) for t in tests)

def ttype_of(fmt):
    if fmt.startswith("A"):
        return 1
    for prefix, t in (("DATETIME", 9), ("DATE", 7), ("TIME", 8)):
        if fmt.startswith(prefix):
            return t
    return 5

def main(name, dump, ours_none, ours_all, theirs, dict_csv, readstat_csv=None):
    fails = []
    def check(ok, what):
        if not ok:
            fails.append(what)
    info = [l.rstrip("\n").split("\t") for l in open(dump, encoding="utf-8")]
    our_vars = [(l[1], int(l[2]), l[3] if len(l) > 3 else "") for l in info if l[0] == "V"]
    our_labels = [(l[1], l[2], l[3]) for l in info if l[0] == "L"]
    variables, labels = parse_dict(dict_csv)
    check([v[0] for v in our_vars] == list(variables), f"names {[v[0] for v in our_vars]} != {list(variables)}")
    for vname, ttype, label in our_vars:
        if vname not in variables:
            continue
        check(label == variables[vname]["label"], f"label of {vname}: {label!r} != {variables[vname]['label']!r}")
        check(ttype == ttype_of(variables[vname]["format"]), f"type of {vname}: {ttype} for {variables[vname]['format']}")
    def label_key(entry):
        var, value, label = entry
        try:
            return (var, float(value), label)
        except ValueError:
            return (var, value.strip(), label)
    check(sorted(map(label_key, our_labels)) == sorted(map(label_key, labels)),
          f"value labels {sorted(map(label_key, our_labels))} != {sorted(map(label_key, labels))}")
    mine, peer, mine_all = rows(ours_none), rows(theirs), rows(ours_all)
    check(mine[0] == peer[0], f"header {mine[0]} != {peer[0]}")
    check(len(mine) == len(peer), f"{len(mine) - 1} cases != {len(peer) - 1}")
    names = peer[0]
    matchers = [missing_matcher(variables.get(n, {}).get("missing", "")) for n in names]
    for r, (a, b, c) in enumerate(zip(mine[1:], peer[1:], mine_all[1:]), 1):
        for k, (x, y, z) in enumerate(zip(a, b, c)):
            check(norm(x) == norm(y), f"case {r} {names[k]}: {x!r} != {y!r}")
            ny = norm(y)
            user_missing = isinstance(ny, tuple) and ny[0] == "n" and matchers[k](ny[1])
            check(norm(z) == ("" if user_missing else ny), f"case {r} {names[k]} (user-missing honoured): {z!r}")
    if readstat_csv:
        other = rows(readstat_csv)
        check(other[0] == mine[0], f"readstat header {other[0]}")
        for r, (a, b) in enumerate(zip(mine[1:], other[1:]), 1):
            for k, (x, y) in enumerate(zip(a, b)):
                check(norm(x) == norm(y), f"readstat case {r} {names[k]}: {x!r} != {y!r}")
    for f in fails:
        print(f"FAIL {name}: {f}")
    if not fails:
        print(f"ok   {name}: {len(mine) - 1} cases, {len(our_vars)} variables, {len(our_labels)} value labels agree")
    return not fails

sys.exit(0 if main(*sys.argv[1:]) else 1)
PY

fail=0
for f in pspp_bytecode.sav pspp_raw.sav pspp_zlib.zsav pspp_1252.sav readstat.sav readstat.zsav; do
  ./host "$f" "$f.none.csv" none > "$f.dict" 2> "$f.err" || { cat "$f.err"; echo "FAIL $f: Tabulon cannot read it"; fail=1; continue; }
  ./host "$f" "$f.all.csv" all > /dev/null 2>> "$f.err" || { cat "$f.err"; echo "FAIL $f (user-missing)"; fail=1; continue; }
  pspp-convert "$f" "$f.pspp.csv" || { echo "FAIL pspp-convert $f"; fail=1; continue; }
  printf "GET FILE='%s'.\nDISPLAY DICTIONARY.\n" "$f" > "$f.sps"
  pspp "$f.sps" -o "$f.dict.csv" >/dev/null 2>&1 || { echo "FAIL pspp DISPLAY DICTIONARY $f"; fail=1; continue; }
  extra=()
  if [[ $f == readstat.* ]]; then
    readstat "$f" "$f.rs.csv" >/dev/null 2>&1 || { echo "FAIL readstat $f"; fail=1; continue; }
    extra=("$f.rs.csv")
  fi
  /usr/bin/python3 compare.py "$f" "$f.dict" "$f.none.csv" "$f.all.csv" "$f.pspp.csv" "$f.dict.csv" "${extra[@]}" || fail=1
done

# The case count and file label of PSPP files, and the strings of 300 and 505 bytes in one piece.
grep -q "^N	4$" pspp_bytecode.sav.dict || { echo "FAIL case count"; fail=1; }
for f in pspp_bytecode.sav pspp_zlib.zsav pspp_1252.sav; do
  grep -q "^F	Peer data$" "$f.dict" || { echo "FAIL file label of $f"; fail=1; }
done
[ "$(/usr/bin/python3 -c "import csv,sys; r=list(csv.reader(open(sys.argv[1]))); print(len(r[2][7]), len(r[1][10]))" pspp_zlib.zsav.none.csv)" = "300 505" ] \
  || { echo "FAIL the strings of 300 and 505 bytes"; fail=1; }
exit $fail
