#!/usr/bin/env python3
"""Whole-program test of tamrik-config on simulated units, driven through a real X server.

Starts its own Xvfb on a free display (no window manager is needed: Qt places the windows and gives
the focus itself), starts the built program with --simulate=3 --snapshot FILE and drives it with
X input events from xdotool: choose a unit in SerNo, widen the window, request an exact frequency
and one with no exact divider set, answering the closest-frequency question No and then Yes, arm
the clock from the UTC label and open the map from the position label. After each step it sends
SIGUSR1 and checks the JSON snapshot. Screenshots of the wide window, the question and the narrow
window are written into the artefact folder.

Cancelling a search is not driven here: every request the planner gets is answered in a few
milliseconds, before a click can reach "Cancel search". The cancel path is tested below the window
(tests/synth_window), where the click arrives while the search processes pending events.

With --docs FOLDER, a run that passed also copies the narrow and the wide window's screenshots
into FOLDER: `./setup.sh screenshots` refreshes the README's pictures in docs/ this way. The test
run by CTest never writes outside the build folder.

Exit status 77 (reported by CTest as skipped) when Xvfb, xdotool or ImageMagick is missing.
"""
import argparse
import datetime
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
TITLE = "Tamrik Configuration"
QUESTION = "Cannot set exact frequency"
SERIALS = ["SIM001", "SIM002", "SIM003"]
EXACT = ("12345678", {"GPS": "131337", "N31": "1", "N2_HS": "11", "N2_LS": "4324", "N1_HS": "11",
                      "NC1_LS": "46", "NC2_LS": "46", "BW": "9"})
CLOSEST = ("777777777", {"GPS": "112701", "N31": "1", "N2_HS": "5", "N2_LS": "11042", "N1_HS": "4",
                         "NC1_LS": "2", "NC2_LS": "2", "BW": "9"})
# The screenshots that the README shows, kept in docs/.
DOC_SCREENSHOTS = ("window-narrow.png", "window-wide.png")
LOCKED = ["SetFreq", "Out1Freq", "NC1_LS", "NC2_LS", "N1_HS", "N2_HS", "N2_LS", "N31", "GPS", "BW",
          "Advanced", "Factory"]


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(what, condition, timeout=10.0, interval=0.05):
    """Polls condition until it returns something true; that value is returned."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)


class Display:
    """An Xvfb server on the first free display number."""

    def __init__(self, log_path, size="1024x768x24"):
        read_end, write_end = os.pipe()
        self.log = open(log_path, "w")
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", size, "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdout=self.log, stderr=self.log)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 15
        while not number.endswith(b"\n"):
            ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
            chunk = os.read(read_end, 16) if ready else b""
            if not chunk:
                os.close(read_end)
                self.close()
                raise Failure(f"Xvfb did not start (see {log_path})")
            number += chunk
        os.close(read_end)
        self.name = ":" + number.decode().strip()

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


class Session:
    def __init__(self, program, display, work, artifacts, arguments=("--simulate=3",), extra_env=None):
        self.work = work
        self.artifacts = artifacts
        self.snapshot_path = os.path.join(work, "snapshot.json")
        self.opened_log = os.path.join(work, "opened-urls.txt")
        fake_bin = os.path.join(work, "bin")
        os.makedirs(fake_bin)
        # The map click must never start a browser: this xdg-open only notes the link it was given.
        opener = os.path.join(fake_bin, "xdg-open")
        with open(opener, "w") as f:
            f.write('#!/bin/sh\nprintf "%s\\n" "$1" >> "$TAMRIK_E2E_OPENED"\n')
        os.chmod(opener, 0o755)
        runtime = os.path.join(work, "runtime")
        os.makedirs(runtime, mode=0o700)

        env = {k: v for k, v in os.environ.items()
               if k not in ("WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "SESSION_MANAGER")}
        env.update({
            "DISPLAY": display.name,
            "QT_QPA_PLATFORM": "xcb",
            "XDG_RUNTIME_DIR": runtime,
            "XDG_CONFIG_HOME": os.path.join(work, "config"),
            "LC_ALL": "C.UTF-8",
            "PATH": fake_bin + os.pathsep + env.get("PATH", "/usr/bin:/bin"),
            "BROWSER": "/bin/false",
            "TAMRIK_E2E_OPENED": self.opened_log,
        })
        env.update(extra_env or {})
        self.env = env
        self.program_log = open(os.path.join(work, "program.log"), "w")
        self.proc = subprocess.Popen([program, *arguments, "--snapshot", self.snapshot_path], env=env,
                                     stdout=self.program_log, stderr=subprocess.STDOUT)
        self.window = None
        self.tpp = None

    def wait_for_window(self):
        self.window = wait_for("the main window", lambda: self.find_window(TITLE), timeout=20)

    # ---- X ----

    def xdotool(self, *args):
        result = subprocess.run(["xdotool", *map(str, args)], env=self.env, capture_output=True, text=True)
        return result.stdout if result.returncode == 0 else ""

    def find_window(self, title):
        self.check_running()
        ids = self.xdotool("search", "--onlyvisible", "--name", f"^{re.escape(title)}$").split()
        return ids[0] if ids else None

    def visible_windows(self):
        return set(self.xdotool("search", "--onlyvisible", "--pid", self.proc.pid).split())

    def geometry(self, window):
        values = dict(line.split("=", 1) for line in self.xdotool("getwindowgeometry", "--shell", window).split())
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def click_at(self, x, y):
        # One xdotool run, so the click lands where the pointer was moved. (--sync would wait for a
        # motion that never comes when the pointer is already there.)
        self.xdotool("mousemove", x, y, "click", 1)

    def click(self, control):
        x, y = self.centre(control)
        self.click_at(x, y)

    def keys(self, *names):
        self.xdotool("key", "--delay", 20, *names)

    def type_text(self, text):
        self.xdotool("type", "--delay", 20, text)

    def screenshot(self, name, window="root", crop=None):
        path = os.path.join(self.artifacts, name)
        command = ["import", "-window", window]
        if crop:
            command += ["-crop", "%dx%d+%d+%d" % crop, "+repage"]
        subprocess.run(command + [path], env=self.env, check=True, capture_output=True)
        check(os.path.getsize(path) > 0, f"empty screenshot {path}")
        print(f"screenshot: {path}")

    # ---- the program ----

    def check_running(self):
        if self.proc.poll() is not None:
            raise Failure(f"tamrik-config ended with status {self.proc.returncode} (log: {self.program_log.name})")

    def snapshot(self):
        """Asks the running program for its state and returns the parsed JSON."""
        if os.path.exists(self.snapshot_path):
            os.remove(self.snapshot_path)
        self.check_running()
        os.kill(self.proc.pid, signal.SIGUSR1)
        wait_for("the snapshot file", lambda: os.path.exists(self.snapshot_path), timeout=5, interval=0.01)
        with open(self.snapshot_path, encoding="utf-8") as f:
            return json.load(f)

    def wait_state(self, what, condition, timeout=10.0):
        """Polls snapshots until condition(snapshot) holds and returns that snapshot."""
        last = {}

        def attempt():
            last["snap"] = self.snapshot()
            return last["snap"] if condition(last["snap"]) else None
        try:
            return wait_for(what, attempt, timeout=timeout, interval=0.1)
        except Failure:
            with open(os.path.join(self.work, "last-snapshot.json"), "w") as f:
                json.dump(last.get("snap", {}), f, indent=1)
            raise

    def centre(self, control):
        """Screen position of the middle of a control, from the layout in the snapshot."""
        snap = self.snapshot()
        controls = snap["controls"]
        if self.tpp is None:
            # Twips per pixel from the window's real width: the window is (outer width - 30) twips wide.
            width = self.geometry(self.window)[2]
            self.tpp = (snap["window"]["width_twips"] - 30) / width
        c = controls[control]
        x, y = self.px(c["left"]), self.px(c["top"])
        w, h = self.px(c["width"]), self.px(c["height"])
        parent = c["container"]
        while parent:
            p = controls[parent]
            inset = 2 if p["kind"] == "picturebox" else 0
            x += self.px(p["left"]) + inset
            y += self.px(p["top"]) + inset
            parent = p["container"]
        wx, wy, _, _ = self.geometry(self.window)
        return wx + x + w // 2, wy + y + h // 2

    def px(self, twips):
        return int(round(twips / self.tpp))

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.program_log.close()


STARTED = time.monotonic()


def step(name):
    print(f"[{time.monotonic() - STARTED:5.1f} s] {name}", flush=True)


def texts(snap, names):
    return {n: snap["controls"][n]["text"] for n in names}


def idle(snap):
    c = snap["controls"]
    return (c["FindFreq"]["text"] == "Set frequency" and c["FindFreq"]["enabled"] and not c["Bar"]["visible"]
            and all(c[n]["enabled"] for n in LOCKED))


def choose_unit(s, serial):
    """Opens the SerNo list with a click and clicks the serial's entry."""
    before = s.visible_windows()
    s.click("SerNo")
    popup = wait_for("the SerNo list", lambda: next(iter(s.visible_windows() - before), None), timeout=5)
    x, y, w, h = s.geometry(popup)
    row = SERIALS.index(serial)
    s.click_at(x + w // 2, y + (2 * row + 1) * h // (2 * len(SERIALS)))
    return s.wait_state(f"{serial} chosen and read back", lambda snap: (
        snap["controls"]["SerNo"]["selected"] == row and not s.visible_windows() - before
        and snap["controls"]["Frame3"]["enabled"] and snap["controls"]["lblProduct"]["text"] != ""))


def request(s, frequency):
    s.click("Out1Freq")
    s.keys("ctrl+a")
    s.type_text(frequency)
    s.keys("Return")


def run(s):
    # Start-up: narrow, three simulated units listed, one opened and read back.
    step('Start-up')
    snap = s.wait_state("start-up with a unit read back", lambda snap: (
        snap["controls"]["SerNo"]["items"] == SERIALS and snap["controls"]["SerNo"]["selected"] >= 0
        and snap["controls"]["Frame3"]["enabled"]))
    check(snap["window"]["caption"] == TITLE, "window caption")
    check(snap["window"]["width_twips"] == 4770, "the window opens narrow")
    check(snap["controls"]["Advanced"]["text"] == "Advanced  >>>", "Advanced caption when narrow")
    check(snap["controls"]["Out1Freq"]["accessible_name"] == "Output, Hz", "accessible name of Out1Freq")
    check(snap["recorded_clock"]["count"] == 0, "no clock setting before the UTC label is clicked")
    first = SERIALS[snap["controls"]["SerNo"]["selected"]]
    unit = "SIM002" if first != "SIM002" else "SIM001"
    other = next(u for u in SERIALS if u not in (first, unit))

    step('Choose another unit')
    choose_unit(s, unit)

    step('Widen')
    s.click("Advanced")
    snap = s.wait_state("the wide window", lambda snap: snap["window"]["width_twips"] == 9450)
    check(snap["controls"]["Advanced"]["text"] == "Advanced  <<<", "Advanced caption when wide")
    wide_px = s.geometry(s.window)[2]
    check(abs(wide_px - s.px(9450 - 30)) <= 1, f"the X window is {wide_px} pixels wide")

    # The receiver reports satellites: bars grow from their stubs.
    step('The receiver reports satellites')
    snap = s.wait_state("a GPS signal and satellite bars", lambda snap: (
        snap["controls"]["LOS"]["text"] == "GPS signal OK"
        and any(snap["controls"][f"Sat({i})"]["height"] > 2 for i in range(32))
        and snap["controls"]["Label13"]["text"].startswith("UTC")), timeout=20)
    # The lights' tooltips tell since when each state holds, in UTC, and the time runs on.
    since = r"since (?:at least )?(\d\d:\d\d:\d\d) UTC \(([\w ]+)\); no losses since the program started"
    tooltip = lambda snap, light: snap["controls"][light].get("tooltip", "")
    check(re.fullmatch("GPS signal OK " + since, tooltip(snap, "LOS")), f"LOS tooltip {tooltip(snap, 'LOS')!r}")
    pll = re.fullmatch("PLL locked " + since, tooltip(snap, "LOL"))
    check(pll, f"LOL tooltip {tooltip(snap, 'LOL')!r}")
    s.wait_state("the PLL tooltip's time to run on", lambda later: (
        (on := re.fullmatch("PLL locked " + since, tooltip(later, "LOL"))) is not None
        and on.group(1) == pll.group(1) and on.group(2) != pll.group(2)), timeout=5)
    s.screenshot("window-wide.png", s.window)

    step('An exact frequency, typed and entered')
    frequency, dividers = EXACT
    request(s, frequency)
    snap = s.wait_state(f"the divider set of {frequency} Hz", lambda snap: (
        idle(snap) and texts(snap, dividers) == dividers))
    check(snap["focus"] == "Out1Freq", "Enter leaves the focus in Out1Freq")
    check(s.find_window(QUESTION) is None, "an exact frequency asks no question")

    # No exact divider set: the closest is offered; No restores the unit's settings.
    step('No exact divider set')
    frequency, closest = CLOSEST
    request(s, frequency)
    question = wait_for("the closest-frequency question", lambda: s.find_window(QUESTION))
    snap = s.snapshot()
    c = snap["controls"]
    check(c["FindFreq"]["text"] == "Cancel search", f"FindFreq reads {c['FindFreq']['text']!r} while it asks")
    check(not any(c[n]["enabled"] for n in LOCKED), f"settings stay locked while it asks: {c['Out1Freq']}")
    check(texts(snap, closest) == closest, f"the boxes show the closest set: {texts(snap, closest)}")
    qx, qy, qw, qh = s.geometry(question)
    wx, wy, ww, wh = s.geometry(s.window)
    s.screenshot("question.png", crop=(max(ww, qx + qw), max(wh, qy + qh), 0, 0))
    s.keys("n")
    snap = s.wait_state("No to restore the unit's settings", lambda snap: (
        idle(snap) and texts(snap, EXACT[1]) == EXACT[1]))
    check(s.find_window(QUESTION) is None, "the question closes")

    step('Asked again, Yes programs the closest set')
    request(s, frequency)
    wait_for("the closest-frequency question", lambda: s.find_window(QUESTION))
    s.keys("Return")
    s.wait_state("Yes to program the closest set", lambda snap: idle(snap) and texts(snap, closest) == closest)
    wait_for("the question to close", lambda: s.find_window(QUESTION) is None, timeout=5)

    # The unit keeps it: another unit shows its own settings, and choosing this one again reads it back.
    step('The unit keeps it')
    snap = choose_unit(s, other)
    check(texts(snap, closest) != closest, f"{other} shows its own settings")
    snap = choose_unit(s, unit)
    check(texts(snap, closest) == closest, f"{unit} was programmed with the closest set: {texts(snap, closest)}")

    # The UTC label arms the clock: the next valid solution sets it, which the simulation only records.
    step('The UTC label arms the clock')
    s.wait_state("the UTC time", lambda snap: snap["controls"]["Label13"]["text"].startswith("UTC"), timeout=15)
    s.click("Label13")
    snap = s.wait_state("a recorded clock setting", lambda snap: (
        snap["recorded_clock"]["count"] >= 1 and not snap["controls"]["Label13"]["border"]), timeout=5)
    shown = re.search(r"\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d", snap["controls"]["Label13"]["text"])
    check(shown is not None, f"UTC text {snap['controls']['Label13']['text']!r}")
    set_to = snap["recorded_clock"]["last"]
    label_time = datetime.datetime.strptime(shown.group(0), "%Y.%m.%d %H:%M:%S")
    clock_time = datetime.datetime.strptime(set_to, "%Y-%m-%dT%H:%M:%S.%fZ")
    check(abs((clock_time - label_time).total_seconds()) < 3, f"clock set to {set_to}, label shows {shown.group(0)}")

    step("The position label opens the map link with the desktop's opener")
    snap = s.wait_state("a position", lambda snap: snap["controls"]["Label12"]["text"].startswith("Position"))
    s.click("Label12")
    wait_for("the map link", lambda: os.path.exists(s.opened_log) and open(s.opened_log).read().endswith("\n"),
             timeout=5)
    with open(s.opened_log) as f:
        urls = f.read().split()
    check(len(urls) == 1, f"one link opened: {urls}")
    link = re.fullmatch(r"https://www\.google\.com/maps/search/\?api=1&query=(-?[\d.]+),(-?[\d.]+)", urls[0])
    check(link is not None, f"map link {urls[0]!r}")
    lat, lon = float(link.group(1)), float(link.group(2))
    check(abs(lat - 46.0569) < 0.1 and abs(lon - 14.5058) < 0.1, f"map link at {lat}, {lon}")

    step('Narrow again')
    s.click("Advanced")
    snap = s.wait_state("the narrow window", lambda snap: snap["window"]["width_twips"] == 4770)
    check(snap["controls"]["Advanced"]["text"] == "Advanced  >>>", "Advanced caption when narrow again")
    wait_for("the X window to narrow", lambda: abs(s.geometry(s.window)[2] - s.px(4770 - 30)) <= 1, timeout=5)
    s.screenshot("window-narrow.png", s.window)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True, help="the built tamrik-config")
    parser.add_argument("--artifacts", required=True, help="folder for the screenshots")
    parser.add_argument("--docs", help="after a pass, copy the window's screenshots into this folder too")
    args = parser.parse_args()

    missing = [tool for tool in ("Xvfb", "xdotool", "import") if shutil.which(tool) is None]
    if missing:
        print(f"SKIP: {', '.join(missing)} not installed")
        return SKIP
    os.makedirs(args.artifacts, exist_ok=True)
    for stale in ("failure.png", "question.png", "window-wide.png", "window-narrow.png"):
        if os.path.exists(os.path.join(args.artifacts, stale)):
            os.remove(os.path.join(args.artifacts, stale))
    work = tempfile.mkdtemp(prefix="tamrik-e2e-")
    started = time.monotonic()
    display = session = None
    try:
        display = Display(os.path.join(work, "xvfb.log"))
        print(f"Xvfb on {display.name}; work folder {work}")
        session = Session(args.program, display, work, args.artifacts)
        session.wait_for_window()
        run(session)
    except Failure as e:
        print(f"FAILED: {e}", file=sys.stderr)
        if session:
            try:
                session.screenshot("failure.png")
            except (subprocess.CalledProcessError, Failure):
                pass
            session.close()
            with open(session.program_log.name) as f:
                sys.stderr.write(f.read()[-4000:])
        print(f"work folder kept: {work}", file=sys.stderr)
        return 1
    finally:
        if session:
            session.close()
        if display:
            display.close()
    shutil.rmtree(work, ignore_errors=True)
    print(f"passed in {time.monotonic() - started:.1f} s")
    if args.docs:
        os.makedirs(args.docs, exist_ok=True)
        for name in DOC_SCREENSHOTS:
            shutil.copyfile(os.path.join(args.artifacts, name), os.path.join(args.docs, name))
            print(f"copied {name} to {args.docs}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
