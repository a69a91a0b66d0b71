#!/usr/bin/env bash
# The Debian packages, built by cpack from the build tree: qmxd (the server)
# and, with the window application built, qmx. For each: its name and
# version, exactly its share of an installation under /usr owned by root
# (no file in both), a copyright file and the changelog of this version.
# qmxd: no Qt, neither declared nor found by dpkg-shlibdeps; the unit naming
# /usr/bin/qmxd and its options file whatever prefix the build tree was
# configured with; /etc/default/qmxd as its one conffile, keeping the server
# on loopback addresses; the executable maintainer scripts. qmx: Qt and qmxd
# of the same version in Depends, no maintainer scripts. Last, lintian
# reports no error on either package.
source "$(dirname "$0")/lib.sh"
version=$4

have dpkg-deb || skip "dpkg-deb not found"
have cpack || skip "cpack not found"

if ! cpack -G DEB --config "$build_dir/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  fail "cpack failed"
  finish
fi

arch=$(dpkg --print-architecture)
packages=(qmxd)
[ "$with_ui" = ON ] && packages+=(qmx)
(cd "$work/out" && ls ./*.deb) | sed 's#^\./##' | sort >"$work/debs-got"
for package in "${packages[@]}"; do echo "${package}_${version}_${arch}.deb"; done | sort >"$work/debs-want"
if ! diff -u "$work/debs-want" "$work/debs-got" >&2; then
  fail "cpack did not build exactly the packages ${packages[*]}"
  finish
fi

# The package names in a Depends-like field, one a line.
names_in() { tr ',|' '\n\n' <<<"$1" | awk 'NF { print $1 }'; }

for package in "${packages[@]}"; do
  deb="$work/out/${package}_${version}_${arch}.deb"
  [ "$(dpkg-deb -f "$deb" Package)" = "$package" ] || fail "$package: wrong package name"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$package: version is not $version"

  # Contents: exactly this package's part of the installed layout,
  # directories aside, owned by root.
  dpkg-deb -c "$deb" >"$work/$package.contents"
  awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' "$work/$package.contents" | sort >"$work/$package.got"
  "expected_files_$package" /usr | sort >"$work/$package.want"
  diff -u "$work/$package.want" "$work/$package.got" >&2 || fail "$package: contents differ from the expected layout"
  awk '$2 != "root/root" { print }' "$work/$package.contents" | grep -q . && fail "$package: holds files not owned by root"

  mkdir -p "$work/$package.data" "$work/$package.control"
  dpkg-deb -x "$deb" "$work/$package.data"
  dpkg-deb -e "$deb" "$work/$package.control"

  # Copyright (machine-readable) and changelog (of this version, compressed).
  doc="$work/$package.data/usr/share/doc/$package"
  head -n 1 "$doc/copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "$package: copyright is not in the machine-readable format"
  grep -q '^Copyright: ' "$doc/copyright" && grep -q '^License: ' "$doc/copyright" ||
    fail "$package: copyright lacks a Copyright or License field"
  if ! gzip -dc "$doc/changelog.gz" >"$work/$package.changelog" 2>/dev/null; then
    fail "$package: changelog.gz is not gzip data"
  elif have dpkg-parsechangelog; then
    [ "$(dpkg-parsechangelog -l "$work/$package.changelog" -S Version)" = "$version" ] ||
      fail "$package: the changelog's latest entry is not version $version"
    [ "$(dpkg-parsechangelog -l "$work/$package.changelog" -S Source)" = qmx ] ||
      fail "$package: the changelog is not that of the source qmx"
  fi
done

# No file is in both packages: dpkg would refuse to install the second.
if [ "$with_ui" = ON ]; then
  comm -12 "$work/qmxd.got" "$work/qmx.got" | grep . >&2 && fail "files in both qmxd and qmx"
fi

# --- qmxd -------------------------------------------------------------------
deb="$work/out/qmxd_${version}_${arch}.deb"
data="$work/qmxd.data"
control="$work/qmxd.control"
dpkg-deb -I "$deb" >"$work/qmxd.info"
depends=$(dpkg-deb -f "$deb" Depends)
echo "qmxd Depends: $depends"
for package in adduser libc6 libstdc++6; do
  names_in "$depends" | grep -qxF "$package" || fail "qmxd: Depends lacks $package"
done
grep -i 'qt' "$work/qmxd.info" >&2 && fail "qmxd: the control data names Qt"
# What the executables link, as the dependency generator sees it.
if have dpkg-shlibdeps; then
  mkdir -p "$work/shlibdeps/debian"
  printf 'Source: qmx\n\nPackage: qmxd\nArchitecture: any\n' >"$work/shlibdeps/debian/control"
  if (cd "$work/shlibdeps" && dpkg-shlibdeps -O "$data/usr/bin/qmxd" "$data/usr/bin/qmx-vport") \
    >"$work/shlibdeps.out" 2>"$work/shlibdeps.err"; then
    echo "dpkg-shlibdeps: $(cat "$work/shlibdeps.out")"
    grep -i 'qt' "$work/shlibdeps.out" >&2 && fail "qmxd: dpkg-shlibdeps finds a Qt dependency"
  else
    cat "$work/shlibdeps.err" >&2
    fail "dpkg-shlibdeps failed on qmxd's executables"
  fi
fi

# The service and its options file.
unit="$data/usr/lib/systemd/system/qmxd.service"
grep -qxF 'ExecStart=/usr/bin/qmxd $QMXD_OPTS' "$unit" ||
  fail "qmxd: the packaged unit does not start /usr/bin/qmxd with \$QMXD_OPTS"
grep -qxF 'EnvironmentFile=-/etc/default/qmxd' "$unit" ||
  fail "qmxd: the packaged unit does not read /etc/default/qmxd"
[ "$(cat "$control/conffiles" 2>/dev/null)" = /etc/default/qmxd ] ||
  fail "qmxd: conffiles does not list /etc/default/qmxd alone"
# The options as systemd passes them: the file's QMXD_OPTS split at blanks.
# Every --listen names a loopback address, and there is at least one, so a
# fresh installation serves nothing beyond this host.
defaults="$data/etc/default/qmxd"
if opts=$(env -i sh -c '. "$1" && printf "%s" "$QMXD_OPTS"' sh "$defaults" 2>&1); then
  echo "QMXD_OPTS: $opts"
  read -ra words <<<"$opts"
  listens=0
  for ((i = 0; i < ${#words[@]}; i++)); do
    case "${words[i]}" in
      --listen)
        i=$((i + 1))
        case "${words[i]:-}" in
          127.*|::1) listens=$((listens + 1)) ;;
          *) fail "qmxd: the packaged options listen on '${words[i]:-}', not a loopback address" ;;
        esac ;;
      --listen=*) fail "qmxd: the packaged options use '${words[i]}'; write '--listen ADDR'" ;;
    esac
  done
  [ "$listens" -gt 0 ] || fail "qmxd: the packaged options have no --listen, so qmxd would listen on every address"
else
  fail "qmxd: /etc/default/qmxd does not read as a shell file: $opts"
fi
for script in postinst prerm postrm; do
  [ -x "$control/$script" ] || fail "qmxd: maintainer script $script missing or not executable"
done
cmp -s "$data/usr/share/qmx/qmx.txt" "$source_dir/packaging/qmx.txt" ||
  fail "qmxd: the packaged example qmx.txt differs from packaging/qmx.txt"

# --- qmx --------------------------------------------------------------------
if [ "$with_ui" = ON ]; then
  deb="$work/out/qmx_${version}_${arch}.deb"
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "qmx Depends: $depends"
  for package in libqt6widgets6 libqt6gui6 libqt6core6 libc6; do
    names_in "$depends" | grep -qxF "$package" || fail "qmx: Depends lacks $package"
  done
  tr ',' '\n' <<<"$depends" | sed 's/^ *//' | grep -qxF "qmxd (= $version)" ||
    fail "qmx: Depends lacks qmxd (= $version)"
  for script in preinst postinst prerm postrm conffiles; do
    [ -e "$work/qmx.control/$script" ] && fail "qmx: has $script; the service belongs to qmxd"
  done
fi

# --- lintian ----------------------------------------------------------------
if have lintian; then
  debs=()
  for package in "${packages[@]}"; do debs+=("$work/out/${package}_${version}_${arch}.deb"); done
  # Exit status 2: a tag at the level of --fail-on; 1: lintian itself failed.
  lintian --no-cfg --fail-on error "${debs[@]}" >"$work/lintian.out" 2>&1
  status=$?
  grep -v 'running with root privileges' "$work/lintian.out"
  case $status in
    0) ;;
    2) fail "lintian reports errors: $(grep '^E: ' "$work/lintian.out" | tr '\n' ' ')" ;;
    *) fail "lintian failed to run (exit status $status)" ;;
  esac
else
  echo "SKIP: lintian not installed (scripts/install-deps.sh installs it): lintian check not run"
fi

finish
