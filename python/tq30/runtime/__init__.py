"""The runtime that runs the PE32, the product: a Debian 13 root whose Wine 10 runs 32-bit
Windows programs in its 64-bit loader (WoW64), since this kernel loads no 32-bit
executables, on one of two engines:

    native    the root in private namespaces (chroot), where the host runs 32-bit code in a
              64-bit process;
    emulated  the same root booted as a machine of its own under qemu-system-x86_64 (TCG),
              where it cannot.

Its modules, each importing only those above it in this list:
    cache        where the runtime is kept; build once: lock, build aside, rename
    environment  the few variables a command in the runtime is given
    channel      the framing and the proof both ways between the host and the machine's agent
    prefix       the one Wine prefix recipe
    agent        runs the host's commands in the emulated machine (there only)
    engine       the probe and the choice of engine, as a value
    native       the root, and the namespaces that hold it open
    machine      the emulated machine: made once, booted as a context manager
    interface    the one interface over both engines (Holder), and all the rest uses
    __main__     what tools/runtime/runtime.sh calls

Beside them, what the runtime is made from: recipe.sh (the root's packages), probe32.cpp
(the probe), and guest-init, the machine's first process. The machine's image carries
guest-init, agent, channel and prefix.
"""
