"""The runtime's commands (tools/runtime/runtime.sh calls this):

    engine        prints which engine runs the PE32, and why, in one line
    ensure        makes what that engine needs unless it is there; prints its folder
    require       the same, quietly; where it cannot be had, prints the reason alone and
                  exits 77 (a skip, for CTest)
    run CMD [ARG...]
                  runs CMD in it, in the current folder, and ends every process CMD started
                  when CMD ends; exits with CMD's code, or by its signal
    exec STATE_FILE CWD [--file-size-limit BYTES] -- CMD [ARG...]
                  runs CMD in a machine a session booted (what a session's commands use)

TQ30_RUNTIME_ENGINE=native or =emulated forces an engine; TQ30_RUNTIME_CACHE moves the cache.
Exit codes: CMD's own for run and exec; 1 where the runtime cannot be had or the command
cannot be run; 2 for a usage error; 77 for require's skip.
"""
import sys
from typing import NoReturn

from tq30.runtime import interface, machine

SKIPPED = 77


def _usage(problem: str) -> NoReturn:
    print(f"runtime: {problem}\n\n{__doc__}", file=sys.stderr, end="")
    sys.exit(2)


def _exec(args: list[str]) -> None:
    if "--" not in args:
        _usage("exec needs -- before the command")
    at = args.index("--")
    before, command = args[:at], args[at + 1:]
    limit = None
    if before[2:3] == ["--file-size-limit"] and len(before) == 4 and before[3].isdigit():
        limit, before = int(before[3]), before[:2]
    if len(before) != 2 or not command:
        _usage("exec needs STATE_FILE CWD [--file-size-limit BYTES] -- CMD")
    try:
        held = machine.Machine.from_file(before[0])
        interface.exit_like(held.execute(before[1], command, limit))
    except (OSError, machine.MachineError) as failure:
        sys.exit(f"runtime: {failure}")


def main(args: list[str]) -> None:
    if not args or args[0] in ("-h", "--help", "help"):
        print(__doc__, end="")
        sys.exit(0 if args else 2)
    verb, rest = args[0], args[1:]
    if verb == "exec":
        _exec(rest)
    if verb not in ("engine", "ensure", "require", "run") or (verb == "run") != bool(rest):
        _usage(f"'{' '.join(args)}' is not a command of the runtime")
    try:
        engine = interface.choose_engine()
        if verb == "engine":
            print(interface.describe_engine(engine))
        elif verb == "ensure":
            print(interface.ensure(engine))
        elif verb == "require":
            interface.require(engine)
        else:
            folder = interface.ensure(engine)
            interface.exit_like(interface.run_in_fresh_instance(engine, folder, rest))
    except interface.EngineError as failure:
        sys.exit(f"runtime: {failure}")
    except interface.Unavailable as reason:
        if verb == "require":
            print(reason)
            sys.exit(SKIPPED)
        sys.exit(f"runtime: {reason}")


if __name__ == "__main__":
    main(sys.argv[1:])
