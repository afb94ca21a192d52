#!/bin/bash
# CSV to CSV conversion: Tabulon against pandas read_csv + to_csv, side by side, with the
# peak memory of each at 100,000 and 1,000,000 rows.
# Usage: bench/csv_bench.sh [BUILD_DIR]   (a Release build is best: cmake -DCMAKE_BUILD_TYPE=Release)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
bin=$build/bench_csv_convert
[ -x "$bin" ] || cmake --build "$build" --target bench_csv_convert -j2 >/dev/null
. "$here/lib.sh"

# Seconds are wall-clock (and processor time in brackets: the machine may be shared).
printf "%-9s %16s %16s %8s %8s %11s %10s\n" rows tabulon_s "pandas_s" speedup cpu_x tabulon_MB pandas_MB
for rows in 100000 1000000; do
  /usr/bin/python3 "$here/csv_generate.py" "$rows" "$work/in.csv"
  tmem=$(peak "$bin" "$work/in.csv" "$work/tab.csv")
  read -r tsec tcpu <"$work/out"
  pmem=$(peak /usr/bin/python3 -c '
import sys, time, pandas
t, c = time.perf_counter(), time.process_time()
pandas.read_csv(sys.argv[1]).to_csv(sys.argv[2], index=False)
print("%.3f %.3f" % (time.perf_counter() - t, time.process_time() - c))' "$work/in.csv" "$work/pd.csv")
  read -r psec pcpu <"$work/out"
  speed=$(/usr/bin/python3 -c "print('%.1f' % ($psec / $tsec))")
  cpux=$(/usr/bin/python3 -c "print('%.1f' % ($pcpu / max($tcpu, 0.001)))")
  printf "%-9s %16s %16s %8s %8s %11s %10s\n" "$rows" "$tsec ($tcpu)" "$psec ($pcpu)" "${speed}x" "${cpux}x" "$tmem" "$pmem"
done
