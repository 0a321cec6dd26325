#!/usr/bin/env python3
"""Holds the README to a guide's limits and every page's relative links to files.

README.md: at most 2,000 words; its sentences average at most 22 words and at most 3 run over
45; ./build.sh and ./test.sh stand as commands in its first 60 lines. README.md, CHANGELOG.md,
BENCHMARKS.md and every page under docs/: each relative link leads to a file. Prints one line
per problem, all of them, and exits 1 when there is any.
Usage: tests/check_docs.py [ROOT]   (ROOT: the checkout, by default the one holding this file)
"""
import pathlib
import re
import sys

MAX_WORDS = 2000
MAX_AVERAGE = 22
LONG_SENTENCE = 45
MAX_LONG = 3
COMMANDS_WITHIN = 60

LINK = re.compile(r"!?\[([^\]]*)\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
FENCE = re.compile(r"^\s*(```|~~~)")


def prose_blocks(text):
    """The README's running text: paragraphs and list items, each joined into one line,
    without code blocks, tables, headings or pictures."""
    blocks, current, fenced = [], [], False
    for line in text.splitlines():
        if FENCE.match(line):
            fenced = not fenced
            line = ""
        stripped = line.strip()
        skip = fenced or stripped.startswith(("|", "#", "![")) or not stripped
        starts_item = re.match(r"^(\s*)([-*]|\d+\.)\s+", line) is not None
        if (skip or starts_item) and current:
            blocks.append(" ".join(current))
            current = []
        if not skip:
            current.append(re.sub(r"^\s*([-*]|\d+\.)\s+", "", stripped))
    if current:
        blocks.append(" ".join(current))
    return blocks


def sentences(block):
    block = LINK.sub(r"\1", block)
    # A full stop inside code or after a common abbreviation ends nothing.
    block = re.sub(r"`[^`]*`", "CODE", block)
    block = re.sub(r"\b(e\.g|i\.e|etc|vs)\.", r"\1", block)
    parts = re.split(r"(?<=[.!?])\s+(?=[A-Z`(\"])|(?<=[.!?])$", block)
    return [part for part in (p.strip() for p in parts) if part]


def readme_problems(path):
    text = path.read_text(encoding="utf-8")
    problems = []
    words = len(text.split())
    if words > MAX_WORDS:
        problems.append(f"{path.name}: {words} words, more than {MAX_WORDS}")
    lengths = [len(s.split()) for block in prose_blocks(text) for s in sentences(block)]
    if lengths:
        average = sum(lengths) / len(lengths)
        if average > MAX_AVERAGE:
            problems.append(
                f"{path.name}: sentences average {average:.1f} words, more than {MAX_AVERAGE}")
        long = [n for n in lengths if n > LONG_SENTENCE]
        if len(long) > MAX_LONG:
            problems.append(f"{path.name}: {len(long)} sentences over {LONG_SENTENCE} words, "
                            f"more than {MAX_LONG}")
    head = text.splitlines()[:COMMANDS_WITHIN]
    for command in ("./build.sh", "./test.sh"):
        if not any(line.lstrip().startswith(command) for line in head):
            problems.append(f"{path.name}: {command} is not a command in the first "
                            f"{COMMANDS_WITHIN} lines")
    return problems


def link_problems(path, root):
    problems, fenced = [], False
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if FENCE.match(line):
            fenced = not fenced
        if fenced:
            continue
        for match in LINK.finditer(re.sub(r"`[^`]*`", "", line)):
            target = match.group(2)
            if re.match(r"^[a-z][a-z0-9+.-]*:", target) or target.startswith("#"):
                continue
            file = (path.parent / target.split("#", 1)[0]).resolve()
            if not file.is_file():
                shown = path.relative_to(root)
                problems.append(f"{shown}:{number}: {target} leads to no file")
    return problems


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else
                        pathlib.Path(__file__).resolve().parent.parent).resolve()
    readme = root / "README.md"
    problems = readme_problems(readme)
    pages = [readme] + [root / name for name in ("CHANGELOG.md", "BENCHMARKS.md")
                        if (root / name).is_file()]
    pages += sorted((root / "docs").glob("*.md"))
    for page in pages:
        problems += link_problems(page, root)
    for problem in problems:
        print(f"check_docs: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
