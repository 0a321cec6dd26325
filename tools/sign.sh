#!/usr/bin/env bash
# Code-signs a packed launcher with osslsigncode (Authenticode, SHA-256), with the settings
# ./build.sh takes; a launcher packed by hand from dist/tq30-stub.exe is signed alike:
#   tools/sign.sh IN.exe OUT.exe
#   dist/selfinst-pack verify OUT.exe --payload DIR   (checks the result)
# The key comes from the environment, either
#   TQ30_SIGN_PKCS12=file.p12  [TQ30_SIGN_PASSWORD=...]
# or
#   TQ30_SIGN_KEY=key.pem  TQ30_SIGN_CERT=cert.pem (the certificate and any intermediates)
# TQ30_SIGN_TIMESTAMP_URL adds a timestamp from that server (it needs the network; off by
# default). Without a timestamp the signing time is SOURCE_DATE_EPOCH, else the time of the
# last commit, so signing the same image twice gives the same bytes.
# Exit code 3 when no key is configured.
set -euo pipefail
[ $# -eq 2 ] || {
  echo "usage: tools/sign.sh IN.exe OUT.exe   (IN.exe: a launcher selfinst-pack pack made;" \
    "the key from TQ30_SIGN_PKCS12, or TQ30_SIGN_KEY and TQ30_SIGN_CERT)" >&2
  exit 2
}
in=$1
out=$2
here=$(cd "$(dirname "$0")/.." && pwd)

if [ -n "${TQ30_SIGN_PKCS12:-}" ]; then
  key=(-pkcs12 "$TQ30_SIGN_PKCS12")
elif [ -n "${TQ30_SIGN_KEY:-}" ] && [ -n "${TQ30_SIGN_CERT:-}" ]; then
  key=(-certs "$TQ30_SIGN_CERT" -key "$TQ30_SIGN_KEY")
else
  exit 3
fi
# The password reaches osslsigncode through a pipe on descriptor 3, never on a command line,
# which any local user can read in /proc/PID/cmdline; printf is bash's own, not a process.
# Nothing of it is written to disk, so nothing is left to remove.
[ -n "${TQ30_SIGN_PASSWORD:-}" ] && key+=(-readpass /dev/fd/3)

extra=()
if [ -n "${TQ30_SIGN_TIMESTAMP_URL:-}" ]; then
  extra+=(-ts "$TQ30_SIGN_TIMESTAMP_URL")
else
  when=${SOURCE_DATE_EPOCH:-$(git -C "$here" log -1 --format=%ct 2>/dev/null || echo 0)}
  extra+=(-time "$when")
fi

rm -f "$out"
osslsigncode sign "${key[@]}" -h sha256 -n "Varnholt Tonequill TQ-30" "${extra[@]}" \
  -in "$in" -out "$out" >/dev/null 3< <(printf '%s' "${TQ30_SIGN_PASSWORD:-}")
