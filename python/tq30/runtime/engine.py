"""Which engine runs the PE32, and why: made in this one place, as a value. A probe built
once into the cache (probe32.cpp, beside this module) switches to the 32-bit code segment and
back; where that works the host runs 32-bit code in a 64-bit process and the native engine
can run Wine's WoW64 mode. TQ30_RUNTIME_ENGINE=native or =emulated forces one."""
import os
import subprocess
from typing import NamedTuple

from tq30.runtime import cache

NATIVE, EMULATED = "native", "emulated"
FORCED = "TQ30_RUNTIME_ENGINE"
PROBE_SOURCE = os.path.join(cache.HERE, "probe32.cpp")


class Engine(NamedTuple):
    name: str  # NATIVE or EMULATED
    reason: str  # why it was chosen, for people


class EngineError(Exception):
    """TQ30_RUNTIME_ENGINE holds something else than an engine's name."""


def _build_probe(partial: str) -> None:
    os.makedirs(partial)
    cache.run_build_step(["c++", "-no-pie", "-O1", "-o", os.path.join(partial, "probe32"),
                          PROBE_SOURCE], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not os.path.isfile(os.path.join(partial, "probe32")):
        raise cache.BuildFailed("c++ -no-pie failed")


def choose() -> Engine:
    forced = os.environ.get(FORCED, "")
    if forced in (NATIVE, EMULATED):
        return Engine(forced, f"forced by {FORCED}={forced}")
    if forced:
        raise EngineError(f"{FORCED} must be {NATIVE} or {EMULATED}, not '{forced}'")
    probe = os.path.join(cache.folder(), "probe32-" + cache.digest([PROBE_SOURCE]))
    try:
        cache.build_once(probe, _build_probe)
    except cache.BuildFailed:
        return Engine(EMULATED, f"the probe for 32-bit code could not be built in "
                                f"{cache.folder()} (c++ -no-pie)")
    probed = subprocess.run([os.path.join(probe, "probe32")], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    if probed.returncode == 0:
        return Engine(NATIVE, "this host runs 32-bit code in a 64-bit process")
    return Engine(EMULATED, "this host cannot run 32-bit code in a 64-bit process")


def describe(engine: Engine) -> str:
    how = {NATIVE: "native WoW64 in private namespaces",
           EMULATED: "emulated machine, qemu-system-x86_64 with TCG"}[engine.name]
    return f"PE32 engine: {how} ({engine.reason})"
