#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, when any is missing.
# Needs root for apt-get; as another user it only says what is missing.
set -euo pipefail

packages=(cmake ninja-build g++ make libgtest-dev libgmock-dev libbenchmark-dev
          libasio-dev nlohmann-json3-dev libcli11-dev python3 perl libnet-snpp-perl hylafax-client clang libclang-rt-14-dev
          help2man pkg-config dpkg-dev binutils libssl-dev openssl stunnel4
          libsqlite3-dev libsqlitecpp-dev librestinio-dev libfmt-dev libhttp-parser-dev
          libtomlplusplus-dev libkainjow-mustache-dev prometheus-alertmanager wrk
          postgresql libpq-dev prometheus chromium libcurl4-openssl-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "deps: missing Debian packages: ${missing[*]}" >&2
  echo "deps: run this again as root, or: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
