#!/bin/bash
# The compound-file copy command (numbered option 200) through the public C API,
# checked against python3-xlwt (makes the workbook) and python3-olefile (reads both ways).
set -u
PY=/usr/bin/python3
if ! $PY -c 'import olefile, xlwt' 2>/dev/null; then echo "SKIP: python3-olefile/xlwt missing"; exit 0; fi
: "${TABULON_SOURCE_DIR:?}" "${TABULON_BIN:?}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
check() { # name expected actual
  if [ "$2" != "$3" ]; then echo "FAIL $1"; echo "  expected: $2"; echo "  actual:   $3"; fail=1; else echo "ok   $1"; fi
}

# A tiny host: opens an environment and hands argv[1] to DX_SetOption(200).
cat > "$work/copy200.c" <<'C'
#include <stdio.h>
#include "tabulon/tabulon.h"
int main(int argc, char** argv) {
  int env = DX_OpenEnvironment();
  if (env < 0 || argc < 2) return 2;
  int r = DX_SetOption(env, 200, 0, argv[1]);
  fflush(stdout);
  DX_CloseEnvironment(env);
  printf("rc=%d\n", r);
  return 0;
}
C
cc -o "$work/copy200" "$work/copy200.c" -I"$TABULON_SOURCE_DIR/include" -L"$TABULON_BIN" -ltabulon \
   -Wl,-rpath,"$TABULON_BIN" || { echo "FAIL cannot build the host program"; exit 1; }
run() { (cd "$work" && ./copy200 "$1"); }

# xlwt writes a workbook; "<" without a stream name copies its "Workbook" stream.
$PY - "$work/book.xls" <<'P'
import sys, xlwt
wb = xlwt.Workbook(); ws = wb.add_sheet("S")
for r in range(300):
    ws.write(r, 0, r); ws.write(r, 1, "text %d" % r)
wb.save(sys.argv[1])
P
out=$(run "<book.xls;wb.bin")
check "copy out of an xlwt workbook" "Stream Workbook successfuly copied from book.xls to wb.bin
rc=0" "$out"
same=$($PY -c 'import olefile,sys; print(olefile.OleFileIO(sys.argv[1]).openstream("Workbook").read() == open(sys.argv[2],"rb").read())' "$work/book.xls" "$work/wb.bin")
check "Workbook bytes equal olefile's" "True" "$same"

# ">" creates a compound file that olefile reads back, below and above the mini-stream cutoff.
for size in 100 4096 50000; do
  head -c $size /dev/urandom > "$work/p$size.bin"
  out=$(run ">p$size.bin;c$size.cfb;Payload")
  check "copy $size bytes into a new compound file" "file p$size.bin successfully copied to stream Payload in file c$size.cfb
rc=0" "$out"
  same=$($PY -c 'import olefile,sys; o=olefile.OleFileIO(sys.argv[1]); print(o.listdir()==[["Payload"]] and o.openstream("Payload").read()==open(sys.argv[2],"rb").read())' "$work/c$size.cfb" "$work/p$size.bin")
  check "olefile reads the $size-byte stream" "True" "$same"
done

check "missing fields" "invalid parameters
rc=-1" "$(run "<book.xls")"
check "missing direction" "directional sign required
rc=-1" "$(run "book.xls;x.bin")"
check "missing stream" "cannot open file book.xls, stream Nope
rc=-1" "$(run "<book.xls;x.bin;Nope")"
exit $fail
