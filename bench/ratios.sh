#!/bin/bash
# Every conversion of the speed table against its peer, side by side: the tool against
# readstat, pandas (read_csv + to_csv / to_stata) and a plain cp, on ROWS x 11 columns.
# Runs are interleaved (tool, peer, next row, ..., then again) and the median of RUNS is
# reported as whole-process wall time, with the ratio tool / peer and the peak memory.
# Usage: bench/ratios.sh [BUILD_DIR] [RUNS] [ROWS] [PATTERN]   (a Release build is best)
# PATTERN (an extended regular expression) keeps only the conversions it matches, e.g. '^csv'.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
runs=${2:-3}
rows=${3:-1000000}
only=${4:-}
tool=$build/tabulon
[ -x "$tool" ] || cmake --build "$build" --target tabulon_cli -j2 >/dev/null
. "$here/lib.sh"
for peer in readstat /usr/bin/python3; do
  command -v "$peer" >/dev/null || { echo "missing peer: $peer (scripts/deps.sh installs it)" >&2; exit 1; }
done

# The inputs, made once: the CSV of csv_generate.py, the Stata file of stata_generate.py
# (release 118), and an SPSS and a SAS file the tool writes from the CSV.
/usr/bin/python3 "$here/csv_generate.py" "$rows" "$work/in.csv"
/usr/bin/python3 "$here/stata_generate.py" "$rows" "$work/in.dta" 118
"$tool" convert "$work/in.csv" "$work/in.sav" -y -q
"$tool" convert "$work/in.csv" "$work/in.sas7bdat" -y -q
echo "inputs: $rows rows x 11 columns; csv $(du -m "$work/in.csv" | cut -f1) MB," \
  "dta $(du -m "$work/in.dta" | cut -f1) MB, sav $(du -m "$work/in.sav" | cut -f1) MB," \
  "sas7bdat $(du -m "$work/in.sas7bdat" | cut -f1) MB; median of $runs interleaved runs"

pandas_csv='import sys, pandas; pandas.read_csv(sys.argv[1]).to_csv(sys.argv[2], index=False)'
pandas_dta='import sys, pandas; pandas.read_csv(sys.argv[1]).to_stata(sys.argv[2], write_index=False)'

# name | input | output extension | peer | goal (ratio)
rows_table=(
  "sav->dta|sav|dta|readstat|0.35"
  "sas7bdat->dta|sas7bdat|dta|readstat|0.35"
  "dta->dta|dta|dta|readstat|0.30"
  "dta->sav|dta|sav|readstat|0.30"
  "dta->sas7bdat|dta|sas7bdat|readstat|0.30"
  "dta->xpt|dta|xpt|readstat|0.30"
  "csv->csv|csv|csv|pandas|0.15"
  "csv->dta|csv|dta|pandas|0.15"
  "sav->csv|sav|csv|readstat|0.15"
  "dta->csv|dta|csv|readstat|0.15"
  "sas7bdat->csv|sas7bdat|csv|readstat|0.15"
  "dta->dta|dta|dta|cp|3"
)
if [ -n "$only" ]; then
  kept=()
  for row in "${rows_table[@]}"; do
    [[ ${row%%|*} =~ $only ]] && kept+=("$row")
  done
  rows_table=("${kept[@]}")
fi

peer_run() {  # peer input output
  case $1 in
    readstat) rm -f "$3"; run readstat "$2" "$3" ;;
    cp) run cp "$2" "$3" ;;
    pandas)
      if [ "${3##*.}" = csv ]; then run /usr/bin/python3 -c "$pandas_csv" "$2" "$3"
      else run /usr/bin/python3 -c "$pandas_dta" "$2" "$3"; fi ;;
  esac
}

declare -A tw tm pw pm
for ((r = 1; r <= runs; ++r)); do
  for k in "${!rows_table[@]}"; do
    IFS='|' read -r name in ext peer goal <<<"${rows_table[$k]}"
    # Both sides write a new file, as readstat will not replace one.
    rm -f "$work/tab.$ext"
    read -r wall _ mem < <(run "$tool" convert "$work/in.$in" "$work/tab.$ext" -y -q)
    tw[$k]+="$wall "; tm[$k]=$(( ${tm[$k]:-0} > mem ? ${tm[$k]:-0} : mem ))
    read -r wall _ mem < <(peer_run "$peer" "$work/in.$in" "$work/peer.$ext")
    pw[$k]+="$wall "; pm[$k]=$(( ${pm[$k]:-0} > mem ? ${pm[$k]:-0} : mem ))
  done
done

printf "%-15s %-9s %9s %9s %7s %6s %9s %9s\n" conversion peer tool_s peer_s ratio goal tool_MB peer_MB
for k in "${!rows_table[@]}"; do
  IFS='|' read -r name in ext peer goal <<<"${rows_table[$k]}"
  # shellcheck disable=SC2086
  t=$(median ${tw[$k]})
  # shellcheck disable=SC2086
  p=$(median ${pw[$k]})
  printf "%-15s %-9s %9s %9s %7s %6s %9s %9s\n" "$name" "$peer" "$t" "$p" "$(ratio "$t" "$p")" "$goal" "${tm[$k]}" "${pm[$k]}"
done
