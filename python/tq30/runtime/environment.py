"""What a command run in the runtime is given of its caller's environment: what Wine,
the display, the locale and our own test programs read, and nothing else, so that no
secret of the caller's (a signing password, a token) reaches a program run there."""
import os
from collections.abc import Mapping

NAMES = ("DISPLAY", "LANG", "LANGUAGE", "TERM", "TZ")
PREFIXES = ("WINE", "LC_", "STANDIN_")
# What the root's own programs are found by; the caller's PATH names the host's folders.
BASE = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/root"}


def forwarded(env: Mapping[str, str] | None = None) -> dict[str, str]:
    """The variables of ENV (this process's by default) a command in the runtime gets."""
    env = os.environ if env is None else env
    return {name: value for name, value in env.items()
            if name in NAMES or name.startswith(PREFIXES)}


def for_command(env: Mapping[str, str] | None = None) -> dict[str, str]:
    return {**BASE, **forwarded(env)}
