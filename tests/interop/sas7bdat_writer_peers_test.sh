#!/bin/bash
# SAS data sets that Tabulon writes (several platform profiles, both releases) read by pandas
# (read_sas) and by ReadStat's readstat command, value for value.
set -euo pipefail
lib="${TABULON_BIN:?}/libtabulon.so"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
command -v readstat >/dev/null || { echo "readstat is not installed"; exit 1; }
/usr/bin/python3 "${TABULON_SOURCE_DIR:?}/tests/fixtures/sas/sas7bdat_peers.py" "$lib" "$work"

# The command-line tool: text to a SAS data set, read by pandas.
cli="${TABULON_BUILD_DIR:-}/tabulon"
if [ -x "$cli" ]; then
  printf 'id,name,score\n1,ann,2.5\n2,bob,\n3,"c, d",-1\n' >"$work/in.csv"
  "$cli" convert "$work/in.csv" "$work/cli.sas7bdat" -y >/dev/null
  /usr/bin/python3 - "$work/cli.sas7bdat" <<'PY'
import sys
import pandas as pd
frame = pd.read_sas(sys.argv[1], encoding="utf-8")
assert list(frame["id"]) == [1, 2, 3], frame
assert list(frame["name"]) == ["ann", "bob", "c, d"], frame
assert frame["score"].iloc[0] == 2.5 and pd.isna(frame["score"].iloc[1]) and frame["score"].iloc[2] == -1, frame
print("command-line conversion to a SAS data set passed")
PY
fi
