#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing QMX need,
# when they are missing. Safe to run again: it installs nothing that is there.
#
#   cmake, g++, make, pkg-config   the build
#   googletest, libgtest-dev       the unit and end-to-end tests
#   qt6-base-dev                   the operator window (qmx)
#   clang, libclang-rt-14-dev      the fuzz targets (libFuzzer) and LeakSanitizer runtime
#   clang-format                   the formatting check of make test
#   socat                          the benchmark's reference relay
#   procps                         ps/pgrep, used by the demo and the tests
#   netcat-openbsd                 nc, the demo's client
#   man-db, dpkg-dev, systemd      the packaging tests (man, dpkg-shlibdeps, systemd-analyze)
#   lintian                        the packaging tests (the Debian packages have no lintian error)
#   python3-serial                 pyserial's rfc2217:// client, the outside peer of the
#                                  remote-control data line test
#   prometheus                     promtool, which checks the metrics page's format
#   libssl-dev                     OpenSSL 3, for TLS on the lines (src/tls)
#   openssl                        the command the TLS tests make their certificates with
set -euo pipefail

packages=(cmake g++ make pkg-config googletest libgtest-dev qt6-base-dev procps netcat-openbsd man-db dpkg-dev systemd lintian clang libclang-rt-14-dev python3-serial clang-format prometheus libssl-dev openssl)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing missing packages: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
