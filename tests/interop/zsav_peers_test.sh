#!/bin/bash
# zlib-compressed SPSS system files: Tabulon writes them for ".zsav" (and for ".sav" with
# spss-compression=zlib); PSPP and ReadStat read them back exactly as they read the bytecode
# ".sav" Tabulon writes of the same data. Tabulon reads the ".zsav" ReadStat writes as it reads
# ReadStat's ".sav". The data (about 7 MB of bytecode) span several zlib blocks.
set -euo pipefail
cli="${TABULON_BUILD_DIR:?}/tabulon"
[ -x "$cli" ] || { echo "the tabulon command is not built"; exit 1; }
command -v readstat >/dev/null || { echo "readstat is not installed"; exit 1; }
command -v pspp-convert >/dev/null || { echo "pspp-convert is not installed"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail=0
ok() { echo "ok   $1"; }
bad() { echo "FAIL $1"; fail=1; }
same() {  # name file1 file2
  if cmp -s "$2" "$3"; then ok "$1"; else bad "$1"; diff "$2" "$3" | head -5 | sed 's/^/  /'; fi
}
magic() { head -c 4 "$1"; }

/usr/bin/python3 - <<'PY'
import numpy as np, pandas as pd
n = 120000
rng = np.random.default_rng(3)
words = np.array(["Zürich", "São Paulo", "Kraków", "", "Oslo"])
price = rng.random(n) * 1000
price[rng.random(n) < 0.05] = np.nan
frame = pd.DataFrame({
    "id": np.arange(n, dtype=np.int32),
    "small": rng.integers(-99, 151, n).astype(np.int16),
    "price": price,
    "city": words[rng.integers(0, len(words), n)],
    "note": np.char.add("note number ", rng.integers(0, 10**6, n).astype(str)),
    "born": pd.to_datetime("1950-01-01") + pd.to_timedelta(rng.integers(0, 20000, n), unit="D"),
})
frame.to_stata("in.dta", version=118, write_index=False, convert_dates={"born": "td"})
PY

"$cli" convert in.dta bytecode.sav -y -q
"$cli" convert in.dta ours.zsav -y -q
"$cli" convert in.dta asked.sav -y -q -s spss-compression=zlib
"$cli" convert in.dta plain.zsav -y -q -s spss-compression=bytecode
[ "$(magic bytecode.sav)" = '$FL2' ] && ok ".sav is bytecode" || bad ".sav is bytecode"
[ "$(magic ours.zsav)" = '$FL3' ] && ok ".zsav is zlib" || bad ".zsav is zlib"
[ "$(magic asked.sav)" = '$FL3' ] && ok "spss-compression=zlib on .sav" || bad "spss-compression=zlib on .sav"
[ "$(magic plain.zsav)" = '$FL2' ] && ok "spss-compression=bytecode on .zsav" || bad "spss-compression=bytecode on .zsav"
big=$(stat -c %s bytecode.sav) small=$(stat -c %s ours.zsav)
[ $((small * 10)) -lt $((big * 8)) ] && ok "zlib output is smaller ($small < $big bytes)" || bad "zlib output is not smaller ($small vs $big)"

# PSPP and ReadStat see the same cases in the zlib file as in the bytecode file.
pspp-convert bytecode.sav bytecode.pspp.csv
pspp-convert ours.zsav ours.pspp.csv
pspp-convert asked.sav asked.pspp.csv
same "PSPP reads the .zsav as the .sav" bytecode.pspp.csv ours.pspp.csv
same "PSPP reads the zlib .sav as the .sav" bytecode.pspp.csv asked.pspp.csv
rows=$(($(wc -l < ours.pspp.csv) - 1))
[ "$rows" = 120000 ] && ok "PSPP reads 120000 cases" || bad "PSPP reads $rows cases"
grep -q "Zürich" ours.pspp.csv && ok "PSPP reads UTF-8 text" || bad "PSPP reads UTF-8 text"
readstat bytecode.sav bytecode.rs.csv >/dev/null
readstat ours.zsav ours.rs.csv >/dev/null
same "readstat reads the .zsav as the .sav" bytecode.rs.csv ours.rs.csv

# Tabulon reads its own .zsav, and ReadStat's, as the bytecode twins.
"$cli" convert bytecode.sav bytecode.csv -y -q
"$cli" convert ours.zsav ours.csv -y -q
same "Tabulon reads its .zsav as its .sav" bytecode.csv ours.csv
readstat in.dta peer.sav >/dev/null
readstat in.dta peer.zsav >/dev/null
[ "$(magic peer.zsav)" = '$FL3' ] && ok "readstat wrote zlib" || bad "readstat wrote zlib"
"$cli" convert peer.sav peer_sav.csv -y -q
"$cli" convert peer.zsav peer_zsav.csv -y -q
same "Tabulon reads readstat's .zsav as its .sav" peer_sav.csv peer_zsav.csv
/usr/bin/python3 - <<'PY' && ok "Tabulon's values of readstat's .zsav match the input" || bad "values of readstat's .zsav"
import pandas as pd
src = pd.read_stata("in.dta")
got = pd.read_csv("peer_zsav.csv", keep_default_na=False)
assert len(got) == len(src), (len(got), len(src))
assert (got["id"] == src["id"]).all()
assert (got["note"] == src["note"]).all()
assert (got["city"] == src["city"]).all()
price = pd.to_numeric(got["price"].replace("", None))
assert ((price - src["price"]).abs().fillna(0) < 1e-9).all()
assert (price.isna() == src["price"].isna()).all()
PY
exit $fail
