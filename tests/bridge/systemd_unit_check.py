#!/usr/bin/env python3
"""systemd's own check of the receiver bridge's unit template, on an instance, with the built
tamrikctl in place of the installed one: any complaint fails it. Exit status 77 (skip) where
systemd-analyze is not installed.

  systemd_unit_check.py --unit packaging/systemd/tamrik-gps-bridge@.service --program build/.../tamrikctl
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--unit", required=True)
    parser.add_argument("--program", required=True)
    args = parser.parse_args()
    if shutil.which("systemd-analyze") is None:
        print("SKIP: systemd-analyze is not installed")
        return 77
    text = open(args.unit).read()
    if "\nExecStart=tamrikctl " not in text:
        print("FAIL: the unit does not start tamrikctl from the program folders")
        return 1
    with tempfile.TemporaryDirectory() as tmp:
        name = os.path.basename(args.unit)
        with open(os.path.join(tmp, name), "w") as f:
            f.write(text.replace("\nExecStart=tamrikctl ", f"\nExecStart={os.path.abspath(args.program)} "))
        instance = os.path.join(tmp, name.replace("@.", "@SIM001."))
        result = subprocess.run(["systemd-analyze", "verify", "--man=no", instance],
                                capture_output=True, text=True, timeout=60)
    print(result.stdout + result.stderr)
    if result.returncode != 0 or (result.stdout + result.stderr).strip():
        print(f"FAIL: systemd-analyze verify exits with {result.returncode} and the complaints above")
        return 1
    print(f"{name}: systemd-analyze verify has no complaint")
    return 0


if __name__ == "__main__":
    sys.exit(main())
