#!/bin/bash
# Text outside the portable character set: a file with a non-ASCII name, labels, value labels and
# strings ("bondjoû", "Zürich", "Αθήνα", "±", "°") and user-missing values 9 and 999, written to
# .por and read back by PSPP, R haven and Tabulon. The file holds only characters its table names,
# in lines of 80; what the set lacks is transliterated and counted.
set -u
. "${TABULON_SOURCE_DIR:?}/tests/interop/support/lib.sh"
T="$TABULON_BUILD_DIR/tabulon"
PY=/usr/bin/python3
interop_init pspp pspp-convert Rscript

cat > make.sps <<'SPS'
SET LOCALE='UTF-8'.
DATA LIST LIST /bondjoû (F3.0) city (A12) q (F3.0).
BEGIN DATA
1 Zürich 9
2 Αθήνα 999
3 "a#b~{}\|±°" 1
END DATA.
VARIABLE LABELS bondjoû 'Étiquette ±2 °C' city 'Ville'.
VALUE LABELS q 9 'No answer' 999 'Refusé' /city 'Zürich' 'Stadt Zürich'.
MISSING VALUES q (9, 999).
SAVE OUTFILE='src.sav'.
SPS
pspp make.sps >/dev/null 2>&1 || { echo "FAIL pspp cannot make the source"; exit 1; }
"$T" convert -y src.sav out.por 2>warn.txt || { cat warn.txt; echo "FAIL convert to .por"; exit 1; }
check "the replaced characters are reported" "Changes: 10 characters replaced in 3 variables; 1 name changed in 1 variable" \
  "$(grep -o 'Changes: .*' warn.txt)"

# Lines of 80; every byte after the table is one the table names.
check "80-column lines" "80" "$(tr -d '\r' < out.por | awk '{ print length }' | sort -u)"
got=$($PY -c 'import sys
b = open("out.por", "rb").read().replace(b"\r\n", b"")
table = set(b[200:456])
print(sorted(hex(c) for c in set(b[456:]) - table))')
check "only characters of the table" "[]" "$got"

pspp-convert out.por pspp.csv || { echo "FAIL pspp-convert out.por"; exit 1; }
# PSPP knows the set's ASCII part only: it gives "#" as "$" and the symbols as blanks.
check "PSPP reads the values" 'BONDJOU,CITY,Q
1,Zurich,9
2,Athina,999
3,a$b~{}\|,1' "$(tr -d '\r' < pspp.csv)"
printf "IMPORT FILE='out.por'.\nDISPLAY DICTIONARY.\n" > dict.sps
pspp dict.sps -O format=csv -o dict.csv >/dev/null 2>&1 || { echo "FAIL pspp IMPORT FILE"; exit 1; }
got=$(awk -F, '/^Table: Variables/{on=1; getline; next} /^$/{on=0} on {print $1 "|" $3 "|" $NF}' dict.csv)
check "PSPP reads names, labels and user-missing values" 'BONDJOU|Etiquette  2  C|
CITY|Ville|
Q||9; 999' "$got"
got=$(awk '/^Table: Value Labels/{on=1; getline; next} on' dict.csv | tr -d '\r')
check "PSPP reads the value labels, 9 and 999 user-missing" 'Ville,Zurich,Stadt Zurich
Q,9[a],No answer
,999[a],Refuse
Footnote: a. User-missing value' "$got"

got=$(Rscript -e 'suppressMessages(library(haven)); x <- read_por("out.por", user_na = TRUE)
cat(names(x), sep = "|"); cat("\n")
cat(attr(x$BONDJOU, "label"), attr(x$CITY, "label"), sep = "|"); cat("\n")
cat(as.character(x$CITY), sep = "|"); cat("\n")
cat(unclass(x$Q), sep = "|"); cat("\n")
cat(attr(x$Q, "na_values"), sep = "|"); cat("\n")
l <- attr(x$Q, "labels"); cat(paste(l, names(l), sep = "="), sep = "|"); cat("\n")
l <- attr(x$CITY, "labels"); cat(paste(l, names(l), sep = "="), sep = "|"); cat("\n")' 2>&1)
check "haven reads names, labels, values and user-missing values" "BONDJOU|CITY|Q
Etiquette ±2 °C|Ville
Zurich|Athina|a#b~{}\\|±°
9|999|1
9|999
9=No answer|999=Refuse
Zurich      =Stadt Zurich" "$got"

"$T" convert -y -q out.por back.csv || { echo "FAIL Tabulon reads out.por"; exit 1; }
check "Tabulon reads its own file" '"BONDJOU","CITY","Q"
1,"Zurich",
2,"Athina",
3,"a#b~{}\|±°",1' "$(tr -d '\r' < back.csv)"

exit $fail
