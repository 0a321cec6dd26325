"""Shows a name as the build's messages show it.

    shown.py NAME
prints NAME on one line with each control character (C0, DEL and C1) and each
bidirectional mark as \\uXXXX and each byte that is not UTF-8 as \\xXX, as the packer
shows what it names: nothing a name holds reaches the terminal as a command or turns the
line around.
"""
import os
import sys

# The marks that reorder what follows them on the line: ALM, LRM, RLM, the embeddings and
# overrides, and the isolates.
BIDIRECTIONAL = {0x061C, 0x200E, 0x200F, *range(0x202A, 0x202F), *range(0x2066, 0x206A)}


def shown(name):
    text = name.decode("utf-8", "surrogateescape")
    parts = []
    for character in text:
        code = ord(character)
        if 0xDC80 <= code <= 0xDCFF:  # a byte the decoder could not read
            parts.append(f"\\x{code - 0xDC00:02x}")
        elif code < 0x20 or 0x7F <= code <= 0x9F or code in BIDIRECTIONAL:
            parts.append(f"\\u{code:04x}")
        else:
            parts.append(character)
    return "".join(parts)


def main(argv):
    if len(argv) != 1:
        sys.exit(__doc__)
    sys.stdout.buffer.write(shown(os.fsencode(argv[0])).encode() + b"\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
