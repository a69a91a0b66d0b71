#!/usr/bin/env bash
# The Debian package, built by cpack from the build tree: its name and version,
# the dependencies it declares, the same files as an installation under /usr
# owned by root, a unit naming /usr/bin/qmxd whatever prefix the build tree was
# configured with, and executable maintainer scripts.
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
deb="$work/out/qmx_${version}_${arch}.deb"
if [ ! -f "$deb" ]; then
  ls "$work/out" >&2
  fail "no package named qmx_${version}_${arch}.deb"
  finish
fi

# Control fields.
[ "$(dpkg-deb -f "$deb" Package)" = qmx ] || fail "package name is not qmx"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
wanted="adduser libc6 libstdc++6"
[ "$with_ui" = ON ] && wanted="$wanted libqt6widgets6 libqt6gui6 libqt6core6"
for package in $wanted; do
  tr ',|' '\n\n' <<<"$depends" | awk '{ print $1 }' | grep -qxF "$package" || fail "Depends lacks $package"
done

# Contents: exactly the installed layout, directories aside, owned by root.
dpkg-deb -c "$deb" >"$work/contents"
awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' "$work/contents" | sort >"$work/got"
expected_files /usr | sort >"$work/want"
diff -u "$work/want" "$work/got" >&2 || fail "package contents differ from the expected layout"
awk '$2 != "root/root" { print }' "$work/contents" | grep -q . && fail "package holds files not owned by root"

mkdir -p "$work/data" "$work/control"
dpkg-deb -x "$deb" "$work/data"
dpkg-deb -e "$deb" "$work/control"
grep -qx "ExecStart=/usr/bin/qmxd" "$work/data/usr/lib/systemd/system/qmxd.service" ||
  fail "the packaged unit does not start /usr/bin/qmxd"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "maintainer script $script missing or not executable"
done
cmp -s "$work/data/usr/share/qmx/qmx.txt" "$source_dir/packaging/qmx.txt" ||
  fail "the packaged example qmx.txt differs from packaging/qmx.txt"

finish
