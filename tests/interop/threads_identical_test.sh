#!/bin/bash
# Reading ahead and writing behind on a second thread must not change a byte: every conversion
# here runs once with TABULON_THREADS=1 and once with two threads, and the outputs must match.
# The generated inputs span several of the 1 MiB chunks the threads hand over.
set -euo pipefail
command -v faketime >/dev/null || { echo "faketime is not installed"; exit 1; }
# Data set headers carry the time of writing and the member name: both runs get the same
# (stopped) clock and the same file name in their own folders.
cli=(faketime -f "2024-01-02 03:04:05" "${TABULON_BUILD_DIR:?}/tabulon")
src="${TABULON_SOURCE_DIR:?}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/1" "$work/2"

/usr/bin/python3 "$src/bench/csv_generate.py" 40000 "$work/gen.csv"
/usr/bin/python3 "$src/bench/stata_generate.py" 40000 "$work/gen.dta"
TABULON_THREADS=1 "${cli[@]}" convert "$work/gen.dta" "$work/gen.sav" -y >/dev/null
[ "$(stat -c %s "$work/gen.csv")" -gt 2500000 ] || { echo "generated CSV too small to span chunks"; exit 1; }
# Compressed SPSS data are decoded on a second thread: zlib data of several 4 MiB blocks, a
# bytecode file cut inside the data and a zlib block damaged in the middle.
/usr/bin/python3 "$src/bench/stata_generate.py" 120000 "$work/big.dta"
TABULON_THREADS=1 "${cli[@]}" convert "$work/big.dta" "$work/big.zsav" -y >/dev/null
size=$(stat -c %s "$work/gen.sav")
head -c $((size * 3 / 5)) "$work/gen.sav" >"$work/cut.sav"
cp "$work/big.zsav" "$work/damaged.zsav"
size=$(stat -c %s "$work/big.zsav")
printf '\377%.0s' {1..16} | dd of="$work/damaged.zsav" bs=1 seek=$((size * 3 / 5)) conv=notrunc status=none

fixtures=(
  "$work/gen.csv" "$work/gen.dta" "$work/gen.sav" "$work/big.zsav"
  "$src/tests/fixtures/sas/parso_54-class.sas7bdat"
  "$src/tests/fixtures/xpt/polars_nhanes_ACQ_G.xpt"
  "$src/tests/fixtures/spss/foreign_testdata.sav"
  "$src/tests/fixtures/stata/pandas_stata14_be_119.dta"
)
# The tool's messages, less the run's own output name and timing.
same_messages() {
  diff <(sed -E 's#/[12]/#/N/#g; s/ in [0-9.]+ s$//' "$1") <(sed -E 's#/[12]/#/N/#g; s/ in [0-9.]+ s$//' "$2")
}
checked=0
for input in "${fixtures[@]}"; do
  for ext in csv dta sav sas7bdat; do
    name=$(basename "${input%.*}")_${input##*.}.$ext
    TABULON_THREADS=1 "${cli[@]}" convert "$input" "$work/1/$name" -y >"$work/1.log" 2>&1 || echo "rc=$?" >>"$work/1.log"
    "${cli[@]}" convert "$input" "$work/2/$name" -y >"$work/2.log" 2>&1 || echo "rc=$?" >>"$work/2.log"
    same_messages "$work/1.log" "$work/2.log"
    if [ -e "$work/1/$name" ] || [ -e "$work/2/$name" ]; then
      cmp "$work/1/$name" "$work/2/$name"
      checked=$((checked + 1))
    fi
  done
done
[ "$checked" -ge 20 ] || { echo "only $checked outputs were written"; exit 1; }

# Damaged data fail at the same case with the same message on both paths, in the
# optimization pass or, without it, in the transfer.
for input in "$work/cut.sav" "$work/damaged.zsav"; do
  for opt in --optimize --no-optimize; do
    for n in 1 2; do
      set +e
      TABULON_THREADS=$n "${cli[@]}" convert "$input" "$work/$n/damaged.csv" -y "$opt" >"$work/$n.log" 2>&1
      rc=$?
      set -e
      [ "$rc" = 1 ] || { echo "$input $opt with $n threads: exit $rc, expected 1"; cat "$work/$n.log"; exit 1; }
    done
    same_messages "$work/1.log" "$work/2.log"
    grep -q "(case [1-9][0-9]*)" "$work/2.log" || { echo "$input: no case named"; cat "$work/2.log"; exit 1; }
  done
done

# A full disk fails the transfer the same way on both paths, whichever chunk meets it.
for input in "$work/gen.csv" "$work/gen.dta"; do
  for ext in csv dta; do
    set +e
    TABULON_THREADS=1 "${cli[@]}" convert "$input" /dev/full --to "$ext" -y >"$work/1.log" 2>&1
    r1=$?
    "${cli[@]}" convert "$input" /dev/full --to "$ext" -y >"$work/2.log" 2>&1
    r2=$?
    set -e
    [ "$r1" = 1 ] && [ "$r2" = 1 ] || { echo "/dev/full as $ext: exit $r1 and $r2, expected 1"; exit 1; }
    same_messages "$work/1.log" "$work/2.log"
  done
done
echo "one and two threads agree on $checked outputs"
