# The recipe of the PE32 runtime: a Debian 13 root whose Wine runs 32-bit Windows programs
# in its 64-bit loader (WoW64), since this kernel loads no 32-bit executables. Any change
# to this file gives a new runtime; tools/runtime/runtime.sh builds and caches it.
# The kernel, python3 and iproute2 are for the emulated engine, which boots the same root
# as a machine of its own and runs its agent there.
RUNTIME_SUITE=trixie
RUNTIME_ARCHITECTURES=amd64,i386
RUNTIME_PACKAGES=wine64,libwine:i386,xvfb,xauth,linux-image-amd64,python3,iproute2

# Debian puts the 32-bit PE libraries where only a 32-bit loader looks; the 64-bit loader
# looks for them beside its own.
runtime_finish() {
  local root=$1
  cp -a "$root"/usr/lib/i386-linux-gnu/wine/i386-windows/. \
    "$root"/usr/lib/x86_64-linux-gnu/wine/i386-windows/
}
