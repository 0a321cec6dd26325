#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and this
# machine lacks. Quiet and quick when everything is there.
set -euo pipefail
packages=(cmake g++ make python3 libgtest-dev clang libclang-rt-14-dev
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 xvfb xauth osslsigncode openssl mmdebstrap time
          qemu-system-x86 e2fsprogs nlohmann-json3-dev libssl-dev python3-mypy flake8
          man-db groff-base libengine-pkcs11-openssl softhsm2 opensc strace)
# One query for all of them: every build runs this, and a query per package costs seconds.
installed=$(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null || true)
missing=()
for package in "${packages[@]}"; do
  grep -qxF "$package install ok installed" <<<"$installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo_if_needed=()
[ "$(id -u)" -ne 0 ] && sudo_if_needed=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_if_needed[@]}" apt-get update -qq
"${sudo_if_needed[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
