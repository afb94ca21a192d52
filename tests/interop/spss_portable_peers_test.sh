#!/bin/bash
# SPSS portable files against PSPP (pspp, pspp-convert) and ReadStat (readstat): files Tabulon
# writes are read by both peers, value for value, with their labels and formats; files the peers
# write (PSPP's EXPORT, ReadStat's conversion) are read by Tabulon and compared with the
# peers' own CSV of the same file.
set -u
. "${TABULON_SOURCE_DIR:?}/tests/interop/support/lib.sh"
interop_init pspp pspp-convert readstat

cat > dict.c <<'C'
#include <stdio.h>
#include <stdlib.h>
#include "tabulon/tabulon.h"
int main(int argc, char** argv) {
  int env = DX_OpenEnvironment();
  int n = DX_OpenInputFile(env, 13, argv[1]);
  if (n >= 0) n = DX_ReadDict(env);
  if (n < 0) { fprintf(stderr, "%s\n", DX_GetErrorMsg(env)); return 1; }
  for (int i = 0; i < n; ++i) {
    printf("%s|%d|%s", DX_GetVarName(env, i), DX_GetTType(env, i) + 1, DX_GetVarLabel(env, i));
    int k = DX_GetNValueLabels(env, i);
    for (int j = 0; j < k; ++j) {
      double value = 0; char text[64] = {0}, label[256] = {0};
      if (DX_GetValueLabelExt(env, j, &value, text, label, sizeof label) == 2) printf("|%s=%s", text, label);
      else printf("|%g=%s", value, label);
    }
    printf("\n");
  }
  DX_CloseFiles(env);
  DX_CloseEnvironment(env);
  return 0;
}
C
build_transfer_host
for p in dict; do
  cc -o $p $p.c -I"$TABULON_SOURCE_DIR/include" -L"$LIB" -ltabulon -Wl,-rpath,"$LIB" || { echo "FAIL cannot build $p"; exit 1; }
done

# Compares two CSV files cell by cell: numbers within a relative tolerance (1e-9 unless given),
# dates as dates, text without surrounding blanks (the header without case); an empty cell
# matches a blank one.
cat > same.py <<'PY'
import csv, sys, datetime
def norm(cell):
    cell = cell.strip()
    for fmt in ("%m/%d/%Y %H:%M:%S", "%m/%d/%Y", "%H:%M:%S"):
        try:
            return datetime.datetime.strptime(cell, fmt)
        except ValueError:
            pass
    try:
        return float(cell)
    except ValueError:
        return cell
tolerance = float(sys.argv[3]) if len(sys.argv) > 3 else 1e-9
def same(a, b, header):
    a, b = norm(a), norm(b)
    if isinstance(a, float) and isinstance(b, float):
        return abs(a - b) <= tolerance * max(1.0, abs(a))
    if header and isinstance(a, str) and isinstance(b, str):
        return a.lower() == b.lower()
    return a == b
rows = [list(csv.reader(open(p, newline=""))) for p in sys.argv[1:3]]
bad = 0
if len(rows[0]) != len(rows[1]):
    print("row counts differ: %d vs %d" % (len(rows[0]), len(rows[1]))); sys.exit(1)
for i, (x, y) in enumerate(zip(*rows)):
    if len(x) != len(y) or not all(same(a, b, i == 0) for a, b in zip(x, y)):
        print("row %d: %s | %s" % (i, x, y)); bad += 1
print("%d rows, %d differ" % (len(rows[0]), bad))
sys.exit(1 if bad else 0)
PY
same() { /usr/bin/python3 same.py "$@"; }

# ---- files Tabulon writes ----
# The source: every kind of variable, labels, value labels of numbers and strings, missing values.
cat > src.sch <<'EOF'
// survey
data list id 1-3 (I3) sex 4 \sex name 5-16 (A) \names score 17-22 (F6.2) [-9,>=900,<=999] {Test score}
  born 23-32 (%Y-%m-%d) city 33-42 (A) at 43-47 (%H:%M) stamp 48-63 (%Y-%m-%d %H:%M) code 64-65 (A) \codes
  big 66-85 (F20.0)
variable labels id "Identifier" sex 'Sex of the respondent' city "It's the city"
value labels \sex 1 'male' 2 'female' \names 'Ann' 'Anne' \codes 'x' "Code X"
EOF
printf '%3s%1s%-12s%6s%-10s%-10s%-5s%-16s%-2s%20s\n' \
  1 1 Ann 12345 1990-05-17 Paris 08:30 "2020-02-29 23:59" x 123456789012 \
  2 2 Bob -9.00 2001-12-01 Bonn "" "" y -0.000125 \
  3 "" "Carl, jr" 1.5 "" Rome 12:00 "1970-01-01 00:00" "" 1e20 \
  4 2 Dora 950.00 1582-10-15 "" "" "" "" "" > src.dat

./host 46 src.sch 13 out.por 2>warn.txt || { cat warn.txt; echo "FAIL 46 -> 13"; exit 1; }
check "80-column lines" "80" "$(tr -d '\r' < out.por | awk '{ print length }' | sort -u)"

pspp-convert out.por pspp.csv || { echo "FAIL pspp-convert out.por"; exit 1; }
check "PSPP reads the values" 'ID,SEX,NAME,SCORE,BORN,CITY,AT,STAMP,CODE,BIG
1,1,Ann,123.45,05/17/1990,Paris,08:30:00,02/29/2020 23:59:00,x,123456789012
2,2,Bob, ,12/01/2001,Bonn, , ,y,-0.000125
3, ,"Carl, jr",1.5, ,Rome,12:00:00,01/01/1970 00:00:00,,1e+20
4,2,Dora, ,10/15/1582,, , ,, ' "$(tr -d '\r' < pspp.csv)"

printf "IMPORT FILE='out.por'.\nDISPLAY DICTIONARY.\n" > dict.sps
pspp dict.sps -o dict.csv >/dev/null 2>&1 || { echo "FAIL pspp IMPORT FILE"; exit 1; }
vars=$(awk '/^Table: Variables/{on=1; getline; next} /^$/{on=0} on' dict.csv |
  /usr/bin/python3 -c 'import csv,sys
for r in csv.reader(sys.stdin): print("|".join([r[0], r[2], r[-2], r[-1]]))')
check "PSPP reads names, labels, formats and missing values" "ID|Identifier|F9.2|
SEX|Sex of the respondent|F9.2|
NAME||A12|
SCORE|Test score|F9.2|900 THRU 999; -9
BORN||DATE11|
CITY|It's the city|A10|
AT||TIME5.0|
STAMP||DATETIME20.0|
CODE||A2|
BIG||F9.2|" "$vars"
check "PSPP reads the value labels" 'Sex of the respondent,1.00,male
,2.00,female
NAME,Ann,Anne
CODE,x,Code X' "$(awk '/^Table: Value Labels/{on=1; getline; next} on' dict.csv | tr -d '\r')"

# readstat may exit 0 after an error: its output file tells.
readstat out.por readstat.csv >readstat.log 2>&1; [ -s readstat.csv ] || { cat readstat.log; echo "FAIL readstat out.por"; exit 1; }
# ReadStat gives the SPSS numbers as they stand: dates in seconds since 14 October 1582.
cat > readstat_want.csv <<'EOF'
"ID","SEX","NAME","SCORE","BORN","CITY","AT","STAMP","CODE","BIG"
1,1,"Ann",123.45,12862281600,"Paris",30600,13802399940,"x",123456789012
2,2,"Bob",,13226544000,"Bonn",,,"y",-0.000125
3,,"Carl, jr",1.5,,"Rome",43200,12219379200,"",1e20
4,2,"Dora",,86400,"",,,"",
EOF
# The schema reader keeps a time of day in single precision: seconds agree to 1e-7.
echo -n "ReadStat reads the values: "; same readstat.csv readstat_want.csv 1e-7 || fail=1

./host 13 out.por 18 back.csv 2>/dev/null || { echo "FAIL 13 -> 18"; exit 1; }
./host 46 src.sch 18 src.csv 2>/dev/null || { echo "FAIL 46 -> 18"; exit 1; }
echo -n "Tabulon reads its own file: "; same src.csv back.csv 1e-7 || fail=1

# ---- files PSPP writes ----
cat > mk.sps <<'EOF'
DATA LIST LIST /id (F3.0) name (A12) score (F8.3) n (F4.0) born (DATE11) at (TIME8) stamp (DATETIME20) code (A2).
BEGIN DATA
1 Ann 12.5 1 17-MAY-1990 08:30:15 "29-FEB-2020 23:59:00" x
2 "Bob x" -9 200 01-DEC-2001 12:00:00 "01-JAN-1970 00:00:00" y
3 "" . . . . . ""
4 "Dora, jr" 950 -3 31-JAN-1975 00:00:00 "15-OCT-1582 00:00:00" z
5 "Eve" 0.001 100 01-JAN-1900 23:59:59 "01-JAN-2100 12:30:00" x
END DATA.
VARIABLE LABELS id 'Identifier' name 'Name of person' score "It's the score".
VALUE LABELS id 1 'one' 2 'two' /code 'x' 'Code X' 'y' 'Code Y'.
MISSING VALUES score (900 THRU 999, -9) /n (100 THRU HIGHEST) /id (LOWEST THRU 0).
DOCUMENT A document line.
EXPORT OUTFILE='pspp.por'.
EOF
pspp mk.sps -o mk.log >/dev/null 2>&1 || { cat mk.log; echo "FAIL pspp EXPORT"; exit 1; }
pspp-convert pspp.por pspp_own.csv || { echo "FAIL pspp-convert pspp.por"; exit 1; }
./host 13 pspp.por 18 pspp_tab.csv 4=2 2>/dev/null || { echo "FAIL Tabulon reads pspp.por"; exit 1; }
echo -n "PSPP's file, user-missing values kept: "; same pspp_own.csv pspp_tab.csv || fail=1
./host 13 pspp.por 18 pspp_miss.csv 2>/dev/null || { echo "FAIL Tabulon reads pspp.por"; exit 1; }
# PSPP writes "100 THRU HIGHEST" with the largest double as its bound and reads it back
# so itself: N keeps 100 and 200, as in PSPP.
check "PSPP's user-missing values become missing" '"ID","NAME","SCORE","N","BORN","AT","STAMP","CODE"
1,"Ann",12.5,1,5/17/1990,08:30:15,2/29/2020 23:59:00,"x"
2,"Bob x",,200,12/1/2001,12:00:00,1/1/1970 00:00:00,"y"
3,,,,,,,
4,"Dora, jr",,-3,1/31/1975,00:00:00,10/15/1582 00:00:00,"z"
5,"Eve",0.001,100,1/1/1900,23:59:59,1/1/2100 12:30:00,"x"' "$(tr -d '\r' < pspp_miss.csv)"
check "PSPP's dictionary" "ID|3|Identifier|1=one|2=two
NAME|1|Name of person
SCORE|5|It's the score
N|3|
BORN|7|
AT|8|
STAMP|9|
CODE|1||x=Code X|y=Code Y" "$(./dict pspp.por)"

# PSPP's file through Tabulon into a portable file again: PSPP finds the same missing values.
./host 13 pspp.por 13 again.por 4=2 2>/dev/null || { echo "FAIL 13 -> 13"; exit 1; }
printf "IMPORT FILE='pspp.por'.\nDISPLAY DICTIONARY.\n" > d1.sps
printf "IMPORT FILE='again.por'.\nDISPLAY DICTIONARY.\n" > d2.sps
pspp d1.sps -o d1.csv >/dev/null 2>&1 && pspp d2.sps -o d2.csv >/dev/null 2>&1 || { echo "FAIL pspp IMPORT again.por"; exit 1; }
missing_of() { awk '/^Table: Variables/{on=1; getline; next} /^$/{on=0} on' "$1" |
  /usr/bin/python3 -c 'import csv,sys
for r in csv.reader(sys.stdin): print(r[0] + "|" + r[-1])'; }
check "missing values through Tabulon" "$(missing_of d1.csv)" "$(missing_of d2.csv)"
pspp-convert again.por again.csv || fail=1
echo -n "values through Tabulon: "; same pspp_own.csv again.csv || fail=1

# ---- files ReadStat writes (from CSV and JSON metadata, through its .sav) ----
cat > meta.json <<'EOF'
{"type": "SPSS", "variables": [
{"type": "NUMERIC", "name": "ID", "format": "NUMBER", "decimals": 0, "label": "Identifier", "categories": [{"code": 1, "label": "one"}, {"code": 2, "label": "two"}]},
{"type": "STRING", "name": "NAME", "label": "Name of person"},
{"type": "NUMERIC", "name": "SCORE", "format": "NUMBER", "decimals": 2, "missing": {"type": "DISCRETE", "values": [-9]}},
{"type": "NUMERIC", "name": "BORN", "format": "DATE", "pattern": "dd-MMM-yyyy"},
{"type": "STRING", "name": "CODE", "categories": [{"code": "x", "label": "Code X"}]}
]}
EOF
printf 'ID,NAME,SCORE,BORN,CODE\n1,Ann,12.5,1990-05-17,x\n2,Bob x,-9,2001-12-01,y\n3,,,,\n4,"Carl, jr",0.001,1582-10-15,z\n5,Eve,123456.789,2100-01-01,x\n' > rin.csv
readstat rin.csv meta.json rw.sav >/dev/null 2>&1; readstat rw.sav rw.por >/dev/null 2>&1
[ -s rw.por ] || { echo "FAIL readstat cannot write rw.por"; exit 1; }
readstat rw.por rw_own.csv >/dev/null 2>&1; [ -s rw_own.csv ] || { echo "FAIL readstat rw.por"; exit 1; }
./host 13 rw.por 18 rw_tab.csv 4=2 2>/dev/null || { echo "FAIL Tabulon reads rw.por"; exit 1; }
echo -n "ReadStat's file: "; same rw_own.csv rw_tab.csv || fail=1
check "ReadStat's dictionary" "ID|5|Identifier|1=one|2=two
NAME|1|Name of person
SCORE|5|
BORN|5|
CODE|1||x=Code X" "$(./dict rw.por)"

# The command-line tool picks the format by the extension: text to .por and back.
cli="$TABULON_BUILD_DIR/tabulon"
if [ -x "$cli" ]; then
  printf 'id,name,score\n1,ann,2.5\n2,bob,\n3,"c, d",-1\n' >in.csv
  "$cli" convert in.csv cli.por -y >/dev/null 2>&1 && "$cli" convert cli.por cli.csv -y >/dev/null 2>&1 ||
    { echo "FAIL tabulon convert through .por"; fail=1; }
  pspp-convert cli.por cli_pspp.csv || fail=1
  check "command line: PSPP reads cli.por" 'ID,NAME,SCORE
1,ann,2.5
2,bob, 
3,"c, d",-1' "$(tr -d '\r' < cli_pspp.csv)"
  echo -n "command line: back to text: "; same in.csv cli.csv || fail=1
fi

[ $fail = 0 ] && echo "all SPSS portable peer checks passed"
exit $fail
