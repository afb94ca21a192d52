#!/bin/bash
# The ODBC driver against a live PostgreSQL: a throw-away server (initdb in a temporary
# directory, listening on 127.0.0.1 only) is started here and stopped at the end. An SPSS file
# goes into a table and back out as a Stata file with its values, dates and missing values;
# psql confirms what the table holds.
set -u
: "${TABULON_SOURCE_DIR:?}" "${TABULON_BUILD_DIR:?}"
T=$TABULON_BUILD_DIR/tabulon
[ -e "$TABULON_BUILD_DIR/libDXODBC64.so" ] || { echo "the ODBC driver was not built (unixodbc-dev)"; exit 1; }
PGBIN=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[ -x "$PGBIN/initdb" ] || { echo "PostgreSQL is not installed (postgresql)"; exit 1; }
odbcinst -q -d -n "PostgreSQL Unicode" >/dev/null 2>&1 || { echo "the PostgreSQL ODBC driver is not installed (odbc-postgresql)"; exit 1; }

work=$(mktemp -d)
chmod 755 "$work"
# The server refuses to run as root: it runs as the postgres account where there is one.
as_pg=()
if [ "$(id -u)" -eq 0 ]; then
  id postgres >/dev/null 2>&1 || { echo "no postgres account to run the server"; exit 1; }
  as_pg=(runuser -u postgres --)
fi
mkdir "$work/data" "$work/sock"
[ ${#as_pg[@]} -gt 0 ] && chown postgres "$work/data" "$work/sock"
port=$((20000 + RANDOM % 20000))
stop() {
  "${as_pg[@]}" "$PGBIN/pg_ctl" -D "$work/data" -m immediate stop >/dev/null 2>&1
  rm -rf "$work"
}
trap stop EXIT
"${as_pg[@]}" "$PGBIN/initdb" -D "$work/data" -A trust -U tab -E UTF8 --no-locale >/dev/null || { echo "initdb failed"; exit 1; }
"${as_pg[@]}" "$PGBIN/pg_ctl" -D "$work/data" -l "$work/sock/log" -w \
  -o "-c listen_addresses=127.0.0.1 -p $port -k $work/sock -c fsync=off" start >/dev/null ||
  { echo "the server did not start"; cat "$work/sock/log"; exit 1; }
psql_q() { psql -h 127.0.0.1 -p "$port" -U tab -d postgres -XAtq -c "$1"; }

cd "$work" || exit 1
fail=0
check() { # name expected actual
  if [ "$2" != "$3" ]; then
    echo "FAIL $1"; diff <(echo "$2") <(echo "$3") | sed 's/^/  /'; fail=1
  else echo "ok   $1"; fi
}
DB="odbc:Driver=PostgreSQL Unicode;Servername=127.0.0.1;Port=$port;Database=postgres;UID=tab"

# A small SPSS file: numbers with a system-missing value, a date, a date-time, text in Greek.
cat > make.sps <<'SPS'
DATA LIST LIST /id (F4.0) score (F8.2) born (ADATE10) name (A12).
BEGIN DATA
1 1.25 05/06/1990 Zürich
2 . 12/31/1899 Αθήνα
3 -7.5 . plain
END DATA.
COMPUTE stamp = born + 3600.
FORMATS stamp (DATETIME20).
SAVE OUTFILE='survey.sav'.
SPS
pspp make.sps >/dev/null 2>&1 || { echo "pspp could not make the SPSS file"; exit 1; }

"$T" convert survey.sav "$DB" --member survey -q || fail=1
check "psql sees the rows" "1|1.25|1990-05-06|Zürich|1990-05-06 01:00:00
2||1899-12-31|Αθήνα|1899-12-31 01:00:00
3|-7.5||plain|" "$(psql_q 'SELECT id, score, born, name, stamp FROM survey ORDER BY id')"
check "column types mapped back" "id:integer score:double precision born:date name:character varying stamp:timestamp without time zone" \
  "$(psql_q "SELECT string_agg(column_name || ':' || data_type, ' ' ORDER BY ordinal_position) FROM information_schema.columns WHERE table_name = 'survey'")"

"$T" convert "$DB" --member survey survey.dta -q || fail=1
"$T" convert survey.dta direct.csv -q -y -s date-fmt-write=%Y-%m-%d || fail=1
"$T" convert survey.sav via.csv -q -y -s date-fmt-write=%Y-%m-%d || fail=1
check "sav -> PostgreSQL -> dta keeps values, dates and missing values" "$(cat via.csv)" "$(cat direct.csv)"

check "tables listed" "survey" "$("$T" info "$DB")"

# A failed transfer leaves no table: a cut input.
head -c 300 survey.sav > cut.sav
"$T" convert cut.sav "$DB" --member cut -q 2>/dev/null
check "failed transfer leaves no table" "0" "$(psql_q "SELECT COUNT(*) FROM pg_tables WHERE tablename = 'cut'")"

exit $fail
