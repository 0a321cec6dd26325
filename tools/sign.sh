#!/usr/bin/env bash
# Code-signs a packed launcher with osslsigncode (Authenticode, SHA-256), with the settings
# ./build.sh takes; a launcher packed by hand from dist/tq30-stub.exe is signed alike:
#   tools/sign.sh IN.exe OUT.exe
#   dist/selfinst-pack verify OUT.exe --payload DIR   (checks the result)
# The key comes from the environment, either
#   TQ30_SIGN_PKCS12=file.p12  [TQ30_SIGN_PASSWORD=...]
# or a key on a token, reached through the OpenSSL PKCS#11 engine:
#   TQ30_SIGN_PKCS11_MODULE=module.so  TQ30_SIGN_KEY='pkcs11:...'  TQ30_SIGN_PASSWORD=PIN
#   [TQ30_SIGN_CERT=cert.pem] (without it, the certificate on the token at the key's URI)
# or
#   TQ30_SIGN_KEY=key.pem  TQ30_SIGN_CERT=cert.pem (the certificate and any intermediates)
# The password is read from the file TQ30_SIGN_PASSWORD_FILE names when it is set (./build.sh
# writes one only the signer reads), else from TQ30_SIGN_PASSWORD.
# TQ30_SIGN_TIMESTAMP_URL adds a timestamp from that RFC 3161 authority (off by default).
# Without a timestamp the signing time is SOURCE_DATE_EPOCH, else the time of the last
# commit, so signing the same image twice gives the same bytes.
# Without a key, TQ30_SIGN_DETACHED=FILE attaches a published signature (DER PKCS#7, as a
# signed build leaves it beside the launcher) to IN.exe: the result is the released launcher,
# byte for byte, when IN.exe is the image that was signed. Exit code 4 when it is not.
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
# Kept in this shell only: no program started from here gets the password in its environment.
password=${TQ30_SIGN_PASSWORD:-}
export -n TQ30_SIGN_PASSWORD

# The engine osslsigncode loads for a token: the one of the OpenSSL it runs with.
pkcs11_engine() {
  local folder
  folder=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')
  if [ ! -f "$folder/pkcs11.so" ]; then
    echo "tools/sign.sh: the OpenSSL PKCS#11 engine is not installed ($folder/pkcs11.so):" \
      "install Debian's libengine-pkcs11-openssl" >&2
    exit 1
  fi
  echo "$folder/pkcs11.so"
}

if [ -n "${TQ30_SIGN_PKCS12:-}" ]; then
  key=(-pkcs12 "$TQ30_SIGN_PKCS12")
elif [ -n "${TQ30_SIGN_PKCS11_MODULE:-}" ] && [ -n "${TQ30_SIGN_KEY:-}" ]; then
  key=(-pkcs11engine "$(pkcs11_engine)" -pkcs11module "$TQ30_SIGN_PKCS11_MODULE"
    -key "$TQ30_SIGN_KEY")
  if [ -n "${TQ30_SIGN_CERT:-}" ]; then
    key+=(-certs "$TQ30_SIGN_CERT")
  else
    key+=(-pkcs11cert "$TQ30_SIGN_KEY")
  fi
elif [ -n "${TQ30_SIGN_KEY:-}" ] && [ -n "${TQ30_SIGN_CERT:-}" ]; then
  key=(-certs "$TQ30_SIGN_CERT" -key "$TQ30_SIGN_KEY")
elif [ -n "${TQ30_SIGN_DETACHED:-}" ]; then
  # attach-signature also checks the certificate chain, against the system's CAs, and exits
  # 1 when that fails; what matters here is whether the signed digest is this image's.
  rm -f "$out"
  said=$(osslsigncode attach-signature -sigin "$TQ30_SIGN_DETACHED" -in "$in" -out "$out" \
    2>&1 </dev/null || true)
  signed=$(sed -n 's/^Current message digest *: *\([0-9A-F]*\).*/\1/p' <<<"$said" | head -n 1)
  calculated=$(sed -n 's/^Calculated message digest *: *\([0-9A-F]*\).*/\1/p' <<<"$said" | head -n 1)
  if [ ! -f "$out" ] || [ -z "$signed" ] || [ "$signed" != "$calculated" ]; then
    rm -f "$out"
    exit 4
  fi
  exit 0
else
  exit 3
fi
# Else the password reaches osslsigncode through a pipe on descriptor 3, never on a command
# line, which any local user can read in /proc/PID/cmdline; printf is bash's own, not a
# process. Nothing of it is written to disk here, so nothing is left to remove.
if [ -n "${TQ30_SIGN_PASSWORD_FILE:-}" ]; then
  key+=(-readpass "$TQ30_SIGN_PASSWORD_FILE")
elif [ -n "$password" ]; then
  key+=(-readpass /dev/fd/3)
fi

extra=()
if [ -n "${TQ30_SIGN_TIMESTAMP_URL:-}" ]; then
  extra+=(-ts "$TQ30_SIGN_TIMESTAMP_URL")
else
  when=${SOURCE_DATE_EPOCH:-$(git -C "$here" log -1 --format=%ct 2>/dev/null || echo 0)}
  extra+=(-time "$when")
fi

rm -f "$out"
# Nothing is asked on the terminal: a token's PIN comes only as above.
osslsigncode sign "${key[@]}" -h sha256 -n "Varnholt Tonequill TQ-30" "${extra[@]}" \
  -in "$in" -out "$out" >/dev/null </dev/null 3< <(printf '%s' "$password")
