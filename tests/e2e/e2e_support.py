"""What the end-to-end cases share: paths, checks, and a Case with its scratch folder
and helpers to run Windows programs of the session's build in the shared Wine session."""
import os
import shutil
import subprocess

from tq30 import ROOT, wine
from tq30.manifest import FILES
from tq30.wine import PACK, windows_path

CAPTION = "Varnholt Tonequill TQ-30"


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Check(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Check(message)


def expect_equal(actual, expected, what):
    if actual != expected:
        raise Check(f"{what}: got {actual!r}, expected {expected!r}")


class Case:
    """A fresh scratch folder as the launcher's current folder, an install folder and a
    log for the stand-in installer, and helpers to run Windows programs in the session."""

    def __init__(self, state_dir, name):
        self.session = wine.load(state_dir)
        self.build = self.session.build
        base = os.path.join(os.path.abspath(state_dir), "cases", name)
        shutil.rmtree(base, ignore_errors=True)
        self.folder = os.path.join(base, "run")
        self.install = os.path.join(base, "install")
        self.log = os.path.join(base, "install.log")
        self.parameters = os.path.join(base, "installer-parameters")
        os.makedirs(self.folder)
        self.env = {"STANDIN_INSTALL_DIR": windows_path(self.install),
                    "STANDIN_LOG": windows_path(self.log),
                    "STANDIN_PARAMETERS": windows_path(self.parameters)}
        self.started = []

    def start(self, program, *args, env=None, cwd=None, file_size_limit=None):
        process = self.session.popen(program, *args, cwd=cwd or self.folder,
                                     env={**self.env, **(env or {})}, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True,
                                     file_size_limit=file_size_limit)
        self.started.append(process)
        return process

    def launch(self, launcher=None, env=None, file_size_limit=None, cwd=None, args=()):
        return self.start(launcher or self.build.launcher, *args, env=env,
                          file_size_limit=file_size_limit, cwd=cwd)

    def driver(self, *args, timeout=60):
        """Runs the dialog driver; returns its key=value lines as a dict, with 'exit'."""
        result = self.session.run(self.build.program("dialog-driver.exe"), *args, env=self.env,
                                  cwd=self.folder, capture_output=True, text=True,
                                  timeout=timeout)
        shown = {"exit": result.returncode}
        for line in result.stdout.splitlines():
            key, _, value = line.partition("=")
            shown[key] = value.replace("\\n", "\n").replace("\\r", "\r").replace("\\\\", "\\")
        return shown

    def press(self, button, caption=CAPTION):
        shown = self.driver("press", button, caption, "30000")
        expect(shown["exit"] == 0, f"no message box '{caption}' appeared")
        return shown

    def expect_no_box(self, wait_ms=1500):
        expect(self.driver("absent", CAPTION, str(wait_ms))["exit"] == 0,
               "a message box appeared where none was expected")

    def finish(self, process, timeout=60):
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.session.kill(process)
            raise Check(f"the launcher did not exit within {timeout} s")

    def present(self):
        return [name for name in FILES if os.path.lexists(os.path.join(self.folder, name))]

    def put(self, name, content):
        with open(os.path.join(self.folder, name), "wb") as f:
            f.write(content)

    def installer_parameters(self):
        """What the installer was started with after its name; None if it never started."""
        return read(self.parameters) if os.path.exists(self.parameters) else None

    def log_lines(self):
        return read(self.log).decode().splitlines() if os.path.exists(self.log) else []

    def launcher_whose_setup_is_no_program(self):
        """The launcher carrying the demo payload with an installer of the same size that is
        not a program."""
        payload = os.path.join(self.folder, "..", "payload")
        out = os.path.join(self.folder, "..", "tq30-setup-noprogram.exe")
        subprocess.run([os.path.join(ROOT, "build", "host", "make-demo-payload"), "-o", payload],
                       check=True)
        subprocess.run([PACK, "pack", "--stub", self.build.stub, "--payload", payload,
                        "-o", out], check=True)
        return out

    def launcher_without_item(self, key):
        """A copy of the launcher whose store no longer holds `key`: its stored key string
        is changed in place, keeping the root's order."""
        image = bytearray(read(self.build.launcher))
        stored = key.upper().encode("utf-16-le")
        at = image.find(stored)
        expect(at > 0 and image.find(stored, at + 1) < 0, f"key {key} not found once")
        image[at + len(stored) - 2] = ord("~")
        out = os.path.join(self.folder, "..", f"tq30-setup-without-{key}.exe")
        with open(out, "wb") as f:
            f.write(image)
        return out

    def cleanup(self):
        for process in self.started:
            self.session.kill(process)


def expect_error_notice(shown, text):
    expect_equal(shown.get("text"), text, "notice text")
    expect_equal(shown.get("buttons"), "ok", "notice buttons")
    expect_equal(shown.get("icon"), "error", "notice icon")
    expect_equal(shown.get("topmost"), "1", "notice is system-modal (topmost)")


def expect_installation_complete(case):
    lines = case.log_lines()
    expect(lines and lines[-1] == "installation complete", f"installer log: {lines}")
    expect(not [line for line in lines if "FAILED" in line], f"installer log: {lines}")
    reads = [line for line in lines if line.startswith("read ")]
    expect_equal(reads, [f"read {name} ok" for name in FILES], "files read by the installer")
