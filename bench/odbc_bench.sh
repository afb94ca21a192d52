#!/bin/bash
# A SQLite table to a Stata file: the tool through the ODBC driver against pandas read_sql
# (sqlite3) + to_stata, side by side, with the peak memory of each.
# Usage: bench/odbc_bench.sh [BUILD_DIR] [ROWS]   (a Release build is best)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
rows=${2:-1000000}
tool=$build/tabulon
[ -x "$tool" ] && [ -e "$build/libDXODBC64.so" ] || cmake --build "$build" --target tabulon_cli odbc_driver -j2 >/dev/null
. "$here/lib.sh"

# 11 columns: an integer, 8 doubles, a short text and a date.
/usr/bin/python3 - "$work/big.db" "$rows" <<'PY'
import sqlite3, sys, random
n = int(sys.argv[2])
c = sqlite3.connect(sys.argv[1])
c.execute("CREATE TABLE big (i INTEGER, x0 DOUBLE, x1 DOUBLE, x2 DOUBLE, x3 DOUBLE, x4 DOUBLE, x5 DOUBLE, x6 DOUBLE, x7 DOUBLE, s VARCHAR(12), d DATE)")
r = random.Random(1)
c.executemany("INSERT INTO big VALUES (?,?,?,?,?,?,?,?,?,?,?)",
              ((i, *(r.random() for _ in range(8)), "w%d" % (i % 9973), "%04d-%02d-%02d" % (1950 + i % 70, 1 + i % 12, 1 + i % 28))
               for i in range(n)))
c.commit()
PY

printf "%-8s %8s %8s %8s   %8s %8s %8s   %s\n" rows tab_s tab_cpu tab_MB pd_s pd_cpu pd_MB "ratio (wall, cpu)"
for run in 1 2 3; do
  read -r tw tc tm < <(run "$tool" convert "odbc:Driver=SQLite3;Database=$work/big.db" --member big "$work/t.dta" -y -q)
  read -r pw pc pm < <(run /usr/bin/python3 -c '
import sqlite3, sys, pandas
pandas.read_sql("SELECT * FROM big", sqlite3.connect(sys.argv[1])).to_stata(sys.argv[2], write_index=False)' "$work/big.db" "$work/p.dta")
  printf "%-8s %8s %8s %8s   %8s %8s %8s   %.2f %.2f\n" "$rows" "$tw" "$tc" "$tm" "$pw" "$pc" "$pm" \
    "$(echo "$tw / $pw" | bc -l)" "$(echo "$tc / $pc" | bc -l)"
done
