#!/usr/bin/env bash
# The build's last step for a launcher: attaches the store of the payload folder to the
# linked stub, signs the image when a key is configured (see tools/sign.sh) and verifies it
# against the folder; pack and verify both refuse items whose sizes are not those compiled
# into the stub. Run by the build as
#   pack-launcher.sh PACK STUB PAYLOAD_DIR_FILE OUTPUT
# where PAYLOAD_DIR_FILE holds the folder's path, which never stands on a make command line.
# Nothing is done while OUTPUT is newer than the stub, the packer, the key and every
# payload file, and was made from the same folder with the same signing settings.
set -euo pipefail
pack=$1
stub=$2
payload=$(cat -- "$3")
out=$4
made_from=$out.made-from
sign=$(dirname "$0")/../tools/sign.sh
[ -x "$pack" ] || { echo "pack-launcher.sh: no packer at $pack" >&2; exit 1; }

key_files=()
if [ -n "${TQ30_SIGN_PKCS12:-}" ]; then
  key_files=("$TQ30_SIGN_PKCS12")
elif [ -n "${TQ30_SIGN_KEY:-}" ] && [ -n "${TQ30_SIGN_CERT:-}" ]; then
  key_files=("$TQ30_SIGN_KEY" "$TQ30_SIGN_CERT")
fi
recipe="payload $payload"$'\n'"packer $pack"$'\n'"stub $stub"
if [ ${#key_files[@]} -gt 0 ]; then
  # The signing time is part of the signature (tools/sign.sh takes it the same way).
  when=${TQ30_SIGN_TIMESTAMP_URL:-${SOURCE_DATE_EPOCH:-$(git -C "$(dirname "$0")" log -1 --format=%ct 2>/dev/null || echo 0)}}
  recipe+=$'\n'"signed with ${key_files[*]} at $when"
fi

up_to_date() {
  [ -f "$out" ] && [ -f "$made_from" ] && [ "$(cat "$made_from")" = "$recipe" ] || return 1
  local input
  for input in "$pack" "$stub" "${key_files[@]}"; do
    [ "$input" -nt "$out" ] && return 1
  done
  while read -r name; do
    [ "$payload/$name" -nt "$out" ] && return 1
  done < <("$pack" names)
  return 0
}
up_to_date && exit 0

rm -f "$out" "$made_from"
work=$out.packing
rm -rf "$work"
mkdir "$work"
trap 'rm -rf "$work"' EXIT
image=$work/$(basename "$out")
echo "Packing $(basename "$out") with the payload in $payload"
"$pack" pack --stub "$stub" --payload "$payload" -o "$work/unsigned.exe"
if "$sign" "$work/unsigned.exe" "$image"; then
  echo "Signed $(basename "$out")"
else
  [ $? -eq 3 ] || { echo "pack-launcher.sh: signing $(basename "$out") failed" >&2; exit 1; }
  mv "$work/unsigned.exe" "$image"
fi
"$pack" verify "$image" --payload "$payload"
mv "$image" "$out"
printf '%s' "$recipe" >"$made_from"
