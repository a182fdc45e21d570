#!/usr/bin/env python3
"""Writes the plug-in library into a wheel that pip installs where current
VapourSynth autoloads it: site-packages/vapoursynth/plugins/velmoraine/,
beside a manifest.vs naming it. Standard library only.

  make-wheel.py --library FILE --version V --licence FILE --out DIR
                (--platform TAG | --linux-arch ARCH --readelf READELF)

On Linux the platform tag is manylinux_2_<N>_<ARCH>, N the highest
GLIBC_2.N version the library needs, read from the library itself.
Prints the wheel's path.
"""
import argparse
import base64
import hashlib
import os
import re
import subprocess
import sys
import zipfile

NAME = "vapoursynth-velmoraine"
DIST = "vapoursynth_velmoraine"
SUMMARY = "Sliding 8x8 DCT denoiser: a VapourSynth plug-in, autoloaded once installed"
# Every entry of the zip carries this time (the earliest a zip can hold), so
# the same library makes the same wheel.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)


def glibc_floor(library, readelf):
    """The highest N of the GLIBC_2.N versions the library needs."""
    text = subprocess.run([readelf, "--version-info", "--wide", library], check=True,
                          capture_output=True, text=True).stdout
    needed = [int(n) for n in re.findall(r"Name: GLIBC_2\.(\d+)\b", text)]
    if not needed:
        sys.exit(f"make-wheel: {library} needs no GLIBC_2.N version; is it a glibc library?")
    return max(needed)


def record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}"


def wheel_files(args, tag):
    """(path in the wheel, bytes, executable) for every file but RECORD."""
    with open(args.library, "rb") as f:
        library = f.read()
    with open(args.licence, "rb") as f:
        licence = f.read()
    file_name = os.path.basename(args.library)
    stem = os.path.splitext(file_name)[0]
    plugins = "vapoursynth/plugins/velmoraine"
    info = f"{DIST}-{args.version}.dist-info"
    metadata = (f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {args.version}\n"
                f"Summary: {SUMMARY}\nLicense: BSD-2-Clause\nRequires-Dist: vapoursynth>=74\n")
    wheel = (f"Wheel-Version: 1.0\nGenerator: velmoraine make-wheel.py\n"
             f"Root-Is-Purelib: false\nTag: py3-none-{tag}\n")
    return [
        (f"{plugins}/{file_name}", library, True),
        (f"{plugins}/manifest.vs", f"[VapourSynth Manifest V1]\n{stem}\n".encode(), False),
        (f"{info}/METADATA", metadata.encode(), False),
        (f"{info}/WHEEL", wheel.encode(), False),
        (f"{info}/LICENSE", licence, False),
    ], f"{info}/RECORD"


def write_wheel(path, files, record):
    lines = [record_line(name, data) for name, data, _ in files] + [f"{record},,"]
    entries = files + [(record, ("\n".join(lines) + "\n").encode(), False)]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data, executable in entries:
            entry = zipfile.ZipInfo(name, ZIP_TIME)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.external_attr = (0o100755 if executable else 0o100644) << 16
            wheel.writestr(entry, data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--library", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--licence", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--platform", help="the platform tag, e.g. win_amd64")
    parser.add_argument("--linux-arch", help="x86_64 or aarch64: a manylinux tag")
    parser.add_argument("--readelf", default="readelf")
    args = parser.parse_args()
    if args.platform:
        tag = args.platform
    elif args.linux_arch:
        tag = f"manylinux_2_{glibc_floor(args.library, args.readelf)}_{args.linux_arch}"
    else:
        parser.error("give --platform or --linux-arch")
    files, record = wheel_files(args, tag)
    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, f"{DIST}-{args.version}-py3-none-{tag}.whl")
    write_wheel(path, files, record)
    print(path)


if __name__ == "__main__":
    main()
