#!/bin/bash
# Stata files against pandas (to_stata / read_stata) and ReadStat's readstat command: files the
# peers write are read by Tabulon, files Tabulon writes at every release are read by the peers.
set -euo pipefail
lib="${TABULON_BIN:?}/libtabulon.so"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
command -v readstat >/dev/null || { echo "readstat is not installed"; exit 1; }
/usr/bin/python3 "${TABULON_SOURCE_DIR:?}/tests/fixtures/stata/peers.py" "$lib" "$work"

# The command-line tool: text to Stata and back, the Stata file checked by pandas.
cli="${TABULON_BUILD_DIR:-}/tabulon"
if [ -x "$cli" ]; then
  printf 'id,name,score\n1,ann,2.5\n2,bob,\n3,"c, d",-1\n' >"$work/in.csv"
  "$cli" convert "$work/in.csv" "$work/cli.dta" -y >/dev/null
  "$cli" convert "$work/cli.dta" "$work/back.csv" -y >/dev/null
  /usr/bin/python3 - "$work/cli.dta" "$work/back.csv" <<'PY'
import sys
import pandas as pd
frame = pd.read_stata(sys.argv[1])
assert list(frame["id"]) == [1, 2, 3], frame
assert list(frame["name"]) == ["ann", "bob", "c, d"], frame
assert frame["score"].iloc[0] == 2.5 and pd.isna(frame["score"].iloc[1]) and frame["score"].iloc[2] == -1, frame
back = pd.read_csv(sys.argv[2])
assert list(back["name"]) == ["ann", "bob", "c, d"], back
print("command-line round trip through Stata passed")
PY
fi
