#!/usr/bin/env python3
"""Makes hostile copies of the signed fixtures for the Wine tests.

    make-hostile.py --fixtures DIR --out DIR [--openssl P] [--osslsigncode P]

From the fixture program with a version resource and a legacy counter-signature
(signed-legacy.exe) and its unsigned twin (unsigned.exe), each shape derives an
executable that still loads as a program but lies about something a reader
takes on trust: the size or place of its version resource, the lengths and
values inside that resource, its certificate table, its PKCS #7 signature, the
counter-signature's attributes, or its signer's certificate names.

Next to the executables goes manifest.json: per shape the file, what was
changed (with file offsets and bytes where a field was overwritten), the values
an untouched file reports ("true": description, company, signer, date), and
what the module must report for the shape ("expect", the same members): the
true value, or "" where the shape makes it refuse a member (EMPTY below). The
date is the counter-signature time in UTC, as a reader running in UTC renders it.

Only the Python standard library, openssl (keys, signatures over certificates)
and osslsigncode's plain `sign` are used. What can be checked here is checked as
the shapes are made, and fails the build: the untouched version resource survives
a parse and re-serialization, each rewritten resource lies where its entry points,
each new signature carries the certificate issued for it, and every shape differs
from the fixture it came from.

The shapes and what the module must refuse for them are in shapes.py: a new shape
is a line in its family's table, and a pattern in EMPTY if a member must come back
empty. pe.py, version.py and pki.py read and rewrite the image, its version
resource and its signature; the DER comes from tests/fixtures/der.py.
"""

import argparse
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures"))
from der import DerError  # shared with the fixtures' responder
from pe import Fail
from shapes import make_shapes


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--fixtures", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--openssl", default="openssl")
    parser.add_argument("--osslsigncode", default="osslsigncode")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    # The deepest nested shape is serialized recursively, one call per level.
    sys.setrecursionlimit(20000)

    out = args.out
    work = os.path.join(out, "work")
    if os.path.isdir(out):
        for entry in os.listdir(out):
            path = os.path.join(out, entry)
            if os.path.isfile(path):
                os.unlink(path)
    os.makedirs(work, exist_ok=True)
    try:
        shapes = make_shapes(args, work)
    except (Fail, DerError, subprocess.CalledProcessError, StopIteration) as error:
        detail = getattr(error, "stderr", b"") or b""
        sys.stderr.write("make-hostile: %s %s\n" % (error, detail.decode(errors="replace")))
        return 1

    manifest = []
    for shape in shapes:
        file_name = shape.name + ".exe"
        with open(os.path.join(out, file_name), "wb") as f:
            f.write(shape.data)
        manifest.append({
            "name": shape.name,
            "file": file_name,
            "part": shape.part,
            "change": shape.change,
            "true": shape.truth,
            "expect": shape.expect,
            "record": "0x%08X" % shape.record if shape.record else "",
        })
    with open(os.path.join(out, "manifest.json"), "w", encoding="utf-8") as f:
        json.dump({"shapes": manifest}, f, indent=1, ensure_ascii=False)
        f.write("\n")
    print("make-hostile: %d shapes in %s" % (len(shapes), out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
