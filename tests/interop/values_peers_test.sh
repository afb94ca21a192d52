#!/bin/bash
# Values that used to change on the way, checked by the peers that read what we write:
# durations beyond a day and below zero through .sav/.por/.dta/.sas7bdat/.xpt/CSV; user-missing
# values through .sav/.por (PSPP lists them as user-missing); "Zürich" and "Αθήνα" through the
# SPSS program (PSPP runs it); display formats and the data set label kept.
set -u
. "${TABULON_SOURCE_DIR:?}/tests/interop/support/lib.sh"
T="$TABULON_BUILD_DIR/tabulon"
PY=/usr/bin/python3
interop_init pspp

cat > make.sps <<'EOF'
DATA LIST LIST /t (TIME11.2) d (ADATE10) q (F3.0) s (A10).
BEGIN DATA
25:00:00 01/02/2020 9 Zürich
-1:00:00 01/03/2020 999 Αθήνα
72:00:05 01/04/2020 1 x
END DATA.
MISSING VALUES q (9, 999).
VALUE LABELS q 9 'No answer' 999 'Refused'.
FILE LABEL 'Survey wave 1'.
SAVE OUTFILE='src.sav'.
EOF
pspp make.sps >/dev/null 2>&1 || { echo "FAIL pspp cannot make the source"; exit 1; }
for out in out.sav out.por out.dta out.sas7bdat out.xpt out.csv prog.sps; do
  keep=""; case $out in *.dta|*.por) keep="--keep t,d,q";; esac  # strings there: other tests
  "$T" convert -y -q src.sav "$out" $keep || { echo "FAIL convert to $out"; fail=1; }
done

# Durations in seconds as each peer reads them.
want=$'90000\n-3600\n259205'
if command -v Rscript >/dev/null; then
  for f in out.sav out.por out.dta out.sas7bdat out.xpt; do
    got=$(Rscript -e 'suppressMessages(library(haven)); f <- commandArgs(TRUE)[1];
      x <- switch(tools::file_ext(f), sav = read_sav(f), por = read_por(f), dta = read_dta(f),
                  sas7bdat = read_sas(f), xpt = read_xpt(f))
      v <- as.numeric(x[[1]]); if (tools::file_ext(f) == "dta") v <- v + 315619200  # %tc: 1960, not 1970
      cat(round(v), sep = "\n")' "$f" 2>&1)
    check "haven reads the durations of $f" "$want" "$got"
  done
  got=$(Rscript -e 'suppressMessages(library(haven)); cat(attr(read_sas("out.sas7bdat"), "label"), attr(read_xpt("out.xpt"), "label"), sep = "\n")' 2>&1)
  check "haven reads the data set label of .sas7bdat and .xpt" $'Survey wave 1\nSurvey wave 1' "$got"
fi
check "CSV durations" $'25:00:00\n-01:00:00\n72:00:05' "$(cut -d, -f1 out.csv | tail -n +2)"

# PSPP: formats, user-missing declarations and values, durations.
show() { # command
  printf "%s\nDISPLAY DICTIONARY.\nLIST.\n" "$1" > show.sps
  pspp show.sps -O format=csv -o show.csv >/dev/null 2>&1 || { echo "pspp failed on: $1"; return 1; }
  cat show.csv
}
for cmd in "GET FILE='out.sav'." "IMPORT FILE='out.por'."; do
  out=$(show "$cmd")
  got=$(echo "$out" | awk -F, '/^Table: Variables/{on=1; getline; next} /^$/{on=0} on {print tolower($1) "|" $7 "|" $NF}')
  want=$'t|TIME11.2|\nd|ADATE10|\nq|F3.0|9; 999'
  case $cmd in GET*) want+=$'\ns|A10|';; esac
  check "PSPP dictionary after $cmd" "$want" "$got"
  got=$(echo "$out" | awk -F, '/^Table: Data List/{on=1; getline; next} /^$/{on=0} on {print $1 "|" $3}')
  check "PSPP data after $cmd" $'25:00:00.00|9\n-01:00:00.0|999\n72:00:05.00|1' "$got"
done

# The SPSS program and its data: PSPP runs it, strings arrive whole.
pspp prog.sps >/dev/null 2>&1 || { echo "FAIL pspp cannot run prog.sps"; fail=1; }
out=$(show "GET FILE='prog.sav'.")
got=$(echo "$out" | awk -F, '/^Table: Data List/{on=1; getline; next} /^$/{on=0} on {print $1 "|" $3 "|" $4}')
check "PSPP runs the SPSS program" $'25:00:00|9|Zürich\n-01:00:00|999|Αθήνα\n72:00:05|1|x' "$got"
got=$(echo "$out" | awk -F, '/^Table: Variables/{on=1; getline; next} /^$/{on=0} on && tolower($1)=="q" {print $NF}')
check "the SPSS program declares the user-missing values" "9; 999" "$got"

# Stata and SAS outputs cannot declare them: the values are missing, or extended codes on request.
"$T" convert -y -q src.sav map.dta -s map-user-miss=Y --keep t,d,q || fail=1
got=$($PY -c 'import pandas as pd
r = pd.io.stata.StataReader("map.dta")
df = r.read(convert_missing=True, convert_categoricals=False)
print("|".join(str(x) for x in df["q"]))')
check "map-user-miss gives extended missing codes in Stata" ".a|.b|1" "$got"
got=$($PY -c 'import pandas as pd
r = pd.io.stata.StataReader("map.dta")
r.read()
print(r.value_labels())')
case "$got" in *"No answer"*Refused*) echo "ok   the labels of the user-missing values follow them";;
  *) echo "FAIL the labels of the user-missing values are lost: $got"; fail=1;; esac

exit $fail
