#!/bin/bash
# User-missing values declared by SPSS inputs (system and portable files), of numbers and of
# short strings, are declared again by every output that can hold them: system and portable
# files and the SPSS program.
# PSPP makes the source and judges each output with DISPLAY DICTIONARY.
set -u
. "${TABULON_SOURCE_DIR:?}/tests/interop/support/lib.sh"
interop_init pspp

build_transfer_host

cat > make.sps <<'EOF'
DATA LIST LIST /a b c d e (F8.0) s (A3).
BEGIN DATA
1 2 3 4 5 x
-9 99 -1 7 200 abc
END DATA.
MISSING VALUES a (-9, -8, 99) b (LO THRU 0) c (-5 THRU -1, 99) d (100 THRU HI) e (200) s ('x', 'yy').
SAVE OUTFILE='src.sav'.
EXPORT OUTFILE='src.por'.
EOF
pspp make.sps >/dev/null 2>&1 || { echo "FAIL pspp cannot make the source"; exit 1; }

# Name and missing values of each variable, as PSPP lists them.
missing_of() { # command file
  printf "%s\nDISPLAY DICTIONARY.\n" "$1" > show.sps
  pspp show.sps -o show.csv >/dev/null 2>&1 || { echo "pspp failed on: $1"; return 1; }
  awk '/^Table: Variables/{on=1; getline; next} /^$/{on=0} on' show.csv |
    /usr/bin/python3 -c 'import csv,sys
for r in csv.reader(sys.stdin): print(r[0].lower() + "|" + r[-1])'
}
want=$(missing_of "GET FILE='src.sav'.")
[ -n "$want" ] || { echo "FAIL no dictionary from the source"; exit 1; }
# PSPP's own portable file states "100 THRU HIGHEST" with the largest double as its bound;
# what PSPP reads from it is what the portable input declares.
want_por=$(missing_of "IMPORT FILE='src.por'.")

./host 22 src.sav 22 out.sav 2>/dev/null || { echo "FAIL 22 -> 22"; exit 1; }
check "system file to system file" "$want" "$(missing_of "GET FILE='out.sav'.")"
./host 22 src.sav 13 out.por 2>/dev/null || { echo "FAIL 22 -> 13"; exit 1; }
check "system file to portable file" "$want" "$(missing_of "IMPORT FILE='out.por'.")"
./host 13 src.por 22 por.sav 2>/dev/null || { echo "FAIL 13 -> 22"; exit 1; }
check "portable file to system file" "$want_por" "$(missing_of "GET FILE='por.sav'.")"
./host 22 src.sav 39 prog.sps 2>/dev/null || { echo "FAIL 22 -> 39"; exit 1; }
pspp prog.sps >/dev/null 2>&1 || { echo "FAIL pspp cannot run prog.sps"; exit 1; }
check "system file to SPSS program" "$want" "$(missing_of "GET FILE='prog.sav'.")"
exit $fail
