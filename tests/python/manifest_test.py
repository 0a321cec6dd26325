"""The Python manifest reader against the real list and against broken ones."""
import os
import subprocess
import sys
import tempfile
import unittest

from tq30 import manifest

ROWS = "".join(f'PAYLOAD_FILE(key_{n}, "file.{n}")\n' for n in range(11))


class ManifestReader(unittest.TestCase):
    def read(self, text):
        with tempfile.NamedTemporaryFile("wb", suffix=".def", delete=False) as f:
            f.write(text if isinstance(text, bytes) else text.encode())
        self.addCleanup(os.remove, f.name)
        return manifest.read_rows(f.name)

    def test_real_list_keys_are_the_names_with_the_dot_as_underscore(self):
        self.assertEqual(len(manifest.ROWS), 11)
        for key, name in manifest.ROWS:
            self.assertEqual(key, name.replace(".", "_"))
        self.assertEqual(manifest.FILES, [name for _, name in manifest.ROWS])

    def test_names_command_prints_the_files_in_order_as_cmake_reads_them(self):
        for argv, code, out in (["names"], 0, "".join(n + "\n" for n in manifest.FILES)), \
                               (["keys"], 1, ""), ([], 1, ""):
            with self.subTest(argv):
                run = subprocess.run([sys.executable, "-m", "tq30.manifest", *argv],
                                     capture_output=True, text=True)
                self.assertEqual((run.returncode, run.stdout), (code, out))
                if code:
                    self.assertEqual(run.stderr, "usage: manifest.py names\n")

    def test_comments_and_blank_lines_are_skipped(self):
        rows = self.read("// a comment\n\n" + ROWS)
        self.assertEqual(rows[0], ("key_0", "file.0"))
        self.assertEqual(rows[10], ("key_10", "file.10"))

    def test_broken_lists_are_refused_naming_the_fault(self):
        cases = [
            ("a line that is no row", ROWS + "#include <evil>\n", ":12: not a PAYLOAD_FILE row"),
            ("a name longer than 12", ROWS.replace("file.3", "thirteen.char"), ":4: not a"),
            ("a name with a path", ROWS.replace("file.3", "../file.3"), ":4: not a"),
            ("an upper-case key", ROWS.replace("key_5", "KEY_5"), ":6: not a"),
            ("ten rows", ROWS.split("\n", 1)[1], "10 rows, expected 11"),
            ("twelve rows", ROWS + 'PAYLOAD_FILE(key_x, "file.x")\n', "12 rows, expected 11"),
            ("a huge file", ROWS + "//" + "x" * 70000, "longer than 65536 bytes"),
        ]
        for what, text, message in cases:
            with self.subTest(what):
                with self.assertRaises(manifest.ManifestError) as raised:
                    self.read(text)
                self.assertIn(message, str(raised.exception))


if __name__ == "__main__":
    unittest.main()
