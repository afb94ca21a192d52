#!/bin/bash
# SPSS system files written by Tabulon, read by PSPP (pspp-convert, DISPLAY DICTIONARY) and by
# ReadStat's readstat command, compared value for value with what was written: numbers,
# strings (non-ASCII UTF-8, one longer than 255 bytes), dates, times, date-times, system
# missing, variable labels, value labels (numeric, short and long strings), long names,
# missing values of a schema input, and the release-12 form.
set -u
. "${TABULON_SOURCE_DIR:?}/tests/interop/support/lib.sh"
interop_init pspp pspp-convert readstat

# A tiny host. "make OUT RELEASE": a data set built through the dictionary API.
# "IN_CODE IN OUT_CODE OUT": one transfer. Messages go to stderr.
cat > host.c <<'C'
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "tabulon/tabulon.h"
static void log_cb(int32_t level, const char* text, int32_t category, int64_t user) {
  (void)level; (void)category; (void)user;
  fprintf(stderr, "%s\n", text);
}
static void num(int env, int k, double x) { DX_SetVarDouble(env, k, &x); }
int main(int argc, char** argv) {
  if (argc < 3) return 2;
  int env = DX_OpenEnvironment();
  const uint32_t masks[4] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
  DX_SetInfoCallback(env, -1, masks, 0, 0, log_cb);
  int r;
  if (strcmp(argv[1], "make") == 0) {
    if (argc > 3) DX_SetOption(env, 77, atoi(argv[3]), NULL);
    DX_InitUserDict(env, 9);
    DX_AddUserVar(env, 0, "id", 1, 8, 0);
    DX_AddUserVar(env, 1, "score", 1, 8, 2);
    DX_AddUserVar(env, 2, "name", 2, 6, 0);
    DX_AddUserVar(env, 3, "city", 2, 20, 0);
    DX_AddUserVar(env, 4, "born", 4, 11, 0);
    DX_AddUserVar(env, 5, "at", 8, 8, 0);
    DX_AddUserVar(env, 6, "stamp", 16, 20, 0);
    DX_AddUserVar(env, 7, "story", 2, 400, 0);
    DX_AddUserVar(env, 8, "household_income_before_taxes", 1, 10, 1);
    DX_SetVarLabel(env, 0, "Identifier");
    DX_SetVarLabel(env, 1, "Test score \xC3\xBC");
    DX_SetVarLabel(env, 3, "City of birth");
    DX_SetVarLabel(env, 7, "A long story");
    DX_SetNValueLabels(env, 0, 2);
    DX_SetValueLabelExt(env, 0, 1, NULL, "one");
    DX_SetValueLabelExt(env, 1, 2, NULL, "two \xC3\xA9");
    DX_SetNValueLabels(env, 2, 1);
    DX_SetValueLabelExt(env, 0, 0, "Ann", "Anne");
    DX_SetNValueLabels(env, 3, 1);
    DX_SetValueLabelExt(env, 0, 0, "Z\xC3\xBCrich", "Zurich in German");
    DX_SetNValueLabels(env, 7, 1);
    DX_SetValueLabelExt(env, 0, 0, "short", "A short story");
    r = DX_OpenOutFile(env, 22, argv[2]);
    char story[401];
    for (int i = 0; i < 400; ++i) story[i] = (char)('a' + i % 26);
    story[400] = 0;
    story[255] = 'X';
    const char* names[4] = {"Ann", "Bob", "", "\xC3\x89mile"};
    const char* cities[4] = {"Z\xC3\xBCrich", "S\xC3\xA3o Paulo", "Krak\xC3\xB3w", ""};
    const double born[4] = {33010, 37226, -1, 27425};
    const double at[4] = {0.3541666666666667, 0.5, -1, 0.99998842592592593};
    const double stamp[4] = {43890.999305555556, 25569, -1.25, -1};
    const double score[4] = {2.5, -1, -1e9, 152};
    for (int c = 0; c < 4 && r >= 0; ++c) {
      num(env, 0, c + 1);
      if (score[c] == -1e9) DX_SetVarMissing(env, 1); else num(env, 1, score[c]);
      DX_SetVarString(env, 2, names[c]);
      DX_SetVarString(env, 3, cities[c]);
      if (born[c] < 0) DX_SetVarMissing(env, 4); else num(env, 4, born[c]);
      if (at[c] < 0) DX_SetVarMissing(env, 5); else num(env, 5, at[c]);
      if (stamp[c] == -1) DX_SetVarMissing(env, 6); else num(env, 6, stamp[c]);
      DX_SetVarString(env, 7, c == 0 ? story : c == 1 ? "short" : "");
      num(env, 8, c == 2 ? 123456.5 : 1000 * c);
      r = DX_WriteRecord(env);
    }
  } else {
    if (argc < 5) return 2;
    r = DX_OpenInputFile(env, atoi(argv[1]), argv[2]);
    if (r >= 0) r = DX_ReadDict(env);
    if (r >= 0) r = DX_OpenOutFile(env, atoi(argv[3]), argv[4]);
    if (r >= 0) r = DX_TransferAllRecords(env);
  }
  if (r < 0) { fprintf(stderr, "failed (%d): %s\n", r, DX_GetErrorMsg(env)); DX_CloseFiles(env); return 1; }
  r = DX_CloseFiles(env);
  DX_CloseEnvironment(env);
  return r < 0;
}
C
cc -o host host.c -I"$TABULON_SOURCE_DIR/include" -L"$LIB" -ltabulon -Wl,-rpath,"$LIB" || { echo "FAIL cannot build the host"; exit 1; }

story=$(/usr/bin/python3 -c 'import string; s = (string.ascii_lowercase * 16)[:400]; print(s[:255] + "X" + s[256:])')

# ---- release 16 (the default) ----
./host make out.sav 2> warn.txt || { cat warn.txt; echo "FAIL make out.sav"; exit 1; }
pspp-convert out.sav pspp.csv 2> pspp.err || { echo "FAIL pspp-convert"; exit 1; }
check "PSPP reads the file without a complaint" "" "$(cat pspp.err)"
check "PSPP reads the values" "id,score,name,city,born,at,stamp,story,household_income_before_taxes
1,2.5,Ann,Zürich,05/17/1990,08:30:00,02/29/2020 23:59:00,$story,0
2,-1,Bob,São Paulo,12/01/2001,12:00:00,01/01/1970 00:00:00,short,1000
3, ,,Kraków, , ,12/29/1899 06:00:00,,123456.5
4,152,Émile,,01/31/1975,23:59:59, ,,3000" "$(tr -d '\r' < pspp.csv)"

printf "GET FILE='out.sav'.\nDISPLAY DICTIONARY.\n" > dict.sps
pspp dict.sps -o dict.csv >/dev/null 2>&1 || { echo "FAIL pspp DISPLAY DICTIONARY"; exit 1; }
# Name, label, print and write formats and missing values of each variable, by column title.
dict_vars() {
  awk '/^Table: Variables/{on=1; next} /^$/{on=0} on' "$1" | /usr/bin/python3 -c 'import csv,sys
rows = csv.DictReader(sys.stdin)
for r in rows:
    print("|".join([r["Name"], r["Label"], r["Print Format"], r["Write Format"], r.get("Missing Values") or ""]))'
}
check "PSPP: long names, labels, formats" "id|Identifier|F8.0|F8.0|
score|Test score ü|F8.2|F8.2|
name||A6|A6|
city|City of birth|A20|A20|
born||DATE11|DATE11|
at||TIME8.0|TIME8.0|
stamp||DATETIME20.0|DATETIME20.0|
story|A long story|A400|A400|
household_income_before_taxes||F10.1|F10.1|" "$(dict_vars dict.csv)"
check "PSPP: value labels" 'Identifier,1,one
,2,two é
name,Ann,Anne
City of birth,Zürich,Zurich in German
A long story,short,A short story' "$(awk '/^Table: Value Labels/{on=1; getline; next} on' dict.csv | tr -d '\r')"

readstat out.sav readstat.csv 2> rs.err || { cat rs.err; echo "FAIL readstat"; fail=1; }
/usr/bin/python3 - readstat.csv "$story" <<'PY' || fail=1
import csv, sys
rows = list(csv.reader(open(sys.argv[1], encoding="utf-8")))
story = sys.argv[2]
# ReadStat gives dates and date-times as seconds since 14 October 1582.
def sec(days, seconds=0):
    return (days + 115859) * 86400 + seconds
want = [
    ["id", "score", "name", "city", "born", "at", "stamp", "story", "household_income_before_taxes"],
    [1, 2.5, "Ann", "Zürich", sec(33010), 30600, sec(43890, 86340), story, 0],
    [2, -1, "Bob", "São Paulo", sec(37226), 43200, sec(25569), "short", 1000],
    [3, None, "", "Kraków", None, None, sec(-1, 21600), "", 123456.5],
    [4, 152, "Émile", "", sec(27425), 86399, None, "", 3000],
]
bad = []
if rows[0] != want[0]:
    bad.append(("header", rows[0]))
for got, exp in zip(rows[1:], want[1:]):
    for g, e, name in zip(got, exp, want[0]):
        if e is None:
            ok = g == ""
        elif isinstance(e, (int, float)):
            try:
                ok = abs(float(g) - e) < 1e-6
            except ValueError:
                ok = False
        else:
            ok = g == e
        if not ok:
            bad.append((name, g, e))
if len(rows) != len(want):
    bad.append(("rows", len(rows)))
if bad:
    print("FAIL readstat reads the values:", bad)
    sys.exit(1)
print("ok   readstat reads the values")
PY
readstat out.sav > rs_meta.txt 2>&1
check "readstat: metadata" "Columns: 9
Rows: 4" "$(grep -E '^(Columns|Rows):' rs_meta.txt)"

# ---- release 12: strings of at most 255 bytes, long-string labels lost, no encoding record ----
./host make r12.sav 12 2> warn12.txt || { cat warn12.txt; echo "FAIL make r12.sav"; exit 1; }
check "release 12 warnings" "Warning:The width of the variable story was truncated to 255 bytes, since this is the max. string length, supported by SPSS
Warning:Variable city has lost the assigned value lables since SPSS does not allow labeling string variables, wider than 8 bytes.
Warning:Variable story has lost the assigned value lables since SPSS does not allow labeling string variables, wider than 8 bytes.
Warning:<Record:<1>::VarName:<story>::String was cut to 255 bytes.>" "$(grep -E 'truncated to 255|lost the assigned|String was cut' warn12.txt)"
pspp-convert r12.sav r12.csv 2>/dev/null || { echo "FAIL pspp-convert r12.sav"; exit 1; }
check "release 12: PSPP reads the story cut to 255 bytes" "${story:0:255}" "$(tr -d '\r' < r12.csv | /usr/bin/python3 -c 'import csv,sys; print(list(csv.reader(sys.stdin))[1][7])')"

# ---- missing values of a schema input, and the command-line tool ----
cat > src.sch <<'EOF'
data list id 1-3 (I3) score 4-9 (F6.2) [-9,>=900] code 10-11 (A) \codes
variable labels score "Test score"
value labels \codes 'x' "Code X"
EOF
printf '%3s%6s%-2s\n' 1 12.5 x 2 -9.00 y 3 950.00 "" > src.dat
./host 46 src.sch 22 schema.sav 2>/dev/null || { echo "FAIL 46 -> 22"; exit 1; }
printf "GET FILE='schema.sav'.\nDISPLAY DICTIONARY.\n" > sdict.sps
pspp sdict.sps -o sdict.csv >/dev/null 2>&1 || { echo "FAIL pspp DISPLAY DICTIONARY schema.sav"; exit 1; }
check "PSPP: missing values" "id||F3.0|F3.0|
score|Test score|F6.2|F6.2|900 THRU HIGHEST; -9
code||A2|A2|" "$(dict_vars sdict.csv)"
pspp-convert schema.sav schema.csv || { echo "FAIL pspp-convert schema.sav"; exit 1; }
check "schema input: values" "id,score,code
1,12.5,x
2, ,y
3, ," "$(tr -d '\r' < schema.csv)"

# ---- a Stata file with a data label (the file label of the header) ----
/usr/bin/python3 - <<'PY' || { echo "FAIL pandas cannot write p.dta"; exit 1; }
import datetime as dt
import pandas as pd
f = pd.DataFrame({"id": [1, 2, 3], "grp": pd.Categorical(["a", "b", "a"]),
                  "when": [dt.datetime(2020, 1, 15), dt.datetime(1999, 12, 31, 6, 30), pd.NaT]})
f.to_stata("p.dta", data_label="Survey data \u00e9", write_index=False, version=117)
PY
./host 14 p.dta 22 p.sav 2>/dev/null || { echo "FAIL 14 -> 22"; exit 1; }
printf "SYSFILE INFO FILE='p.sav'.\n" > info.sps
pspp info.sps -o info.csv >/dev/null 2>&1 || { echo "FAIL pspp SYSFILE INFO"; exit 1; }
check "PSPP: file label, counts and encoding" "Label,Survey data é
Variables,3
Cases,3
Compression,SAV
Encoding,utf-8" "$(grep -E '^(Label|Variables|Cases|Compression|Encoding),' info.csv | tr -d '\r')"
pspp-convert p.sav p.csv || { echo "FAIL pspp-convert p.sav"; exit 1; }
check "Stata input: values" "id,grp,when
1,0,01/15/2020 00:00:00
2,1,12/31/1999 06:30:00
3,0, " "$(tr -d '\r' < p.csv)"

exit $fail
