# Shared set-up of the interoperability scripts: source it, then call interop_init with the
# peers the script needs. It leaves the script in a fresh scratch folder that goes away on exit,
# with $LIB naming the folder of libtabulon.so and $fail set to 0.
: "${TABULON_SOURCE_DIR:?}" "${TABULON_BUILD_DIR:?}"
LIB=${TABULON_BIN:-$TABULON_BUILD_DIR}
fail=0

interop_init() {  # peer...
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed"; exit 1; }
  done
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  cd "$work" || exit 1
}

# Prints "ok" or "FAIL" for a comparison, with the difference.
check() {  # name expected actual
  if [ "$2" != "$3" ]; then
    echo "FAIL $1"; diff <(echo "$2") <(echo "$3") | sed 's/^/  /'; fail=1
  else echo "ok   $1"; fi
}

# Builds ./host: one transfer through the C API (see transfer_host.c).
build_transfer_host() {
  cc -o host "$TABULON_SOURCE_DIR/tests/interop/support/transfer_host.c" -I"$TABULON_SOURCE_DIR/include" \
    -L"$LIB" -ltabulon -Wl,-rpath,"$LIB" || { echo "FAIL cannot build the host"; exit 1; }
}
