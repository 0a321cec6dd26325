#!/usr/bin/env bash
# Installs, from Debian's packages, what a job needs and this machine lacks. Quiet and quick
# when everything is there.
#   tools/install-deps.sh build   what ./build.sh needs: the compilers, CMake, OpenSSL and
#                                 osslsigncode; a release host needs no more
#   tools/install-deps.sh test    that and what the tests and benchmarks run with: Wine, Xvfb,
#                                 the emulated machine's tools, the clang tools, the checkers
set -euo pipefail
build=(cmake g++ make python3 nlohmann-json3-dev libssl-dev
       g++-mingw-w64-i686 g++-mingw-w64-x86-64 osslsigncode openssl
       libengine-pkcs11-openssl)
test=(libgtest-dev clang libclang-rt-14-dev wine64 xvfb xauth mmdebstrap time
      qemu-system-x86 e2fsprogs python3-mypy flake8
      man-db groff-base softhsm2 opensc strace)
case ${1:-} in
build) packages=("${build[@]}") ;;
test) packages=("${build[@]}" "${test[@]}") ;;
*)
  echo "usage: tools/install-deps.sh build|test" >&2
  exit 2
  ;;
esac
[ $# -eq 1 ] || { echo "usage: tools/install-deps.sh build|test" >&2; exit 2; }
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
