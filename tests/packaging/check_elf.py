#!/usr/bin/env python3
"""Checks that every ELF file in Debian packages is built for the package's architecture.

    check_elf.py PACKAGE.deb...

Reads each package's Architecture field and the ELF header (class, byte order, machine, and for
armhf the hard-float ABI flag) of every file in it; exits 1 naming each file of another kind.
"""
import io
import struct
import subprocess
import sys
import tarfile

# Debian architecture: (EI_CLASS, EI_DATA, e_machine, e_flags that must be set).
ARCHITECTURES = {
    "amd64": (2, 1, 62, 0),       # ELFCLASS64, little-endian, EM_X86_64
    "arm64": (2, 1, 183, 0),      # ELFCLASS64, little-endian, EM_AARCH64
    "armhf": (1, 1, 40, 0x400),   # ELFCLASS32, little-endian, EM_ARM, EF_ARM_ABI_FLOAT_HARD
    "i386": (1, 1, 3, 0),         # ELFCLASS32, little-endian, EM_386
}
MACHINES = {62: "x86-64", 183: "AArch64", 40: "ARM", 3: "i386"}


def describe(header):
    """The kind of an ELF file from its first 52 bytes, e.g. '64-bit LSB AArch64'."""
    bits = {1: "32-bit", 2: "64-bit"}.get(header[4], f"class {header[4]}")
    order = {1: "LSB", 2: "MSB"}.get(header[5], f"data {header[5]}")
    endian = "<" if header[5] == 1 else ">"
    machine = struct.unpack_from(endian + "H", header, 18)[0]
    text = f"{bits} {order} {MACHINES.get(machine, f'machine {machine}')}"
    if machine == 40:
        flags = struct.unpack_from(endian + "I", header, 36 if header[4] == 1 else 48)[0]
        text += " hard-float" if flags & 0x400 else " soft-float"
    return text


def mismatch(header, architecture):
    """Why an ELF header is not of the architecture, or None when it is."""
    want = ARCHITECTURES.get(architecture)
    if want is None:
        return f"no ELF kind known for the architecture {architecture}"
    ei_class, ei_data, machine, flags = want
    if len(header) < 52:
        return "a truncated ELF header"
    endian = "<" if header[5] == 1 else ">"
    got_machine = struct.unpack_from(endian + "H", header, 18)[0]
    got_flags = struct.unpack_from(endian + "I", header, 36 if header[4] == 1 else 48)[0]
    if (header[4], header[5], got_machine) != (ei_class, ei_data, machine) or (got_flags & flags) != flags:
        return f"{describe(header)}, not {architecture}"
    return None


def check(deb):
    """The problems of one package, and how many ELF files it holds."""
    architecture = subprocess.run(["dpkg-deb", "-f", deb, "Architecture"], capture_output=True, text=True,
                                  check=True).stdout.strip()
    data = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], capture_output=True, check=True).stdout
    problems = []
    count = 0
    with tarfile.open(fileobj=io.BytesIO(data)) as tar:
        for member in tar:
            if not member.isfile():
                continue
            header = tar.extractfile(member).read(64)
            if header[:4] != b"\x7fELF":
                continue
            count += 1
            why = mismatch(header, architecture)
            if why:
                problems.append(f"{deb}: {member.name.lstrip('.')}: {why}")
    if count == 0 and architecture != "all":
        problems.append(f"{deb}: no ELF file in a package of architecture {architecture}")
    return problems, count, architecture


def main(debs):
    if not debs:
        print("usage: check_elf.py PACKAGE.deb...", file=sys.stderr)
        return 2
    failed = False
    for deb in debs:
        problems, count, architecture = check(deb)
        for problem in problems:
            print(problem, file=sys.stderr)
        failed = failed or bool(problems)
        if not problems:
            print(f"{deb}: {count} ELF files, all {architecture}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
