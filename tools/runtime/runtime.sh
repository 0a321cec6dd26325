#!/usr/bin/env bash
# The PE32 runtime: a Debian 13 root, built once per recipe (tools/runtime/recipe.sh) with
# mmdebstrap and kept outside the checkout, in which Wine runs the 32-bit launcher.
#   runtime.sh ensure          builds it unless it is there; prints its folder
#   runtime.sh run CMD [ARG..]  runs CMD in it, in the current folder, and ends every
#                              process CMD started when CMD ends
# The checkout, and the current folder, are visible at the same paths inside. TQ30_RUNTIME_CACHE (default
# /var/cache/tq30-runtime) holds one folder per recipe.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
cache=${TQ30_RUNTIME_CACHE:-/var/cache/tq30-runtime}
recipe=$here/recipe.sh
# shellcheck source=recipe.sh
. "$recipe"
runtime=$cache/$(sha256sum "$recipe" | cut -c1-16)

fail() {
  echo "runtime.sh: $*" >&2
  exit 1
}

# Built into a scratch folder and renamed into place, so an interrupted build is never
# taken for a ready one; a lock keeps two runs from building it at once.
ensure() {
  [ -f "$runtime/.ready" ] && return 0
  [ "$(id -u)" -eq 0 ] || fail "building the PE32 runtime needs root (mmdebstrap, chroot)"
  command -v mmdebstrap >/dev/null || fail "mmdebstrap is missing: run tools/install-deps.sh"
  mkdir -p "$cache"
  exec 9>"$cache/.lock"
  flock 9
  [ -f "$runtime/.ready" ] && return 0
  rm -rf "$cache"/*.partial
  local partial=$runtime.partial
  echo "== building the PE32 runtime in $runtime (once per recipe, 1 to 3 minutes)" >&2
  if ! mmdebstrap --quiet --mode=root --variant=apt --architectures="$RUNTIME_ARCHITECTURES" \
    --include="$RUNTIME_PACKAGES" "$RUNTIME_SUITE" "$partial" >&2; then
    rm -rf "$partial"
    fail "mmdebstrap could not build the PE32 runtime from Debian's archive"
  fi
  runtime_finish "$partial"
  touch "$partial/.ready"
  mv "$partial" "$runtime"
}

# Private mount, network and process namespaces: the mounts vanish with the command, its
# background processes (Xvfb, wineserver) end with it, and an X display inside cannot
# collide with one of the host's abstract sockets.
run() {
  [ $# -gt 0 ] || fail "run needs a command"
  [ -f "$runtime/.ready" ] || fail "no PE32 runtime at $runtime: run ./test.sh or '$0 ensure'"
  [ "$(id -u)" -eq 0 ] || fail "running in the PE32 runtime needs root (namespaces, chroot)"
  exec unshare --mount --net --pid --fork --propagation private --mount-proc="$runtime/proc" \
    -- /bin/sh -euc '
      runtime=$1 root=$2 work=$3
      shift 3
      mount --rbind /dev "$runtime/dev"
      mount -t tmpfs tmpfs "$runtime/tmp"
      # Made after the tmpfs, so that a checkout under /tmp has its place on it.
      mkdir -p "$runtime$root"
      mount --bind "$root" "$runtime$root"
      case $work in "$root"|"$root"/*) ;; *) mkdir -p "$runtime$work"; mount --bind "$work" "$runtime$work" ;; esac
      exec chroot "$runtime" /usr/bin/env -C "$work" "$@"' \
    sh "$runtime" "$root" "$(pwd)" "$@"
}

case ${1:-} in
ensure) ensure && echo "$runtime" ;;
run) shift && run "$@" ;;
*) fail "usage: runtime.sh ensure | run CMD [ARG...]" ;;
esac
