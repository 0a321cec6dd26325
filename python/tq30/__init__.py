"""Python helpers shared by the end-to-end tests, the benchmarks and the screenshot script:
the manifest's rows, the builds under test, Wine sessions and the PE32 runtime."""
import os

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
