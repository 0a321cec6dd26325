#!/usr/bin/env python3
"""The runtime's build-once helper, with a stand-in build: a build stopped by a signal
or by its caller's death leaves nothing beside the cache's parts, one killed outright is
cleared by the next build, and only a finished build is ever taken as ready."""
import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

from tq30.runtime import cache as helper

# Builds TARGET with a stand-in that writes a file and then waits to be stopped.
BUILDER = textwrap.dedent("""
    import os, sys, time
    from tq30.runtime import cache

    def build(partial):
        os.makedirs(partial)
        with open(os.path.join(partial, "big"), "wb") as f:
            f.write(b"x" * 4096)
        print("building", flush=True)
        time.sleep(120)

    cache.build_once(sys.argv[1], build)
""")


def start_build(target, wrapper=()):
    return subprocess.Popen([*wrapper, sys.executable, "-c", BUILDER, target],
                            stdout=subprocess.PIPE, text=True, start_new_session=True)


def wait_until_building(process):
    assert process.stdout.readline().strip() == "building"


class BuildOnce(unittest.TestCase):
    def test_a_stopped_build_leaves_nothing_aside(self):
        rows = [("SIGTERM", signal.SIGTERM), ("SIGINT", signal.SIGINT),
                ("SIGHUP", signal.SIGHUP)]
        for name, signum in rows:
            with self.subTest(name), tempfile.TemporaryDirectory() as cache:
                target = os.path.join(cache, "part")
                build = start_build(target)
                wait_until_building(build)
                build.send_signal(signum)
                build.wait(timeout=30)
                self.assertNotEqual(build.returncode, 0)
                self.assertEqual(sorted(os.listdir(cache)), ["part.lock"])

    def test_the_callers_death_stops_the_build(self):
        with tempfile.TemporaryDirectory() as cache:
            target = os.path.join(cache, "part")
            # A shell that starts the build and is then killed outright.
            shell = start_build(target, wrapper=("sh", "-c", '"$@"; :', "sh"))
            wait_until_building(shell)
            shell.kill()
            shell.wait()
            deadline = time.monotonic() + 30
            while os.path.exists(target + ".partial") and time.monotonic() < deadline:
                time.sleep(0.1)
            self.assertEqual(sorted(os.listdir(cache)), ["part.lock"])

    def test_what_a_killed_build_left_is_cleared_and_never_taken_as_ready(self):
        with tempfile.TemporaryDirectory() as cache:
            target = os.path.join(cache, "part")
            build = start_build(target)
            wait_until_building(build)
            os.killpg(build.pid, signal.SIGKILL)
            build.wait()
            self.assertFalse(helper.is_ready(target))
            built = []

            def again(partial):
                built.append(sorted(os.listdir(partial)) if os.path.exists(partial) else [])
                os.makedirs(partial)

            self.assertEqual(helper.build_once(target, again), target)
            self.assertEqual(built, [[]])  # the killed build's file was not built upon
            self.assertTrue(helper.is_ready(target))
            self.assertEqual(sorted(os.listdir(cache)), ["part", "part.lock"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
