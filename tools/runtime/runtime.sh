#!/usr/bin/env bash
# The PE32 runtime: a Debian 13 root, built once per recipe (tools/runtime/recipe.sh) with
# mmdebstrap and kept outside the checkout, in which Wine runs the 32-bit launcher. One of
# two engines runs it, chosen by a probe of the host:
#   native    the root in private namespaces (chroot), where the host runs 32-bit code in a
#             64-bit process, as Wine's WoW64 mode needs;
#   emulated  the same root booted as a machine of its own under qemu-system-x86_64 (TCG),
#             where the host cannot (tools/runtime/emulated.py).
# TQ30_RUNTIME_ENGINE=native or =emulated forces one.
#   runtime.sh engine          prints which engine runs the PE32, and why, in one line
#   runtime.sh ensure          builds what that engine needs unless it is there; prints the
#                              engine's folder (the root, or the machine)
#   runtime.sh run CMD [ARG..]  runs CMD in it, in the current folder, and ends every
#                              process CMD started when CMD ends; exits with CMD's code
# The checkout, and the current folder, are visible at the same paths inside. TQ30_RUNTIME_CACHE
# (default /var/cache/tq30-runtime) holds one folder per recipe.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
cache=${TQ30_RUNTIME_CACHE:-/var/cache/tq30-runtime}
recipe=$here/recipe.sh
# shellcheck source=recipe.sh
. "$recipe"
runtime=$cache/$(sha256sum "$recipe" | cut -c1-16)
# The machine is made from the root and the files it boots with.
machine=$runtime-machine-$(find "$here/guest" -maxdepth 1 -type f ! -name '*.pyc' -print0 |
  sort -z | xargs -0 cat | sha256sum | cut -c1-16)

fail() {
  echo "runtime.sh: $*" >&2
  exit 1
}

# Sets engine and why. The probe is built once per source into the cache.
choose_engine() {
  case ${TQ30_RUNTIME_ENGINE:-} in
  native | emulated)
    engine=$TQ30_RUNTIME_ENGINE why="forced by TQ30_RUNTIME_ENGINE=$engine"
    return
    ;;
  "") ;;
  *) fail "TQ30_RUNTIME_ENGINE must be native or emulated, not '$TQ30_RUNTIME_ENGINE'" ;;
  esac
  local probe
  probe=$cache/probe32-$(sha256sum "$here/probe32.cpp" | cut -c1-16)
  if [ ! -x "$probe" ]; then
    if ! mkdir -p "$cache" 2>/dev/null ||
      ! c++ -no-pie -O1 -o "$probe.partial.$$" "$here/probe32.cpp" 2>/dev/null; then
      rm -f "$probe.partial.$$"
      engine=emulated why="the probe for 32-bit code could not be built in $cache (c++ -no-pie)"
      return
    fi
    mv "$probe.partial.$$" "$probe"
  fi
  if ("$probe") >/dev/null 2>&1; then
    engine=native why="this host runs 32-bit code in a 64-bit process"
  else
    engine=emulated why="this host cannot run 32-bit code in a 64-bit process"
  fi
}

describe_engine() {
  case $engine in
  native) echo "PE32 engine: native WoW64 in private namespaces ($why)" ;;
  emulated) echo "PE32 engine: emulated machine, qemu-system-x86_64 with TCG ($why)" ;;
  esac
}

# Built into a scratch folder and renamed into place, so an interrupted build is never
# taken for a ready one; a lock keeps two runs from building it at once.
ensure_root() {
  [ -f "$runtime/.ready" ] && return 0
  [ "$(id -u)" -eq 0 ] || fail "building the PE32 runtime needs root (mmdebstrap, chroot)"
  command -v mmdebstrap >/dev/null || fail "mmdebstrap is missing: run tools/install-deps.sh"
  mkdir -p "$cache" 2>/dev/null || fail "the cache folder $cache cannot be made"
  exec 9>"$cache/.lock"
  flock 9
  [ -f "$runtime/.ready" ] && return 0
  rm -rf "$cache"/*.partial
  local partial=$runtime.partial
  echo "== building the PE32 runtime in $runtime (once per recipe, 2 to 4 minutes)" >&2
  if ! mmdebstrap --quiet --mode=root --variant=apt --architectures="$RUNTIME_ARCHITECTURES" \
    --include="$RUNTIME_PACKAGES" "$RUNTIME_SUITE" "$partial" >&2; then
    rm -rf "$partial"
    fail "mmdebstrap could not build the PE32 runtime from Debian's archive"
  fi
  runtime_finish "$partial"
  touch "$partial/.ready"
  mv "$partial" "$runtime"
  exec 9>&-
}

# The same way: a scratch folder renamed into place, under the lock.
ensure_machine() {
  [ -f "$machine/.ready" ] && return 0
  local said
  said=$(python3 "$here/emulated.py" check 2>&1) || fail "${said#emulated.py: }"
  exec 9>"$cache/.lock"
  flock 9
  [ -f "$machine/.ready" ] && return 0
  rm -rf "$runtime"-machine-*.partial
  echo "== making the emulated machine in $machine (once per recipe, 2 to 4 minutes)" >&2
  if ! python3 "$here/emulated.py" build "$runtime" "$machine.partial" >&2; then
    rm -rf "$machine.partial"
    fail "the emulated machine could not be made (see the line above)"
  fi
  touch "$machine.partial/.ready"
  mv "$machine.partial" "$machine"
  exec 9>&-
}

ensure() {
  ensure_root
  case $engine in
  native) echo "$runtime" ;;
  emulated) ensure_machine && echo "$machine" ;;
  esac
}

# Private mount, network and process namespaces: the mounts vanish with the command, its
# background processes (Xvfb, wineserver) end with it, and an X display inside cannot
# collide with one of the host's abstract sockets.
run_native() {
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

run() {
  [ $# -gt 0 ] || fail "run needs a command"
  [ "$(id -u)" -eq 0 ] || fail "running in the PE32 runtime needs root (namespaces, chroot, qemu's shares)"
  case $engine in
  native)
    [ -f "$runtime/.ready" ] || fail "no PE32 runtime at $runtime: run ./test.sh or '$0 ensure'"
    run_native "$@"
    ;;
  emulated)
    [ -f "$machine/.ready" ] || fail "no emulated machine at $machine: run ./test.sh or '$0 ensure'"
    exec python3 "$here/emulated.py" run "$machine" "$root" "$(pwd)" -- "$@"
    ;;
  esac
}

case ${1:-} in
engine) choose_engine && describe_engine ;;
ensure) choose_engine && ensure ;;
run) shift && choose_engine && run "$@" ;;
*) fail "usage: runtime.sh engine | ensure | run CMD [ARG...]" ;;
esac
