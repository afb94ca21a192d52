# Installs the Debian packages Tabulon needs when they are missing.
# install_deps build   - what building needs
# install_deps test    - building plus the tests' peers
BUILD_PKGS="cmake g++ make pkg-config libgtest-dev nlohmann-json3-dev zlib1g-dev libminizip-dev libxml2-dev libxml2 unixodbc-dev libsqlite3-dev libxlsxwriter-dev"
TEST_PKGS="python3 python3-olefile python3-xlwt python3-xlrd python3-openpyxl python3-pandas readstat pspp unzip zip r-cran-haven r-cran-jsonlite gnumeric libsqliteodbc odbc-mdbtools sqlite3 odbc-postgresql postgresql bc faketime"

install_deps() {
  local want="$BUILD_PKGS"
  [ "${1:-build}" = test ] && want="$want $TEST_PKGS"
  local missing=()
  for p in $want; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}" >&2
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}
