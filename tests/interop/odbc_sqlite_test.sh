#!/bin/bash
# The ODBC driver against SQLite through the SQLite ODBC driver: every column type, NULLs,
# non-ASCII text, 100,000 rows both ways, tables listed, an existing table replaced only on
# request, a failed transfer leaving no table behind, and no password in any message.
set -u
. "${TABULON_SOURCE_DIR:?}/tests/interop/support/lib.sh"
T=$TABULON_BUILD_DIR/tabulon
[ -e "$TABULON_BUILD_DIR/libDXODBC64.so" ] || { echo "the ODBC driver was not built (unixodbc-dev)"; exit 1; }
command -v sqlite3 >/dev/null || { echo "sqlite3 is not installed"; exit 1; }
odbcinst -q -d -n SQLite3 >/dev/null 2>&1 || { echo "the SQLite ODBC driver is not installed (libsqliteodbc)"; exit 1; }
interop_init
DB="odbc:Driver=SQLite3;Database=$work/t.db"

sqlite3 t.db <<'SQL'
CREATE TABLE kinds(id INTEGER, small SMALLINT, name VARCHAR(20), code CHAR(3), score DOUBLE, ratio REAL,
                   amount DECIMAL(10,2), born DATE, at TIME, stamp TIMESTAMP, note TEXT);
INSERT INTO kinds VALUES (1, 7, 'Zoë', 'abc', 1.5, 0.25, 12.34, '1990-05-06', '10:11:12', '2020-01-02 03:04:05', 'long note');
INSERT INTO kinds VALUES (2, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL);
INSERT INTO kinds VALUES (3, -1, 'Αθήνα', 'xyz', -2.75, 1e-3, -1.5, '1880-01-01', '23:59:59', '1899-12-29 06:00:00', 'Ünïcödé');
CREATE VIEW named AS SELECT id, name FROM kinds;
SQL

check "tables and views are members" "kinds
named" "$("$T" info "$DB" | sort)"

"$T" convert "$DB" --member kinds kinds.csv -q || fail=1
check "every column type, NULL as missing" '"id","small","name","code","score","ratio","amount","born","at","stamp","note"
1,7,"Zoë","abc",1.5,0.25,12.34,5/6/1990,10:11:12,1/2/2020 03:04:05,"long note"
2,,"","",,,,,,,""
3,-1,"Αθήνα","xyz",-2.75,0.001,-1.5,1/1/1880,23:59:59,12/29/1899 06:00:00,"Ünïcödé"' "$(tr -d '\r' < kinds.csv)"

"$T" convert "$DB" --member kinds some.csv -q --drop small,name,score || fail=1
check "columns left after a drop keep their own values" '"id","code","ratio","amount"
1,"abc",0.25,12.34
2,"",,
3,"xyz",0.001,-1.5' "$(cut -d, -f1-4 some.csv | tr -d '\r')"

info=$("$T" info "$DB" --member kinds)
check "dictionary from the column descriptions" "double double string string double double double date time datetime string" \
  "$(echo "$info" | awk '$1 ~ /^[0-9]+$/ {printf "%s%s", sep, $3; sep=" "}')"

# Doubles arrive bit for bit (SQLite's own text has 15 digits), also in a table with more
# numeric columns than one packed value holds and a text column between them; text in a
# numeric column that is no number becomes missing.
/usr/bin/python3 - <<'PY'
import sqlite3
c = sqlite3.connect("t.db")
cols = ["x%d" % k for k in range(130)]
c.execute("CREATE TABLE wide (%s, label TEXT, %s)" % (", ".join(a + " DOUBLE" for a in cols[:60]), ", ".join(a + " REAL" for a in cols[60:])))
values = [0.1 + 0.2, 1 / 3, -0.0, 8e307, 5e-324, 2147483648, -123456789012, 0.1343642441124012, None, "n/a", "2.5"]
for r in range(20):
    row = [values[(r + k) % len(values)] for k in range(130)]
    c.execute("INSERT INTO wide VALUES (%s)" % ", ".join("?" * 131), row[:60] + ["row%d" % r] + row[60:])
c.commit()
PY
"$T" convert "$DB" --member wide wide.dta --no-optimize 2> wide.err || fail=1
# "n/a" stands once or twice in each column (20 rows cycling through 11 values): 237 cells.
check "text that is no number is counted, not lost silently" \
  "tabulon: warning: wide.dta: Changes: 237 unreadable values read as missing in 130 variables" \
  "$(grep Changes wide.err)"
check "doubles bit for bit, 130 columns" "ok" "$(/usr/bin/python3 - <<'PY'
import sqlite3, struct, math, pandas
got = pandas.read_stata("wide.dta", convert_missing=False)
want = sqlite3.connect("t.db").execute("SELECT * FROM wide").fetchall()
names = [d[0] for d in sqlite3.connect("t.db").execute("SELECT * FROM wide").description]
bad = []
for r, row in enumerate(want):
    for name, w in zip(names, row):
        g = got[name][r]
        if name == "label":
            ok = g == w
        elif w is None or w == "n/a":
            ok = isinstance(g, float) and math.isnan(g)
        else:
            ok = struct.pack("<d", float(w)) == struct.pack("<d", g)
        if not ok: bad.append((r, name, w, g))
print("ok" if len(got) == 20 and not bad else "%d rows, wrong: %s" % (len(got), bad[:3]))
PY
)"

# 100,000 rows into a new table and back.
/usr/bin/python3 - <<'PY'
import csv
with open("big.csv", "w", newline="") as f:
    w = csv.writer(f)
    w.writerow(["n", "x", "word", "day"])
    for i in range(100000):
        w.writerow([i, i / 7 if i % 11 else "", "wörd%d" % i if i % 13 else "", "%04d-%02d-%02d" % (1950 + i % 70, 1 + i % 12, 1 + i % 28)])
PY
"$T" convert big.csv "$DB" --member big -q -s date-fmt-read=%Y-%m-%d || fail=1
# Every value exactly as written: doubles compared bit for bit, NULL for the empty cells.
check "100,000 rows written" "ok" "$(/usr/bin/python3 - <<'PY'
import sqlite3
rows = sqlite3.connect("t.db").execute("SELECT n, x, word, day FROM big ORDER BY n").fetchall()
bad = [r for r in rows if r[1] != (r[0] / 7 if r[0] % 11 else None) or
       r[2] != ("wörd%d" % r[0] if r[0] % 13 else "") or
       r[3] != "%04d-%02d-%02d" % (1950 + r[0] % 70, 1 + r[0] % 12, 1 + r[0] % 28)]
print("ok" if len(rows) == 100000 and not bad else "%d rows, first wrong: %s" % (len(rows), bad[:1]))
PY
)"
"$T" convert "$DB" --member big back.csv -q -s date-fmt-write=%Y-%m-%d || fail=1
check "100,000 rows read back" "ok" "$(/usr/bin/python3 - <<'PY'
import csv, math
a = list(csv.reader(open("big.csv", encoding="utf-8")))
b = list(csv.reader(open("back.csv", encoding="utf-8")))
def same(x, y):
    if x == y: return True
    try: return math.isclose(float(x), float(y), rel_tol=1e-14)
    except ValueError: return False
bad = [(r, s) for r, s in zip(a, b) if len(r) != len(s) or not all(same(x, y) for x, y in zip(r, s))]
print("ok" if len(a) == len(b) and not bad else "%d rows, first wrong: %s" % (len(b), bad[:1]))
PY
)"

# An existing table is kept unless the user asked to replace it.
"$T" convert kinds.csv "$DB" --member big -q 2>err.txt
check "existing table refused" "1 100000" "$? $(sqlite3 t.db 'SELECT COUNT(*) FROM big')"
"$T" convert kinds.csv "$DB" --member big -q -y || fail=1
check "existing table replaced on request" "3" "$(sqlite3 t.db 'SELECT COUNT(*) FROM big')"

# A transfer that fails half way leaves no table.
"$T" convert big.csv cut.dta -q -y -s date-fmt-read=%Y-%m-%d || fail=1
head -c 600000 cut.dta > half.dta
"$T" convert half.dta "$DB" --member half -q -y 2>/dev/null
check "failed transfer rolled back" "1 0" "$? $(sqlite3 t.db "SELECT COUNT(*) FROM sqlite_master WHERE name = 'half'")"

# The password of a connection string never reaches a message.
out=$("$T" convert "odbc:Driver=NoSuchDriver;Database=x;PWD=secret123" --member t x.csv -v 2>&1)
check "connection failure reported" "1" "$([ -n "$out" ] && echo 1)"
check "password kept out of messages" "" "$(echo "$out" | grep -o secret123)"

exit $fail
