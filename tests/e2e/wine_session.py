"""One Wine session for a test run: an Xvfb display and a Wine prefix with a persistent
wineserver, created once and shared by every case, then ended by process id.

    python3 wine_session.py start STATE_DIR
    python3 wine_session.py stop STATE_DIR
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import time

WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"


def wine_env(state):
    env = dict(os.environ)
    env.update(
        WINEPREFIX=state["prefix"],
        WINEDEBUG="-all",
        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
        DISPLAY=state["display"],
    )
    return env


def load(state_dir):
    with open(os.path.join(state_dir, "session.json")) as f:
        return json.load(f)


def start_display():
    """Starts Xvfb on a free display; returns (display, pid)."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0", "1024x768x24"],
        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        start_new_session=True)
    os.close(write_end)
    # Xvfb writes the number and the line break separately; read up to the line break
    # before closing, or it dies.
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read_end, 16)
        if not chunk:
            raise RuntimeError("Xvfb did not report a display")
        number += chunk
    os.close(read_end)
    return ":" + number.decode().strip(), xvfb.pid


def start(state_dir):
    stop(state_dir)  # a session left over from an interrupted run
    os.makedirs(state_dir, exist_ok=True)
    display, xvfb_pid = start_display()
    state = {"display": display, "xvfb_pid": xvfb_pid,
             "prefix": os.path.join(os.path.abspath(state_dir), "prefix")}
    with open(os.path.join(state_dir, "session.json"), "w") as f:
        json.dump(state, f)
    env = wine_env(state)
    started = time.monotonic()
    # One server for the whole run, kept while no program runs; it needs the prefix's
    # folder to exist.
    os.makedirs(state["prefix"], exist_ok=True)
    # It outlives this script: it must not hold the test runner's output open.
    subprocess.run([WINESERVER, "-p"], env=env, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    subprocess.run([WINE64, "wineboot", "-i"], env=env, check=True, timeout=300,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Unmanaged windows close in milliseconds under a display with no window manager.
    subprocess.run([WINE64, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
                    "/d", "N", "/f"], env=env, check=True, timeout=120,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    print(f"wine session on {display}, prefix ready in {time.monotonic() - started:.1f} s")


def stop(state_dir):
    try:
        state = load(state_dir)
    except FileNotFoundError:
        return
    env = wine_env(state)
    subprocess.run([WINESERVER, "-k"], env=env, timeout=60)
    subprocess.run([WINESERVER, "-w"], env=env, timeout=60)
    try:
        os.killpg(state["xvfb_pid"], signal.SIGTERM)
    except ProcessLookupError:
        pass
    shutil.rmtree(state_dir, ignore_errors=True)
    print("wine session ended")
    return


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop"):
        sys.exit(__doc__)
    {"start": start, "stop": stop}[sys.argv[1]](sys.argv[2])
