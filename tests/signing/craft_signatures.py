#!/usr/bin/env python3
"""Hostile variants of a signed launcher: its certificate table and its PKCS#7 changed one
way each, written as OUTDIR/CASE.exe with the PE checksum made right again. With TIMESTAMPED.exe,
another signature with an RFC 3161 timestamp, its timestamp is also borrowed.
Usage: craft_signatures.py SIGNED.exe CA.pem OUTDIR [TIMESTAMPED.exe]"""
import base64
import os
import struct
import sys


def parse(data, at=0, end=None):
    """DER elements from data[at:end] as [tag, contents-or-children] lists."""
    end = len(data) if end is None else end
    elements = []
    while at < end:
        tag = data[at]
        length = data[at + 1]
        at += 2
        if length & 0x80:
            count = length & 0x7F
            length = int.from_bytes(data[at:at + count], "big")
            at += count
        body = data[at:at + length]
        elements.append([tag, parse(body) if tag & 0x20 else bytes(body)])
        at += length
    return elements


def encode(element, indefinite=False):
    tag, body = element
    if tag is None:
        return body  # bytes as they are, lengths and all
    contents = b"".join(encode(e) for e in body) if tag & 0x20 else body
    if indefinite:
        return bytes([tag, 0x80]) + contents + b"\0\0"
    if len(contents) < 0x80:
        header = bytes([len(contents)])
    else:
        size = len(contents).to_bytes((len(contents).bit_length() + 7) // 8, "big")
        header = bytes([0x80 | len(size)]) + size
    return bytes([tag]) + header + contents


def oid(text):
    parts = [int(p) for p in text.split(".")]
    out = bytes([40 * parts[0] + parts[1]])
    for part in parts[2:]:
        chunk = [part & 0x7F]
        while part > 0x7F:
            part >>= 7
            chunk.insert(0, 0x80 | (part & 0x7F))
        out += bytes(chunk)
    return [0x06, out]


class Image:
    def __init__(self, path):
        self.data = bytearray(open(path, "rb").read())
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        magic = struct.unpack_from("<H", self.data, pe + 24)[0]
        self.checksum_at = pe + 24 + 64
        self.security = pe + 24 + (112 if magic == 0x20B else 96) + 4 * 8
        self.table_at, size = struct.unpack_from("<II", self.data, self.security)
        length = struct.unpack_from("<I", self.data, self.table_at)[0]
        self.pkcs7 = bytes(self.data[self.table_at + 8:self.table_at + length])
        # The first element alone: the padding after it may be of any length.
        count = self.pkcs7[1] & 0x7F if self.pkcs7[1] & 0x80 else 0
        length = int.from_bytes(self.pkcs7[2:2 + count], "big") if count else self.pkcs7[1]
        self.pkcs7 = self.pkcs7[:2 + count + length]

    def write(self, path, pkcs7=None, in_entry=b"", after_entry=b"", after_table=b"",
              table_size_extra=0):
        pkcs7 = self.pkcs7 if pkcs7 is None else pkcs7
        entry_body = pkcs7 + in_entry
        entry = struct.pack("<IHH", 8 + len(entry_body), 0x0200, 2) + entry_body
        entry += b"\0" * (-len(entry) % 8)
        table = entry + after_entry
        image = self.data[:self.table_at] + table + after_table
        struct.pack_into("<II", image, self.security, self.table_at,
                         len(table) + table_size_extra)
        struct.pack_into("<I", image, self.checksum_at, 0)
        total = 0
        for (word,) in struct.iter_unpack("<H", image + b"\0" * (len(image) % 2)):
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        checksum = ((total & 0xFFFF) + len(image)) & 0xFFFFFFFF
        struct.pack_into("<I", image, self.checksum_at, checksum)
        open(path, "wb").write(image)


def signed_data(tree):
    return tree[0][1][1][1][0][1]  # ContentInfo, [0], SignedData's elements


def part(signed, tag):
    return next(e for e in signed if e[0] == tag)


def indirect_data(signed):
    return signed[2][1][1][1][0][1]  # contentInfo, [0], SpcIndirectDataContent's elements


def signer_info(signed):
    return signed[-1][1][0][1]  # the first SignerInfo's elements


def subject_of(certificate):
    tbs = certificate[1][0][1]
    return tbs[5 if tbs[0][0] == 0xA0 else 4]


def common_name(value, string_tag=0x0C):
    return [0x31, [[0x30, [oid("2.5.4.3"), [string_tag, value]]]]]


def main():
    image = Image(sys.argv[1])
    pem = open(sys.argv[2]).read().split("-----")[2]
    ca = parse(base64.b64decode("".join(pem.split())))[0]
    out = sys.argv[3]
    cases = {}

    def case(name, edit=None, **table):
        tree = parse(image.pkcs7)
        if edit is not None:
            edit(signed_data(tree))
        cases[name] = dict(dict(pkcs7=encode(tree[0])), **table)

    case("secondEntry", after_entry=struct.pack("<IHH", 8 + len(image.pkcs7), 0x0200, 2)
         + image.pkcs7 + b"\0" * (-len(image.pkcs7) % 8))
    case("bytesAfterEntry", after_entry=b"\0" * 64)
    case("bytesInsideLength", in_entry=os.urandom(4096))
    case("mzAfterEntry", after_entry=b"MZ" + b"\x90" * (1 << 20))
    case("bytesAfterTable", after_table=b"\0" * 16)
    case("emptyEntry", pkcs7=b"")

    def set_digest(algorithm):
        def edit(signed):
            indirect_data(signed)[1][1][0][1][0] = oid(algorithm)
        return edit
    case("sha3Digest", set_digest("2.16.840.1.101.3.4.2.8"))
    case("sha512t224Digest", set_digest("2.16.840.1.101.3.4.2.5"))
    case("rsaAsDigest", set_digest("1.2.840.113549.1.1.11"))

    def data_type(signed):
        indirect_data(signed)[0][1][0] = oid("1.3.6.1.4.1.311.2.1.25")
    case("otherDataType", data_type)

    def content_type(signed):
        attributes = signer_info(signed)[3][1]
        for attribute in attributes:
            if attribute[1][0] == oid("1.2.840.113549.1.9.3"):
                attribute[1][1][1][0] = oid("1.2.840.113549.1.7.1")
    case("idDataContentType", content_type)

    def id_data_content(signed):
        signed[2][1][:] = [oid("1.2.840.113549.1.7.1"), [0xA0, [[0x04, b"not indirect data"]]]]
    case("idDataContent", id_data_content)

    def content_not_a_sequence(signed):
        signed[2][1][1][1][:] = [[0x04, b"not a sequence"]]
    case("contentNotASequence", content_not_a_sequence)

    def no_attributes(signed):
        del signer_info(signed)[3]
    case("noSignedAttributes", no_attributes)

    def digest_past_end(signed):
        digest = indirect_data(signed)[1][1]
        digest[1] = [None, bytes([0x04, len(digest[1][1]) + 16]) + digest[1][1]]
    case("digestPastItsEnd", digest_past_end)

    def no_signer(signed):
        signed[-1][1].clear()
    case("noSigner", no_signer)

    def two_signers(signed):
        signed[-1][1].append(signed[-1][1][0])
    case("twoSigners", two_signers)

    def signer_missing(signed):
        part(signed, 0xA0)[1].clear()
        part(signed, 0xA0)[1].append(ca)
    case("signerMissing", signer_missing)

    def long_serial(signed):
        signer_info(signed)[1][1][1] = [0x02, b"\x01" * 102400]
    case("longSerial", long_serial)

    def renamed(*names):
        def edit(signed):
            certificates = part(signed, 0xA0)[1]
            subject = subject_of(certificates[0])
            subject[1] = [common_name(n) if isinstance(n, bytes) else n for n in names]
        return edit
    case("nulInName", renamed(b"TQ-30 Test Code Signing\0Evil"))
    case("bmpName", renamed(common_name("TQ-30 T\0".encode("latin-1")[:6], 0x1E)))
    case("longName", renamed(b"A" * 300))
    case("twoNames", renamed(b"TQ-30 Test Code Signing", b"Second"))
    case("bidiName", renamed("abc\u202edef".encode()))

    def impostor(with_ca, count=1):
        def edit(signed):
            certificates = part(signed, 0xA0)[1]
            real = certificates[0]
            fakes = []
            for n in range(count):
                fake = parse(encode(real))[0]
                subject_of(fake)[1] = [common_name(b"Somebody Else Entirely %d" % n)]
                signature = fake[1][2]
                signature[1] = signature[1][:-8] + os.urandom(8)
                fakes.append(fake)
            # As DER orders a SET OF: by encoding.
            certificates[:] = sorted(fakes + [real] + ([ca] if with_ca else []), key=encode)
        return edit
    case("impostorBesideItsIssuer", impostor(True))
    case("impostorAlone", impostor(False))
    case("manyImpostors", impostor(True, 4))

    def countersigned(signed):
        info = signer_info(signed)
        copy = parse(encode([0x30, info]))[0]
        info.append([0xA1, [[0x30, [oid("1.2.840.113549.1.9.6"), [0x31, [copy]]]]]])
    case("countersigned", countersigned)

    if len(sys.argv) > 4:
        stamped = signer_info(signed_data(parse(Image(sys.argv[4]).pkcs7)))

        def borrowed(signed):
            signer_info(signed).append(part(stamped, 0xA1))
        case("borrowedTimestamp", borrowed)

    indefinite = parse(image.pkcs7)[0]
    cases["berIndefinite"] = dict(pkcs7=encode(indefinite, indefinite=True))

    for name, table in cases.items():
        image.write(os.path.join(out, name + ".exe"), **table)


main()
