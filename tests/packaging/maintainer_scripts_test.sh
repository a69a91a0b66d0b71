#!/usr/bin/env bash
# The package's maintainer scripts, run by /bin/sh as dpkg runs them, under
# DPKG_ROOT (a temporary root) with the system tools they call replaced by
# stubs that record their arguments: a first installation creates the user,
# puts it in dialout, makes the working directory with the example qmx.txt
# and enables the unit; an upgrade keeps the admin's qmx.txt; purge removes
# the working directory. Nothing touches the real system.
source "$(dirname "$0")/lib.sh"

scripts="$source_dir/packaging/debian"
root="$work/root"
stubs="$work/stubs"
calls="$work/calls"
mkdir -p "$root/usr/share/qmx" "$stubs"
cp "$source_dir/packaging/qmx.txt" "$root/usr/share/qmx/qmx.txt"

# Stubs. The user database is two marker files: user-qmx, and dialout-qmx for
# the membership.
stub() {  # NAME BODY
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n%s\n' "$1" "$calls" "$2" >"$stubs/$1"
  chmod +x "$stubs/$1"
}
stub getent "[ \"\$1 \$2\" = 'passwd qmx' ] && [ -e '$work/user-qmx' ] && echo 'qmx:x:999:999::/var/lib/qmx:/usr/sbin/nologin' && exit 0; exit 2"
stub adduser "case \"\$*\" in *--system*) touch '$work/user-qmx';; 'qmx dialout') touch '$work/dialout-qmx';; esac"
stub id "[ -e '$work/dialout-qmx' ] && echo 'qmx dialout' || echo qmx"
stub chown ""
stub deb-systemd-helper "exit 0"
stub deb-systemd-invoke ""
stub systemctl ""

run() {  # SCRIPT ARGS...
  : >"$calls"
  if ! PATH="$stubs:$PATH" DPKG_ROOT="$root" sh "$scripts/$1" "${@:2}" >"$work/out" 2>&1; then
    cat "$work/out" >&2
    fail "$* exited with an error"
  fi
}

called() { grep -qxF "$1" "$calls"; }

statedir="$root/var/lib/qmx"

# First installation.
run postinst configure
called "adduser --system --group --home /var/lib/qmx --no-create-home --gecos QMX serial-port server qmx" ||
  fail "first install did not create the system user qmx"
called "adduser qmx dialout" || fail "first install did not put qmx in dialout"
[ -d "$statedir" ] || fail "first install did not make /var/lib/qmx"
[ "$(stat -c %a "$statedir")" = 750 ] || fail "/var/lib/qmx is not mode 750"
called "chown qmx:qmx $statedir" || fail "/var/lib/qmx is not given to qmx"
cmp -s "$statedir/qmx.txt" "$root/usr/share/qmx/qmx.txt" || fail "first install did not copy the example qmx.txt"
called "chown qmx:qmx $statedir/qmx.txt" || fail "qmx.txt is not given to qmx, so qmxd could not save it"
called "deb-systemd-helper enable qmxd.service" || fail "first install did not enable qmxd.service"
grep -q '^systemctl\|^deb-systemd-invoke' "$calls" && fail "systemd was driven although DPKG_ROOT is set"

# Upgrade: the user exists, the admin's settings stay as they are.
printf 'my settings\r\n8001\t\r\n' >"$statedir/qmx.txt"
run postinst configure 2.0.0
grep -q '^adduser' "$calls" && fail "upgrade touched the user again"
[ "$(cat "$statedir/qmx.txt")" = "$(printf 'my settings\r\n8001\t\r\n')" ] || fail "upgrade overwrote the admin's qmx.txt"
rm "$statedir/qmx.txt"
ln -s /etc/qmx/qmx.txt "$statedir/qmx.txt"
run postinst configure 2.0.0
[ -L "$statedir/qmx.txt" ] || fail "upgrade replaced the admin's qmx.txt link"

# Removal keeps the settings and masks the unit; purge removes them.
run prerm remove
run postrm remove
called "deb-systemd-helper mask qmxd.service" || fail "remove did not mask qmxd.service"
[ -d "$statedir" ] || fail "remove deleted /var/lib/qmx"
run postrm purge
called "deb-systemd-helper purge qmxd.service" || fail "purge did not purge the unit's state"
[ -e "$statedir" ] && fail "purge left /var/lib/qmx"

if have shellcheck; then
  shellcheck -s sh "$scripts/postinst" "$scripts/prerm" "$scripts/postrm" >&2 || fail "shellcheck finds faults"
fi

finish
