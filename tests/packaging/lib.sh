# Helpers shared by the packaging tests (sourced, not run).
#
# Each test script gets the build directory, the source directory and whether
# the window application is built (ON/OFF), makes its own temporary folder
# (removed on exit), and reports every failed check before it exits 1.
# Exit 77 means skipped (CTest SKIP_RETURN_CODE).
set -uo pipefail

build_dir=$1
source_dir=$2
with_ui=$3

failures=0
work=$(mktemp -d "${TMPDIR:-/tmp}/qmx-packaging.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

skip() {
  echo "SKIP: $*"
  exit 77
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
  exit 0
}

have() { command -v "$1" >/dev/null 2>&1; }

# Where an installation under PREFIX keeps its configuration: /etc for /usr,
# /etc/opt/X for /opt/X, PREFIX/etc for any other prefix.
sysconf_dir() {
  case "$1" in
    /usr) echo /etc ;;
    /opt/*) echo "/etc$1" ;;
    *) echo "$1/etc" ;;
  esac
}

# The files of the package qmxd, installed under PREFIX (relative to /), one
# a line.
expected_files_qmxd() {
  local prefix=$1
  printf '%s\n' \
    "$(sysconf_dir "$prefix")/default/qmxd" \
    "$prefix/bin/qmxd" \
    "$prefix/bin/qmx-vport" \
    "$prefix/lib/systemd/system/qmxd.service" \
    "$prefix/share/doc/qmxd/changelog.gz" \
    "$prefix/share/doc/qmxd/copyright" \
    "$prefix/share/man/man1/qmx-vport.1.gz" \
    "$prefix/share/man/man5/qmx.txt.5.gz" \
    "$prefix/share/man/man7/qmx-protocol.7.gz" \
    "$prefix/share/man/man8/qmxd.8.gz" \
    "$prefix/share/qmx/qmx.txt"
}

# The files of the package qmx (the window application), likewise.
expected_files_qmx() {
  local prefix=$1
  printf '%s\n' \
    "$prefix/bin/qmx" \
    "$prefix/share/applications/qmx.desktop" \
    "$prefix/share/doc/qmx/changelog.gz" \
    "$prefix/share/doc/qmx/copyright" \
    "$prefix/share/icons/hicolor/scalable/apps/qmx.svg" \
    "$prefix/share/man/man1/qmx.1.gz"
}

# The files an installation under PREFIX must hold: both packages' when the
# window application is built, else qmxd's.
expected_files() {
  expected_files_qmxd "$1"
  [ "$with_ui" = ON ] && expected_files_qmx "$1"
  return 0
}
