#!/usr/bin/env bash
# cmake --install into a DESTDIR: every file in its place under /usr and under
# another prefix, nothing written outside DESTDIR, the unit naming the qmxd and
# the options file of that prefix and passing systemd-analyze verify, the
# desktop entry naming the installed program and icon. Installed without
# DESTDIR, an options file the administrator already has is kept.
source "$(dirname "$0")/lib.sh"

install_into() {  # DESTDIR PREFIX
  if ! DESTDIR=$1 cmake --install "$build_dir" --prefix "$2" >"$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    fail "cmake --install --prefix $2 failed"
    return 1
  fi
}

check_layout() {  # DESTDIR PREFIX
  local dest=$1 prefix=$2
  expected_files "$prefix" | sort >"$work/want"
  (cd "$dest" && find . -type f -o -type l) | sed 's#^\.##' | sort >"$work/got"
  diff -u "$work/want" "$work/got" >&2 || fail "installed files under $prefix differ from the expected layout"
  for program in $(grep "^$prefix/bin/" "$work/want"); do
    [ -x "$dest$program" ] || fail "$program is not executable"
  done
  local unit="$dest$prefix/lib/systemd/system/qmxd.service"
  grep -qxF "ExecStart=$prefix/bin/qmxd \$QMXD_OPTS" "$unit" ||
    fail "the unit under $prefix does not start $prefix/bin/qmxd with \$QMXD_OPTS"
  # A reload checks the file with the installed qmxd before it signals.
  [ "$(grep '^ExecReload=' "$unit")" = "ExecReload=$prefix/bin/qmxd --check
ExecReload=/bin/kill -HUP \$MAINPID" ] ||
    fail "the unit under $prefix does not reload with $prefix/bin/qmxd --check, then SIGHUP"
  grep -qxF "EnvironmentFile=-$(sysconf_dir "$prefix")/default/qmxd" "$unit" ||
    fail "the unit under $prefix does not read $(sysconf_dir "$prefix")/default/qmxd"
}

check_unit() {  # DESTDIR PREFIX
  local dest=$1 prefix=$2
  local unit="$dest$prefix/lib/systemd/system/qmxd.service"
  # What the service promises: its own user with access to serial devices,
  # its working directory, the network up first, restart on failure, SIGTERM.
  for line in User=qmx WorkingDirectory=/var/lib/qmx StateDirectory=qmx \
    After=network-online.target Wants=network-online.target \
    Restart=on-failure KillSignal=SIGTERM WantedBy=multi-user.target; do
    grep -qx "$line" "$unit" || fail "unit lacks $line"
  done
  grep -Eq '^(Group|SupplementaryGroups)=(.* )?dialout( .*)?$' "$unit" || fail "unit does not give the group dialout"
  grep -Eq '^(PrivateDevices=(yes|true|1)|DevicePolicy=closed)' "$unit" && fail "unit hides the serial devices"

  if ! have systemd-analyze; then
    echo "systemd-analyze not found: unit verification skipped"
    return
  fi
  # Verify a copy whose commands and EnvironmentFile name the installed files
  # and whose manuals are looked up in the installation, so all must exist.
  mkdir -p "$work/verify"
  sed -e "s#^\(Exec[A-Za-z]*=\)$prefix/bin/qmxd#\1$dest$prefix/bin/qmxd#" \
    -e "s#^EnvironmentFile=-/#EnvironmentFile=$dest/#" "$unit" >"$work/verify/qmxd.service"
  if ! MANPATH="$dest$prefix/share/man" systemd-analyze verify "$work/verify/qmxd.service" >"$work/verify.log" 2>&1; then
    cat "$work/verify.log" >&2
    fail "systemd-analyze verify rejects the unit"
  fi
}

check_desktop_entry() {  # DESTDIR PREFIX
  local dest=$1 prefix=$2
  local entry="$dest$prefix/share/applications/qmx.desktop"
  local program icon
  program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
  icon=$(sed -n 's/^Icon=//p' "$entry")
  [ -x "$dest$prefix/bin/$program" ] || fail "desktop entry runs '$program', which is not installed"
  [ -f "$dest$prefix/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "desktop entry icon '$icon' is not installed"
  if have desktop-file-validate; then
    desktop-file-validate "$entry" >&2 || fail "desktop-file-validate rejects qmx.desktop"
  fi
}

for prefix in /usr /opt/qmx; do
  dest="$work/dest$prefix"
  install_into "$dest" "$prefix" || continue
  check_layout "$dest" "$prefix"
  [ "$prefix" = /usr ] && check_unit "$dest" "$prefix"
  [ "$with_ui" = ON ] && check_desktop_entry "$dest" "$prefix"
done

# Installed straight into a prefix (no DESTDIR), the administrator's options
# file stays as it is, and the rest is installed.
live="$work/live"
mkdir -p "$live/etc/default"
echo 'QMXD_OPTS="--listen 192.0.2.7"' >"$live/etc/default/qmxd"
if install_into "" "$live"; then
  [ "$(cat "$live/etc/default/qmxd")" = 'QMXD_OPTS="--listen 192.0.2.7"' ] ||
    fail "an install without DESTDIR overwrote the existing options file"
  [ -f "$live/lib/systemd/system/qmxd.service" ] || fail "an install without DESTDIR installed no unit"
fi

# A prefix inside the work folder shows anything written past DESTDIR.
install_into "$work/dest-inside" "$work/prefix" && [ -e "$work/prefix" ] &&
  fail "an install with DESTDIR wrote files into the prefix itself"

finish
