"""The one recipe of a Wine prefix, for the host's Wine and the PE32 runtime alike. It stands
alone: the emulated machine's image carries a copy and runs it when the image is made, so
that every boot starts from a ready prefix.

    python3 -m tq30.runtime.prefix PREFIX
        makes PREFIX ready (in the machine, as its image is made)
"""
import os
import subprocess
import sys

WINE64 = "/usr/lib/wine/wine64"  # the same path on the host and in the runtime
WINESERVER = "/usr/lib/wine/wineserver"
# No Mono or Gecko prompts, no menu entries, no debug chatter.
ENVIRONMENT = {"WINEDEBUG": "-all",
               "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d"}
# Unmanaged windows close in milliseconds under a display with no window manager.
UNMANAGED = [WINE64, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
             "/d", "N", "/f"]
STEPS = ([WINE64, "wineboot", "-i"], UNMANAGED)


def environment(prefix: str) -> dict[str, str]:
    return {**ENVIRONMENT, "WINEPREFIX": prefix}


def is_ready(prefix: str) -> bool:
    try:
        with open(os.path.join(prefix, "user.reg"), errors="replace") as f:
            return '"Managed"="N"' in f.read()
    except OSError:
        return False


def prepare(prefix: str) -> None:
    """Makes PREFIX ready here, with no display, then waits for its server to end."""
    env = {**os.environ, **environment(prefix)}
    for step in (*STEPS, [WINESERVER, "-w"]):
        subprocess.run(step, env=env, check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=1200)
    if not is_ready(prefix):
        sys.exit(f"prefix.py: {prefix} is not ready after its steps")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    prepare(sys.argv[1])
