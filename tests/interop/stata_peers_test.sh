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

  # Greek text: kept whole by the default release 118; an older release asked for replaces what
  # Windows-1252 lacks, says so once per variable with a count, and still succeeds.
  /usr/bin/python3 -c "
rows = ['id,name,city'] + ['%d,Ελληνικά κείμενο %d,Αθήνα' % (i, i) for i in range(300)]
open('$work/greek.csv', 'w', encoding='utf-8').write('\n'.join(rows) + '\n')"
  "$cli" convert "$work/greek.csv" "$work/g118.dta" -y >"$work/g118.log" 2>&1
  "$cli" convert "$work/greek.csv" "$work/g114.dta" -y -v -s write-old-ver=10 >"$work/g114.log" 2>&1 ||
    { echo "FAIL: an older release with Greek text failed"; cat "$work/g114.log"; exit 1; }
  if grep -q "Error:" "$work/g114.log"; then echo "FAIL: errors on a successful conversion"; cat "$work/g114.log"; exit 1; fi
  grep -q "warning: .*Variable \[name\]: 4500 characters replaced." "$work/g114.log" ||
    { echo "FAIL: no count of replaced characters"; cat "$work/g114.log"; exit 1; }
  /usr/bin/python3 - "$work/g118.dta" "$work/g114.dta" <<'PY'
import sys
import pandas as pd
new, old = pd.read_stata(sys.argv[1]), pd.read_stata(sys.argv[2])
assert len(new) == len(old) == 300, (len(new), len(old))
assert new["name"][7] == "Ελληνικά κείμενο 7" and new["city"][0] == "Αθήνα", new.head()
assert old["name"][7] == "???????? ??????? 7", old.head()
print("Greek text: whole at release 118, counted at release 114")
PY
fi
