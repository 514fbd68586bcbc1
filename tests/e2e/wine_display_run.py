#!/usr/bin/env python3
"""Runs a Windows test program that opens windows under Wine, on an Xvfb display of its own.

    wine_display_run.py --wine-root DIR [--dpi 96] -- program.exe [arguments...]

The Wine prefix (DIR/prefix-<dpi>) is made on first use and kept; its Wine server is ended when the
program has ended, so that nothing stays running. The program's exit status is returned; 77 (a
skip for CTest) when Xvfb or Wine is missing.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from window_e2e import SKIP, Display, Failure  # noqa: E402
from windows_e2e import WinePrefix  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine-root", required=True)
    parser.add_argument("--wine", default=shutil.which("wine") or "wine")
    parser.add_argument("--wineserver", default=shutil.which("wineserver") or "wineserver")
    parser.add_argument("--dpi", type=int, default=96)
    parser.add_argument("--timeout", type=float, default=240)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    missing = [tool for tool in ("Xvfb", args.wine, args.wineserver) if shutil.which(tool) is None]
    if missing:
        print(f"SKIP: {', '.join(missing)} not installed")
        return SKIP

    work = tempfile.mkdtemp(prefix="tamrik-wine-display-")
    prefix = WinePrefix(args.wine_root, args.wine, args.wineserver, args.dpi)
    display = None
    try:
        prefix.prepare()
        display = Display(os.path.join(work, "xvfb.log"), size="2560x1600x24")  # room for 200 %
        env = dict(prefix.env, DISPLAY=display.name)
        try:
            return subprocess.run([args.wine, *command], env=env, timeout=args.timeout).returncode
        except subprocess.TimeoutExpired:
            print(f"FAILED: {command[0]} did not end within {args.timeout:g} s", file=sys.stderr)
            return 1
    except Failure as e:
        print(f"FAILED: {e}", file=sys.stderr)
        return 1
    finally:
        prefix.stop()
        if display:
            display.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
