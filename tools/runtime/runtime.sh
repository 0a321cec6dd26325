#!/bin/sh
# The PE32 runtime's commands, for the shell: the work is done by the Python package
# python/tq30/runtime (engine, ensure, require, run CMD [ARG...]; --help lists them).
root=$(cd "$(dirname "$0")/../.." && pwd)
PYTHONPATH=$root/python exec python3 -m tq30.runtime "$@"
