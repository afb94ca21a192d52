#!/bin/bash
# SAS transport files against ReadStat and pandas. Files Tabulon writes are read by readstat,
# pandas' read_sas and R's haven (built on ReadStat's library), value for value, with labels
# and formats. Files ReadStat writes in both layouts (haven's write_xpt version 5 and 8; the
# readstat command writes version 8) are read by Tabulon and compared with readstat's own CSV
# of the same file; two of them joined into one library test member selection. Version 8 files
# Tabulon writes (long names and labels) are read by haven with the same names, labels and values.
set -u
. "${TABULON_SOURCE_DIR:?}/tests/interop/support/lib.sh"
command -v Rscript >/dev/null && Rscript -e 'library(haven)' >/dev/null 2>&1 ||
  { echo "R's haven is not installed (r-cran-haven)"; exit 1; }
interop_init readstat

# Hosts: one transfer (code, path) -> (code, path); a dump of an XPORT input: its members, the
cat > dump.c <<'C'
#include <stdio.h>
#include <string.h>
#include "tabulon/tabulon.h"
int main(int argc, char** argv) {
  int env = DX_OpenEnvironment();
  int n = DX_OpenInputFile(env, 12, argv[1]);
  if (n >= 0) n = DX_ReadMembers(env);
  if (n < 0) { printf("%s\n", DX_GetErrorMsg(env)); return 1; }
  printf("members:");
  for (int k = 0; k < n; ++k) { char name[256]; DX_GetMemberName(env, k, name); printf(" %s", name); }
  printf("\n");
  if (argc > 2 && DX_SetMember(env, argv[2]) < 0) { printf("no member %s\n", argv[2]); return 1; }
  n = DX_ReadDict(env);
  if (n < 0 || DX_InitReadOnly(env) < 0) { printf("%s\n", DX_GetErrorMsg(env)); return 1; }
  for (int i = 0; i < n; ++i) printf("%s|%d|%s\n", DX_GetVarName(env, i), DX_GetTType(env, i) + 1, DX_GetVarLabel(env, i));
  while (DX_ReadRecord(env) == 0) {
    for (int i = 0; i < n; ++i) {
      int code = DX_GetVarMissing(env, i);
      if (i) printf(",");
      if (code == 1) printf(".");
      else if (code >= 2 && code <= 27) printf(".%c", 'A' + code - 2);
      else if (code == 29) printf("._");
      else if (DX_GetTType(env, i) == 0) {
        char text[1024] = {0};
        DX_CopyVarDataStr(env, i, text);
        printf("\"");
        for (char* p = text; *p; ++p) printf(*p == '"' ? "\"\"" : "%c", *p);
        printf("\"");
      } else {
        void* value = NULL;
        int32_t type = 0;
        double x = 0;
        if (DX_GetVarData(env, i, &value, &type) >= 0 && value) memcpy(&x, value, sizeof x);
        printf("%.17g", x);
      }
    }
    printf("\n");
  }
  DX_CloseFiles(env);
  DX_CloseEnvironment(env);
  return 0;
}
C
build_transfer_host
for p in dump; do
  cc -o $p $p.c -I"$TABULON_SOURCE_DIR/include" -L"$LIB" -ltabulon -Wl,-rpath,"$LIB" || { echo "FAIL cannot build $p"; exit 1; }
done

# Compares a Tabulon dump (after its dictionary lines) with readstat's CSV of the same member:
# the SAS numbers readstat prints for dates, times and date-times (days and seconds since
# 1960) as day numbers, missing values of every code as empty cells, numbers within 1e-12
# relative.
cat > same.py <<'PY'
import csv, math, sys
dump = open(sys.argv[1]).read().splitlines()[1:]
kinds = []
while dump and "|" in dump[0] and not dump[0].startswith('"'):
    kinds.append(int(dump.pop(0).split("|")[1]))
ours = list(csv.reader(dump))
theirs = list(csv.reader(open(sys.argv[2], newline="")))[1:]
def ours_of(cell, kind):
    if cell.startswith("."):
        return None
    return cell if kind == 1 else float(cell)
def theirs_of(cell, kind):
    if kind == 1 or cell == "":
        return cell
    x = float(cell)
    return {7: x + 21916, 8: x / 86400, 9: x / 86400 + 21916}.get(kind, x)
def same(a, b):
    if a is None or b == "" or isinstance(a, str):
        return (a in (None, "") and b == "") or a == b
    return abs(a - b) <= 1e-12 * max(1.0, abs(a)) or (abs(b) < 1e-75 and abs(a) < 1e-75)
bad = 0
if len(ours) != len(theirs):
    print("row counts differ: %d vs %d" % (len(ours), len(theirs))); sys.exit(1)
for i, (x, y) in enumerate(zip(ours, theirs)):
    if len(x) != len(y) or not all(same(ours_of(a, k), theirs_of(b, k)) for a, k, b in zip(x, kinds, y)):
        print("row %d: %s | %s" % (i + 1, x, y)); bad += 1
print("%d rows, %d differ" % (len(ours), bad))
sys.exit(1 if bad else 0)
PY

# ---- files Tabulon writes ----
cat > src.sch <<'EOF'
// survey
data list id 1-3 (I3) name 4-15 (A) score 16-21 (F6.2) {Test score} born 22-31 (%Y-%m-%d)
  code 32-33 (A) big 34-53 (F20.0) "a long name" 54-55 (I2)
variable labels id "Identifier" name "A label longer than forty characters is cut at forty"
EOF
printf '%3s%-12s%6s%-10s%-2s%20s%2s\n' \
  1 Ann 12345 1990-05-17 x 123456789012 7 \
  2 Bob -9.00 1960-01-01 y -0.000125 -1 \
  3 "Carl, jr" 1.5 "" "" 1e20 "" \
  4 Dora 950.00 1582-10-15 "" 0 0 > src.dat

./host 46 src.sch 12 out.xpt 77=5 || { echo "FAIL 46 -> 12"; exit 1; }
check "80-byte records" "0" "$(( $(stat -c %s out.xpt) % 80 ))"
check "readstat's view of the file" "Format: SAS transport file (XPORT)
Columns: 7
Table name: OUT
Format version: 5" "$(readstat out.xpt | grep -E '^(Format|Columns|Table name)')"
readstat out.xpt readstat.csv >readstat.log 2>&1; [ -s readstat.csv ] || { cat readstat.log; echo "FAIL readstat out.xpt"; exit 1; }
# readstat gives dates as days since 1960.
check "readstat reads the values" '"ID","NAME","SCORE","BORN","CODE","BIG","A_LONG_N"
1.000000,"Ann",123.450000,11094.000000,"x",123456789012.000000,7.000000
2.000000,"Bob",-9.000000,0.000000,"y",-0.000125,-1.000000
3.000000,"Carl, jr",1.500000,,"",100000000000000000000.000000,
4.000000,"Dora",950.000000,-137774.000000,"",0.000000,0.000000' "$(cat readstat.csv)"

# pandas gives numbers as they stand (an IBM zero as the smallest IBM value, 5.4e-79).
cat > pandas_dump.py <<'PY'
import sys
import pandas as pd
frame = pd.read_sas(sys.argv[1], format="xport", encoding="utf-8")
print("|".join(frame.columns))
for row in frame.itertuples(index=False):
    print("|".join("" if pd.isna(v) else repr(0.0 if abs(v) < 1e-75 else v) if isinstance(v, float) else str(v)
                   for v in row))
PY
/usr/bin/python3 pandas_dump.py out.xpt > pandas.txt 2>&1 || { cat pandas.txt; echo "FAIL pandas out.xpt"; fail=1; }
check "pandas reads the values" 'ID|NAME|SCORE|BORN|CODE|BIG|A_LONG_N
1.0|Ann|123.45|11094.0|x|123456789012.0|7.0
2.0|Bob|-9.0|0.0|y|-0.000125|-1.0
3.0|Carl, jr|1.5|||1e+20|
4.0|Dora|950.0|-137774.0||0.0|0.0' "$(cat pandas.txt)"

cat > attrs.R <<'EOF'
d <- haven::read_xpt(commandArgs(TRUE)[1])
for (n in names(d)) {
  a <- attributes(d[[n]])
  cat(n, if (is.null(a$label)) "" else a$label, if (is.null(a$format.sas)) "" else a$format.sas, class(d[[n]])[1], sep = "|")
  cat("\n")
}
EOF
check "haven reads names, labels and formats" "ID|Identifier|BEST12|numeric
NAME|A label longer than forty characters is||character
SCORE|Test score|BEST12|numeric
BORN||DATE9|Date
CODE|||character
BIG||BEST12|numeric
A_LONG_N||BEST12|numeric" "$(Rscript attrs.R out.xpt 2>&1)"

./host 12 out.xpt 18 back.csv 2>/dev/null || { echo "FAIL 12 -> 18"; exit 1; }
./host 46 src.sch 18 src.csv 2>/dev/null || { echo "FAIL 46 -> 18"; exit 1; }
check "Tabulon reads its own file" "$(tr -d '\r' < src.csv | sed 's/"a long name"/"A_LONG_N"/; 1s/.*/\U&/')" "$(tr -d '\r' < back.csv)"

# ---- files ReadStat writes (haven's write_xpt, version 5) ----
cat > mk.R <<'EOF'
library(haven)
d <- data.frame(
  ID = c(1, 2, 3, 4, 5),
  NAME = c("Ann", "Bob x", "", "Carl, jr", "Eve"),
  SCORE = c(12.5, -9, NA, 0.001, 123456.789),
  BORN = as.Date(c("1990-05-17", "2001-12-01", NA, "1582-10-15", "2100-01-01")),
  STAMP = as.POSIXct(c("2020-02-29 23:59:00", "1970-01-01 00:00:00", NA, "1960-01-01 12:00:00",
                       "1959-12-31 23:59:59"), tz = "UTC"),
  AT = hms::as_hms(c(30615, 43200, NA, 0, 86399)),
  CODE = c("x", "y", "", "z", "x"),
  TAGGED = c(1, tagged_na("A"), tagged_na("Z"), NA, 5),
  stringsAsFactors = FALSE)
attr(d$ID, "label") <- "Identifier"
attr(d$SCORE, "label") <- "It's the score"
write_xpt(d, "haven.xpt", version = 5, name = "SURVEY")
e <- data.frame(K = c(10, -20.25), TXT = c("second", "member"), stringsAsFactors = FALSE)
write_xpt(e, "second.xpt", version = 5, name = "SECOND")
EOF
Rscript mk.R >mk.log 2>&1 || { cat mk.log; echo "FAIL haven write_xpt"; exit 1; }
readstat haven.xpt haven_rs.csv >/dev/null 2>&1; [ -s haven_rs.csv ] || { echo "FAIL readstat haven.xpt"; exit 1; }
./dump haven.xpt > haven_tab.txt || { cat haven_tab.txt; echo "FAIL Tabulon reads haven.xpt"; exit 1; }
check "ReadStat's dictionary" "members: SURVEY
ID|5|Identifier
NAME|1|
SCORE|5|It's the score
BORN|7|
STAMP|9|
AT|8|
CODE|1|
TAGGED|5|" "$(head -9 haven_tab.txt)"
check "ReadStat's extended missing values" "1 .A .Z . 5" \
  "$(sed -n '10,$p' haven_tab.txt | /usr/bin/python3 -c 'import csv,sys; print(*[r[7] for r in csv.reader(sys.stdin)])')"
echo -n "ReadStat's values: "; /usr/bin/python3 same.py haven_tab.txt haven_rs.csv || fail=1

# Through Tabulon into a transport file again: haven finds the same values and missing codes.
./host 12 haven.xpt 12 again.xpt || { echo "FAIL 12 -> 12"; exit 1; }
cat > cmp.R <<'EOF'
library(haven)
a <- read_xpt("haven.xpt"); b <- read_xpt("again.xpt")
for (n in names(a)) {
  x <- a[[n]]; y <- b[[n]]
  ok <- isTRUE(all.equal(as.vector(unclass(x)), as.vector(unclass(y)), check.attributes = FALSE))
  if (is.double(x)) ok <- ok && identical(na_tag(x), na_tag(y))
  cat(n, if (ok) "same" else paste("differs:", paste(format(y), collapse = " ")), "\n")
}
EOF
check "values and missing codes through Tabulon" "ID same 
NAME same 
SCORE same 
BORN same 
STAMP same 
AT same 
CODE same 
TAGGED same " "$(Rscript cmp.R 2>&1)"

readstat again.xpt again_rs.csv >/dev/null 2>&1
check "readstat reads the same values in both" "$(cat haven_rs.csv)" "$(cat again_rs.csv)"
check "pandas reads the same values in both" "$(/usr/bin/python3 pandas_dump.py haven.xpt 2>&1)" \
  "$(/usr/bin/python3 pandas_dump.py again.xpt 2>&1)"

# Two members: the second file's member appended to the first library.
cat haven.xpt > two.xpt && tail -c +241 second.xpt >> two.xpt
readstat second.xpt second_rs.csv >/dev/null 2>&1
./dump two.xpt second > two_tab.txt || { cat two_tab.txt; echo "FAIL Tabulon reads two.xpt"; exit 1; }
check "both members listed, the second chosen by a lower-case name" "members: SURVEY SECOND
K|5|
TXT|1|" "$(head -3 two_tab.txt)"
echo -n "the second member's values: "; /usr/bin/python3 same.py two_tab.txt second_rs.csv || fail=1
./dump two.xpt > two_first.txt
echo -n "the first member's values stop at the second: "; /usr/bin/python3 same.py two_first.txt haven_rs.csv || fail=1

# ---- version 8 ----
# The readstat command writes version 8: long names, values as readstat reads them.
printf 'A_variable_name_of_24ch,B\n1.25,x\n-3,yz\n,\n' > v8.csv
printf '{"type": "SPSS", "variables": [{"type": "NUMERIC", "name": "A_variable_name_of_24ch", "format": "NUMBER"}, {"type": "STRING", "name": "B"}]}' > v8.json
readstat v8.csv v8.json v8.sav >/dev/null 2>&1 && readstat v8.sav v8.xpt >/dev/null 2>&1
[ -s v8.xpt ] || { echo "FAIL readstat writes v8.xpt"; exit 1; }
check "readstat wrote version 8" "Format version: 8" "$(readstat v8.xpt | grep '^Format version')"
readstat v8.xpt v8_rs.csv >/dev/null 2>&1
./dump v8.xpt > v8_tab.txt || { cat v8_tab.txt; echo "FAIL Tabulon reads v8.xpt"; exit 1; }
check "readstat's version 8 dictionary" "A_variable_name_of_24ch|5|
B|1|" "$(sed -n '2,3p' v8_tab.txt)"
echo -n "readstat's version 8 values: "; /usr/bin/python3 same.py v8_tab.txt v8_rs.csv || fail=1

# haven's version 8: names of 32, labels of up to 256, strings over 200 bytes, missing codes.
cat > mk8.R <<'EOF'
library(haven)
d <- data.frame(
  a_variable_name_of_32_characters = c(1.5, -2, NA, 1e-300, 12345678.125),
  Mixed_Case = c("short", strrep("w", 300), "", "x", "y"),
  when_it_happened = as.POSIXct(c("2020-02-29 23:59:00", "1959-12-31 23:59:59", NA, "1960-01-01 00:00:00",
                                  "2038-01-19 03:14:08"), tz = "UTC"),
  day = as.Date(c("1990-05-17", NA, "1582-10-15", "1960-01-01", "2100-12-31")),
  tagged = c(1, tagged_na("A"), tagged_na("Z"), NA, 5),
  stringsAsFactors = FALSE)
attr(d$a_variable_name_of_32_characters, "label") <- strrep("A label of many characters. ", 6)
attr(d$Mixed_Case, "label") <- "short label"
attr(d$day, "label") <- strrep("L", 256)
write_xpt(d, "h8.xpt", version = 8, name = "VERSION_EIGHT_MEMBER")
EOF
Rscript mk8.R >mk8.log 2>&1 || { cat mk8.log; echo "FAIL haven write_xpt version 8"; exit 1; }
readstat h8.xpt h8_rs.csv >/dev/null 2>&1; [ -s h8_rs.csv ] || { echo "FAIL readstat h8.xpt"; exit 1; }
./dump h8.xpt > h8_tab.txt || { cat h8_tab.txt; echo "FAIL Tabulon reads h8.xpt"; exit 1; }
label1=$(printf 'A label of many characters. %.0s' 1 2 3 4 5 6); label1=${label1% }
check "haven's version 8 dictionary" "members: VERSION_EIGHT_MEMBER
a_variable_name_of_32_characters|5|$label1
Mixed_Case|1|short label
when_it_happened|9|
day|7|$(printf 'L%.0s' $(seq 256))
tagged|5|" "$(head -6 h8_tab.txt)"
echo -n "haven's version 8 values: "; /usr/bin/python3 same.py h8_tab.txt h8_rs.csv || fail=1

# Through Tabulon into a transport file again: the long names choose version 8 by themselves,
# and haven finds the same names, labels, values and missing codes.
./host 12 h8.xpt 12 again8.xpt || { echo "FAIL 12 -> 12 (version 8)"; exit 1; }
check "Tabulon wrote version 8" "Format version: 8" "$(readstat again8.xpt | grep '^Format version')"
cat > cmp8.R <<'EOF'
library(haven)
a <- read_xpt("h8.xpt"); b <- read_xpt("again8.xpt")
cat("names", if (identical(names(a), names(b))) "same" else paste(names(b), collapse = " "), "\n")
for (n in names(a)) {
  x <- a[[n]]; y <- b[[n]]
  ok <- isTRUE(all.equal(as.vector(unclass(x)), as.vector(unclass(y)), check.attributes = FALSE, tolerance = 0))
  if (is.double(x)) ok <- ok && identical(na_tag(x), na_tag(y))
  ok <- ok && identical(attr(x, "label"), attr(y, "label"))
  cat(n, if (ok) "same" else paste("differs:", attr(y, "label"), paste(format(y), collapse = " ")), "\n")
}
EOF
check "haven reads our version 8 file" "names same 
a_variable_name_of_32_characters same 
Mixed_Case same 
when_it_happened same 
day same 
tagged same " "$(Rscript cmp8.R 2>&1)"

# Long names and labels from a schema file: version 8 chosen by the writer, and version 5 when
# the option asks for it, with the names cut to 8 characters and kept unique.
cat > long.sch <<'EOF'
// long
data list participant_identifier 1-3 (I3) participant_identity 4-6 (I3)
variable labels participant_identifier "The identifier of the participant in the study, longer than forty characters"
EOF
printf '  1  2\n 10 20\n' > long.dat
./host 46 long.sch 12 long8.xpt || { echo "FAIL 46 -> 12 (long names)"; exit 1; }
check "haven reads long names and labels" "participant_identifier|The identifier of the participant in the study, longer than forty characters|1 10
participant_identity||2 20" "$(Rscript -e 'd <- haven::read_xpt("long8.xpt"); for (n in names(d)) cat(paste(n, if (is.null(attr(d[[n]], "label"))) "" else attr(d[[n]], "label"), paste(d[[n]], collapse = " "), sep = "|"), "\n", sep = "")' 2>&1)"
./host 46 long.sch 12 long5.xpt 77=5 || { echo "FAIL 46 -> 12 (version 5 asked)"; exit 1; }
check "version 5 asked: names cut and unique" "Format version: 5
PARTICIP|PARTICI0" "$(readstat long5.xpt | grep '^Format version'; Rscript -e 'cat(names(haven::read_xpt("long5.xpt")), sep = "|")' 2>&1)"

# The command-line tool picks the format by the extension.
cli="$TABULON_BUILD_DIR/tabulon"
if [ -x "$cli" ]; then
  printf 'id,name,score\n1,ann,2.5\n2,bob,\n3,"c, d",-1\n' >in.csv
  "$cli" convert in.csv cli.xpt -y >/dev/null 2>&1 && "$cli" convert cli.xpt cli.csv -y >/dev/null 2>&1 ||
    { echo "FAIL tabulon convert through .xpt"; fail=1; }
  check "command line: readstat reads cli.xpt" '"ID","NAME","SCORE"
1.000000,"ann",2.500000
2.000000,"bob",
3.000000,"c, d",-1.000000' "$(readstat cli.xpt - 2>/dev/null)"
  check "command line: back to text" '"ID","NAME","SCORE"
1,"ann",2.5
2,"bob",
3,"c, d",-1' "$(tr -d '\r' < cli.csv)"
fi

[ $fail = 0 ] && echo "all SAS transport peer checks passed"
exit $fail
