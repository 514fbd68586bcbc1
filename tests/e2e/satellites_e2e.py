#!/usr/bin/env python3
"""The Satellites window of tamrik-config, opened by a double click on the satellite chart in a real
X server (Xvfb), at 100 % and at 200 % (QT_SCALE_FACTOR), on a simulated unit. Each run checks that
the main window keeps its size, that the Satellites window is a second top-level window of its own
size (scaled with the screen) that can be resized, and that the snapshot carries the sky; it leaves
screenshots satellites-100.png and satellites-200.png in the artefact folder. A last run opens the
window with --satellites.

With --docs FOLDER, a run that passed copies satellites-100.png into FOLDER as window-satellites.png
(`./setup.sh screenshots`). Exit status 77 (skipped) when Xvfb, xdotool or ImageMagick is missing.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from window_e2e import SKIP, Display, Failure, Session, check, wait_for  # noqa: E402

SATELLITES = "Satellites"
WIDTH, HEIGHT = 820, 600  # the Satellites window's design size


def sky_received(snap):
    """The simulated receiver's sky once the fix uses satellites (NAV-SVINFO comes every 20 s)."""
    used = any(s.get("used") for s in snap.get("sky", []))
    return snap if used and snap.get("sky_current") and snap.get("history_samples", 0) >= 2 else None


def run_scale(args, work, scale):
    env = {"QT_SCALE_FACTOR": str(scale)} if scale != 1 else {}
    display = Display(os.path.join(work, f"xvfb-{scale}.log"), size="2400x1600x24")
    # The PLL loses its lock for a while: the last hour has something to show.
    faults = "pll-unlock:SIM001@6000,pll-lock:SIM001@12000"
    session = Session(args.program, display, work, args.artifacts, arguments=("--simulate=1", "--sim-faults", faults),
                      extra_env=env)
    try:
        session.wait_for_window()
        main_before = session.geometry(session.window)[2:]
        snap = session.wait_state("the sky of the simulated receiver", sky_received, timeout=50)
        check(all(set(s) == {"svid", "constellation", "azimuth", "elevation", "cno", "used"} for s in snap["sky"]),
              f"sky entries {snap['sky'][:2]}")
        check(session.find_window(SATELLITES) is None, "the Satellites window is open before the double click")
        x, y = session.centre("PicSat")
        session.xdotool("mousemove", x, y, "click", "--repeat", 2, "--delay", 60, 1)
        window = wait_for("the Satellites window", lambda: session.find_window(SATELLITES), timeout=10)
        check(window != session.window, "the Satellites window is the main window")
        width, height = session.geometry(window)[2:]
        check(abs(width - WIDTH * scale) <= 2 and abs(height - HEIGHT * scale) <= 2,
              f"the Satellites window is {width}x{height} at {scale * 100} %, not {WIDTH * scale}x{HEIGHT * scale}")
        check(session.geometry(session.window)[2:] == main_before, "the main window changed its size")
        # A few seconds of the last hour, then the picture.
        time.sleep(2)
        session.screenshot(f"satellites-{scale * 100}.png", window=window)
        # It is resizable, and a second double click brings the same window back rather than another.
        session.xdotool("windowsize", window, int(width * 0.8), int(height * 0.8))
        wait_for("the resized window", lambda: session.geometry(window)[2] < width, timeout=5)
        session.xdotool("mousemove", x, y, "click", "--repeat", 2, "--delay", 60, 1)
        time.sleep(0.5)
        shown = [w for w in session.visible_windows() if w != session.window]
        check(len(shown) == 1, f"{len(shown)} windows besides the main window after a second double click")
        print(f"{scale * 100} %: Satellites window {width}x{height}, {len(snap['sky'])} satellites")
    except Failure:
        try:
            session.screenshot(f"failure-{scale * 100}.png")
        except (subprocess.CalledProcessError, Failure):
            pass
        raise
    finally:
        session.close()
        display.close()


def run_option(args, work):
    """--satellites opens the window at start-up; SIGTERM then ends the program as the close box
    would: status 0, the recording of --record closed with every frame it had, the snapshot of
    the end written."""
    display = Display(os.path.join(work, "xvfb-option.log"))
    recording = os.path.join(work, "recorded.ubx")
    session = Session(args.program, display, work, args.artifacts,
                      arguments=("--simulate=1", "--satellites", "--record", recording))
    try:
        session.wait_for_window()
        wait_for("the Satellites window of --satellites", lambda: session.find_window(SATELLITES), timeout=10)
        print("--satellites: the window opened at start-up")
        wait_for("a NAV-SVINFO in the recording", lambda: b"\xb5\x62\x01\x30" in open(recording, "rb").read(),
                 timeout=30)
        before = open(recording, "rb").read()
        if os.path.exists(session.snapshot_path):
            os.remove(session.snapshot_path)
        session.proc.send_signal(signal.SIGTERM)
        try:
            status = session.proc.wait(10)
        except subprocess.TimeoutExpired:
            raise Failure("tamrik-config did not end within 10 s of SIGTERM")
        check(status == 0, f"tamrik-config ended with status {status} on SIGTERM")
        check(os.path.exists(session.snapshot_path), "no snapshot written at the end after SIGTERM")
        after = open(recording, "rb").read()
        check(after.startswith(before), "the recording lost bytes it had when SIGTERM came")
        print(f"SIGTERM: status 0, {len(after)} bytes recorded, the snapshot of the end written")
    finally:
        session.close()
        display.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True, help="the built tamrik-config")
    parser.add_argument("--artifacts", required=True, help="folder for the screenshots")
    parser.add_argument("--docs", help="after a pass, copy the 100 % screenshot into this folder too")
    args = parser.parse_args()
    missing = [tool for tool in ("Xvfb", "xdotool", "import") if shutil.which(tool) is None]
    if missing:
        print(f"SKIP: {', '.join(missing)} not installed")
        return SKIP
    os.makedirs(args.artifacts, exist_ok=True)
    started = time.monotonic()
    for scale in (1, 2):
        work = tempfile.mkdtemp(prefix=f"tamrik-satellites-{scale}-")
        try:
            run_scale(args, work, scale)
        except Failure as e:
            print(f"FAILED at {scale * 100} %: {e} (work folder kept: {work})", file=sys.stderr)
            return 1
        shutil.rmtree(work, ignore_errors=True)
    work = tempfile.mkdtemp(prefix="tamrik-satellites-option-")
    try:
        run_option(args, work)
    except Failure as e:
        print(f"FAILED: {e} (work folder kept: {work})", file=sys.stderr)
        return 1
    shutil.rmtree(work, ignore_errors=True)
    print(f"passed in {time.monotonic() - started:.1f} s")
    if args.docs:
        os.makedirs(args.docs, exist_ok=True)
        shutil.copyfile(os.path.join(args.artifacts, "satellites-100.png"),
                        os.path.join(args.docs, "window-satellites.png"))
        print(f"copied window-satellites.png to {args.docs}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
