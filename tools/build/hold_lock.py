"""Holds ./build.sh's lock for as long as the shell that started it lives.

    hold_lock.py LOCKFILE
Says on stdout, a line each: `waiting` when another build holds the lock, then `locked`
once it is ours; or `refused TEXT` when LOCKFILE is something a build does not make (a link,
a FIFO, a folder, ...), which is left as it is. Then it waits until its parent ends.

The lock lives in this process, not in the build's shell: a descriptor of the shell's is
inherited by every compiler the build starts, so a build killed with SIGKILL would leave
the lock with its orphaned compilers and the next build would wait for them.
"""
import ctypes
import fcntl
import os
import signal
import stat
import sys

PR_SET_PDEATHSIG = 1


def kind_of(mode):
    if stat.S_ISLNK(mode):
        return "a symbolic link"
    if stat.S_ISFIFO(mode):
        return "a FIFO"
    if stat.S_ISDIR(mode):
        return "a folder"
    return "not a regular file"


def say(line):
    print(line, flush=True)


def opened(path):
    """The lock file, opened without following a link or waiting on a FIFO; None, said
    why, when something else has its name."""
    try:
        mode = os.lstat(path).st_mode
        if not stat.S_ISREG(mode):
            say(f"refused {path} is {kind_of(mode)}, not the lock a build makes; remove it")
            return None
    except FileNotFoundError:
        pass
    flags = os.O_RDONLY | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
    try:
        fd = os.open(path, flags, 0o600)
    except OSError as error:
        say(f"refused {path} cannot be opened: {error.strerror}")
        return None
    mode = os.fstat(fd).st_mode
    if not stat.S_ISREG(mode):
        say(f"refused {path} is {kind_of(mode)}, not the lock a build makes; remove it")
        return None
    return fd


def main(argv):
    if len(argv) != 1:
        sys.exit(__doc__)
    parent = os.getppid()
    # The build's own signals are the build's: an interrupt ends the build, whose end ends
    # this process, after its clean-up.
    for number in (signal.SIGINT, signal.SIGQUIT, signal.SIGHUP):
        signal.signal(number, signal.SIG_IGN)
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0) != 0:
        say(f"refused the lock cannot follow the build: {os.strerror(ctypes.get_errno())}")
        return 1
    if os.getppid() != parent:  # the build ended before the line above
        return 0
    fd = opened(argv[0])
    if fd is None:
        return 1
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        say("waiting")
        fcntl.flock(fd, fcntl.LOCK_EX)
    say("locked")
    while True:
        signal.pause()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
