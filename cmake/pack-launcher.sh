#!/usr/bin/env bash
# The launcher's last two steps, run by the Windows build's graph for the demo launcher
# (cmake/windows.cmake) and by ./build.sh for any payload:
#   pack-launcher.sh pack PACK STUB PAYLOAD_DIR OUT
#     attaches the store of the payload folder to the stub, with the files' sizes in its
#     table
#   pack-launcher.sh sign PACK IMAGE PAYLOAD_DIR SIGNING_FILE OUT
#     signs IMAGE when a key is configured, or attaches the published signature
#     TQ30_SIGN_DETACHED names (see tools/sign.sh), verifies the result against the folder
#     and only then puts it in place as OUT, a signed one's signature apart as OUT.p7s
# SIGNING_FILE holds the signing settings the launcher is signed with (NAME=VALUE lines),
# so that none of them stands on a command line. Each step says what it did in one line
# that starts with the launcher's name.
set -euo pipefail
unset CDPATH  # cd must not print, nor find a folder of the same name elsewhere
step=$1
pack=$2
[ -x "$pack" ] || { echo "pack-launcher.sh: no packer at $pack" >&2; exit 1; }
payload=$4
payload=$(cd -- "$payload" 2>/dev/null && pwd -P || printf '%s' "$payload")

if [ "$step" = pack ]; then
  [ $# -eq 5 ] || { echo "pack-launcher.sh: pack takes 4 arguments" >&2; exit 2; }
  name=$(basename "$5" .unsigned.exe).exe
  "$pack" pack --stub "$3" --payload "$payload" -o "$5"
  echo "$name: packed with the payload in $payload"
  exit 0
fi
if [ "$step" != sign ] || [ $# -ne 6 ]; then
  echo "pack-launcher.sh: pack or sign" >&2
  exit 2
fi
image=$3
out=$6
name=$(basename "$out")
# The settings as configured, not as this shell's environment has them; the password alone
# comes from the environment, since it is never written to disk. A value is the whole rest
# of its line after the first `=`, trailing `=` included.
settings=(SOURCE_DATE_EPOCH)
while read -r setting _; do
  case $setting in TQ30_*) settings+=("$setting") ;; esac
done <"$(dirname "$0")/signing-settings.txt"
unset "${settings[@]}"
while IFS= read -r line; do
  setting=${line%%=*}
  value=${line#*=}
  if [ "$setting" = "$line" ] || [ -z "$value" ]; then
    continue
  fi
  for known in "${settings[@]}"; do
    [ "$setting" != "$known" ] || export "$setting=$value"
  done
done <"$5"

work=$out.signing
rm -rf "$work"
mkdir "$work"
trap 'rm -rf "$work"' EXIT
code=0
rm -f "$out.p7s"
"$(dirname "$0")/../tools/sign.sh" "$image" "$work/$name" || code=$?
if [ $code -eq 0 ] && [ -n "${TQ30_SIGN_DETACHED:-}" ]; then
  echo "$name: signed: the published signature attached"
elif [ $code -eq 0 ]; then
  echo "$name: signed"
elif [ $code -eq 4 ]; then
  # Exit code 4: the last line said is the whole message (./build.sh shows it alone).
  echo "$name, as rebuilt here, is not the image its published signature signed (other" \
    "sources or another payload?); dist/ is left as it was" >&2
  exit 4
elif [ $code -eq 3 ]; then
  # Unsigned, the packed image is the launcher: a second name for it costs no copy, and a
  # later pack writes a new file rather than into this one.
  ln "$image" "$work/$name" 2>/dev/null || cp "$image" "$work/$name"
  echo "$name: not signed (no signing key configured)"
else
  echo "pack-launcher.sh: signing $name failed" >&2
  exit 1
fi
"$pack" verify "$work/$name" --payload "$payload"
echo "$name: verified against the payload"
# The signature apart from the launcher, as DER PKCS#7 (extract-signature's form unless
# asked for PEM): with it and the sources, anyone without the key rebuilds this launcher.
if [ $code -eq 0 ]; then
  osslsigncode extract-signature -in "$work/$name" -out "$work/$name.p7s" >/dev/null
  mv -f "$work/$name.p7s" "$out.p7s"
fi
if [ "$work/$name" -ef "$out" ]; then
  # Unsigned before and after: the launcher is that image already; only its time tells the
  # build that this step has run.
  touch "$out"
else
  mv -f "$work/$name" "$out"
fi
