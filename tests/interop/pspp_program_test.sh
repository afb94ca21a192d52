#!/bin/bash
# Program files checked against PSPP: the SPSS syntax and data file written from a schema
# input must rebuild the data set in PSPP (values, variable labels, value labels, missing
# values). Schema outputs (53 inline, 55 delimited) must read back as the same data.
set -u
. "${TABULON_SOURCE_DIR:?}/tests/interop/support/lib.sh"
interop_init pspp pspp-convert

build_transfer_host

# The source: every kind of variable, labels (one with a quote, one of 150 characters),
# value labels (a 12-wide string's are lost to SPSS with a warning), missing values.
long=$(printf 'Date of birth as the respondent gave it on the form; %.0s' 1 2 3 | cut -c1-150)
cat > src.sch <<EOF
// survey
data list id 1-3 (I3) sex 4 \\sex name 5-16 (A) \\names score 17-22 (F6.2) [-9,>=900,<=999] {Test score}
  born 23-32 (%Y-%m-%d) city 33-42 (A) at 43-47 (%H:%M) stamp 48-63 (%Y-%m-%d %H:%M) code 64-65 (A) \\codes
variable labels id "Identifier" sex 'Sex of the respondent' city "It's the city"
  born "$long"
value labels \\sex 1 'male' 2 'female' \\names 'Ann' 'Anne' \\codes 'x' "Code X"
EOF
printf '%3s%1s%-12s%6s%-10s%-10s%-5s%-16s%-2s\n' \
  1 1 Ann 12345 1990-05-17 Paris 08:30 "2020-02-29 23:59" x \
  2 2 Bob -9.00 2001-12-01 Bonn "" "" y \
  3 "" Carl 1.5 "" Rome 12:00 "1970-01-01 00:00" "" \
  4 2 Dora 950.00 1975-01-31 "" "" "" "" > src.dat

./host 46 src.sch 39 out.sps 2> warn.txt || { cat warn.txt; echo "FAIL 46 -> 39"; exit 1; }
check "warning for the 12-wide labelled string" "1" "$(grep -c 'Variable name has lost the assigned format due to its length - SPSS limitation' warn.txt)"
check "label in three pieces of 65, 65 and 20" "   born 
   '${long:0:65}' +
   '${long:65:65}' +
   '${long:130:20}'" "$(tr -d '\r' < out.sps | grep -A3 '^   born $')"

pspp out.sps -o pspp.log >/dev/null 2>&1 || { cat pspp.log; echo "FAIL pspp cannot run out.sps"; exit 1; }
pspp-convert out.sav data.csv || { echo "FAIL pspp-convert"; exit 1; }
check "values" 'id,sex,name,score,born,city,at,stamp,code
1,1,Ann,123.45,05/17/1990,Paris,08:30:00,02/29/2020 23:59:00,x
2,2,Bob, ,12/01/2001,Bonn, , ,y
3, ,Carl,1.5, ,Rome,12:00:00,01/01/1970 00:00:00,
4,2,Dora, ,01/31/1975,, , ,' "$(tr -d '\r' < data.csv)"

printf "GET FILE='out.sav'.\nDISPLAY DICTIONARY.\n" > dict.sps
pspp dict.sps -o dict.csv >/dev/null 2>&1 || { echo "FAIL pspp DISPLAY DICTIONARY"; exit 1; }
# Labels may hold commas: take name, label and the missing values from the ends of each line.
vars=$(awk '/^Table: Variables/{on=1; getline; next} /^$/{on=0} on' dict.csv |
  /usr/bin/python3 -c 'import csv,sys
for r in csv.reader(sys.stdin): print(r[0] + "|" + r[2] + "|" + r[-1])')
check "variable labels and missing values" "id|Identifier|
sex|Sex of the respondent|
name||
score|Test score|900 THRU 999; -9
born|$long|
city|It's the city|
at||
stamp||
code||" "$vars"
check "value labels" 'Sex of the respondent,1,male
,2,female
code,x,Code X' "$(awk '/^Table: Value Labels/{on=1; getline; next} on' dict.csv | tr -d '\r')"

# Programs beside a fixed-column text output rebuild the same data set.
./host 46 src.sch 19 fixed.txt 12=7 2>/dev/null || { echo "FAIL 46 -> 19 with programs"; exit 1; }
pspp fixed.sps -o fixed.log >/dev/null 2>&1 || { cat fixed.log; echo "FAIL pspp cannot run fixed.sps"; exit 1; }
pspp-convert fixed.sav fixed_data.csv || { echo "FAIL pspp-convert fixed.sav"; exit 1; }
check "SPSS program beside fixed text: same values" "$(tr -d '\r' < data.csv)" "$(tr -d '\r' < fixed_data.csv)"
printf "GET FILE='fixed.sav'.\nDISPLAY DICTIONARY.\n" > fixed_dict.sps
pspp fixed_dict.sps -o fixed_dict.csv >/dev/null 2>&1 || { echo "FAIL pspp DISPLAY DICTIONARY of fixed.sav"; exit 1; }
check "SPSS program beside fixed text: same labels" \
  "$(awk '/^Table: (Variables|Value Labels)/{on=1} on' dict.csv | cut -d, -f1-3,7- | tr -d '\r')" \
  "$(awk '/^Table: (Variables|Value Labels)/{on=1} on' fixed_dict.csv | cut -d, -f1-3,7- | tr -d '\r')"

# Schema outputs read back as the same data.
./host 46 src.sch 18 src.csv 2>/dev/null || { echo "FAIL 46 -> 18"; exit 1; }
./host 46 src.sch 53 inline.sch 2>/dev/null || { echo "FAIL 46 -> 53"; exit 1; }
./host 53 inline.sch 18 inline.csv 2>/dev/null || { echo "FAIL 53 -> 18"; exit 1; }
check "format 53 reads back" "$(cat src.csv)" "$(cat inline.csv)"
./host 53 inline.sch 53 again.sch 2>/dev/null || { echo "FAIL 53 -> 53"; exit 1; }
check "format 53 written twice is the same" "$(cat inline.sch)" "$(cat again.sch)"
./host 46 src.sch 55 delim.sch 2>/dev/null || { echo "FAIL 46 -> 55"; exit 1; }
./host 55 delim.sch 18 delim.csv 2>/dev/null || { echo "FAIL 55 -> 18"; exit 1; }
check "format 55 reads back" "$(cat src.csv)" "$(cat delim.csv)"
./host 46 src.sch 46 fixed.sch 2>/dev/null || { echo "FAIL 46 -> 46"; exit 1; }
./host 46 fixed.sch 18 fixed.csv 2>/dev/null || { echo "FAIL 46 -> 18 again"; exit 1; }
check "format 46 reads back" "$(cat src.csv)" "$(cat fixed.csv)"
exit $fail
