#!/bin/bash
# Access files through the mdbtools ODBC driver (read only): tables listed without the system
# tables, every column of a Jet 4 file read (long integer, non-ASCII text, date-time, boolean) by
# path and by connection string, and writing refused with a clear message.
set -u
. "${TABULON_SOURCE_DIR:?}/tests/interop/support/lib.sh"
T=$TABULON_BUILD_DIR/tabulon
[ -e "$TABULON_BUILD_DIR/libDXODBC64.so" ] || { echo "the ODBC driver was not built (unixodbc-dev)"; exit 1; }
odbcinst -q -d -n MDBTools >/dev/null 2>&1 || { echo "the mdbtools ODBC driver is not installed (odbc-mdbtools)"; exit 1; }
interop_init
cp "$TABULON_SOURCE_DIR/tests/fixtures/access/node_adodb_users.mdb" users.mdb
want='"UserId","UserName","UserSex","UserBirthday","UserMarried"
1,"Nuintun","Male",1/25/1989,1
2,"Angela","Female",12/18/1988,0
3,"张三","男",12/18/1986,1'
DB="odbc:Driver=MDBTools;DBQ=$work/users.mdb"

check "tables without the system tables" "Users" "$("$T" info "$DB")"
check "members of the file" "1" "$("$T" convert users.mdb --member none x.csv 2>&1 | grep -c "its members are: Users$")"
"$T" convert users.mdb --member Users by_path.csv -q || fail=1
check "every column read from the file" "$want" "$(tr -d '\r' < by_path.csv)"
"$T" convert "$DB" --member Users by_dsn.csv -q || fail=1
check "the same through a connection string" "$want" "$(tr -d '\r' < by_dsn.csv)"
check "date-time and whole numbers in the dictionary" "double datetime double" \
  "$("$T" info "$DB" --member Users | awk '$1 ~ /^[0-9]+$/ && $3 != "string" {printf "%s%s", sep, $3; sep=" "}')"

cp users.mdb before.mdb
out=$("$T" convert by_path.csv users.mdb -q -y 2>&1; "$T" convert by_path.csv "$DB" --member copy -q -y 2>&1)
check "writing refused, by path and by connection string" "2 same" \
  "$(echo "$out" | grep -c 'read only') $(cmp -s users.mdb before.mdb && echo same)"

exit $fail
