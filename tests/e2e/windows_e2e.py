#!/usr/bin/env python3
"""Whole-program test of tamrik-config.exe under Wine, against the Linux build of the same sources.

For each screen scale (100 % and 200 %: LogPixels 96 and 192, each in a Wine prefix of its own
kept between runs) in an Xvfb of its own:

1. Runs `tamrik-config.exe --simulate=2 --snapshot FILE --quit-after MS` and, at the same time, the
   Linux program with the same arguments, and compares their snapshots: every control with all it
   has (kind, container, caption, position, size, colours, enabled and visible state), the focus and
   the window. The simulated receiver's report changes every second and the runs need not end in
   the same second: the UTC time may differ (its form may not), and so may the satellite bars'
   heights and colours, but each bar must stand on the chart's floor as on Linux.
2. Drives the program with X input events from xdotool, once the bars are up and the narrow window
   is photographed: Advanced to widen the window, a click into
   Out1Freq, 12345678 typed and Enter; then 777777777, which has no exact divider set, and the
   question answered No with the key N; Alt+F4. The snapshot written at exit must show the wide
   window, 12345678's divider set back in the boxes, the settings unlocked, the focus in Out1Freq.
3. Opens the Satellites window by a double click on the satellite chart: a second window of its
   design size at the scale, the main window's size unchanged; its screenshot is taken.

Without a window manager the X window of a Wine program is its client area: its size must be the
layout's at the scale, and clicks are aimed from the layout in twips. Screenshots windows-narrow,
windows-wide, windows-question and windows-satellites (.png, "-200" at 200 %) go into the artefact folder.

With --run PROGRAM [ARGS...] it only runs a Windows program in the 96-dpi prefix on a display and
returns its status (the Win32 window's own tests).

Exit status 77 (a skip for CTest) when Wine, Xvfb, xdotool or ImageMagick is missing or the Linux
program has not been built, unless the environment has CI=true.
"""
import argparse
import fcntl
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from window_e2e import CLOSEST, EXACT, QUESTION, SKIP, TITLE, Display, Failure, check, idle, texts, wait_for  # noqa: E402

QUIT_AFTER_MS = 12000
BAR_GREEN = bytes((0x00, 0xB0, 0x00))  # a satellite bar with a fix
NARROW_TWIPS, WIDE_TWIPS, CLIENT_HEIGHT_TWIPS = 4770, 9450, 6375
STARTED = time.monotonic()


def step(name):
    print(f"[{time.monotonic() - STARTED:5.1f} s] {name}", flush=True)


def compare(windows, linux):
    """The differences between the snapshots of the two programs, as readable lines."""
    out = [f"{key}: Windows {windows.get(key)!r}, Linux {linux.get(key)!r}"
           for key in ("window", "focus", "recorded_clock") if windows.get(key) != linux.get(key)]
    wc, lc = windows["controls"], linux["controls"]
    if list(wc) != list(lc):
        out.append(f"the controls differ: only on Windows {sorted(set(wc) - set(lc))}, only on Linux "
                   f"{sorted(set(lc) - set(wc))}, or made in another order")
    for name in (n for n in lc if n in wc):
        w, l = dict(wc[name]), dict(lc[name])
        if name == "Label13":
            w["text"], l["text"] = (re.sub(r"\d", "0", c["text"]) for c in (w, l))
        if name in ("LOS", "LOL"):
            # The lights' tooltips name the times each program saw, and whether its first report
            # found the state already so.
            for c in (w, l):
                c["tooltip"] = re.sub(r"\d\d:\d\d:\d\d UTC \([\w ]+\)", "T UTC (D)", c.get("tooltip", "")).replace("at least ", "")
        if re.fullmatch(r"Sat\(\d+\)", name):
            if w["top"] + w["height"] != l["top"] + l["height"]:
                out.append(f"{name} stands at {w['top'] + w['height']} on Windows, {l['top'] + l['height']} on Linux")
            for c in (w, l):
                for field in ("top", "height", "fill_color", "border_color"):
                    del c[field]
        out += [f"{name}.{f}: Windows {w.get(f)!r}, Linux {l.get(f)!r}" for f in sorted(set(w) | set(l)) if w.get(f) != l.get(f)]
    return out


class WinePrefix:
    """A Wine prefix of the test's own, made once, at a screen scale; one user at a time."""

    def __init__(self, root, wine, wineserver, dpi):
        self.path = os.path.join(os.path.abspath(root), f"prefix-{dpi}")  # Wine takes absolute paths only
        self.wine, self.wineserver, self.dpi = wine, wineserver, dpi
        self.env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        self.env.update(WINEPREFIX=self.path, WINEDEBUG="-all", LC_ALL="C.UTF-8",
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")  # no installer prompts
        os.makedirs(root, exist_ok=True)
        self.lock = open(self.path + ".lock", "w")
        fcntl.flock(self.lock, fcntl.LOCK_EX)

    def wine_run(self, *args, timeout=120):
        result = subprocess.run([self.wine, *args], env=self.env, capture_output=True, timeout=timeout)
        check(result.returncode == 0, f"wine {' '.join(args)}: {result.stderr.decode(errors='replace')[-800:]}")

    def prepare(self):
        ready = os.path.join(self.path, ".tamrik-ready")
        if not os.path.exists(ready):
            step(f"Setting up the Wine prefix {self.path}")
            shutil.rmtree(self.path, ignore_errors=True)
            self.wine_run("wineboot", "-i", timeout=300)
            open(ready, "w").close()
        for key in (r"HKCU\Control Panel\Desktop", r"HKCU\Software\Wine\Fonts"):  # where Wine reads the scale
            self.wine_run("reg", "add", key, "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(self.dpi), "/f")

    def stop(self):
        for option in ("-k", "-w"):
            subprocess.run([self.wineserver, option], env=self.env, capture_output=True, timeout=60)


class WindowsProgram:
    """tamrik-config.exe under Wine on a display, driven and photographed with X tools."""

    def __init__(self, prefix, program, display, work, name, quit_after_ms):
        self.dpi = prefix.dpi
        self.snapshot_path = os.path.join(work, f"{name}.json")
        self.env = dict(prefix.env, DISPLAY=display.name)
        self.log = open(os.path.join(work, f"{name}.log"), "w")
        self.proc = subprocess.Popen([prefix.wine, program, "--simulate=2", "--snapshot", self.snapshot_path,
                                      "--quit-after", str(quit_after_ms)], env=self.env, stdout=self.log,
                                     stderr=subprocess.STDOUT)
        self.window = wait_for("the main window", lambda: self.find_window(TITLE), timeout=60)

    def x(self, *args, tool="xdotool"):
        result = subprocess.run([tool, *map(str, args)], env=self.env, capture_output=True, timeout=60)
        return result.stdout if result.returncode == 0 else b""

    def find_window(self, title):
        if self.proc.poll() is not None:
            raise Failure(f"tamrik-config.exe ended with status {self.proc.returncode} (log: {self.log.name})")
        ids = self.x("search", "--onlyvisible", "--name", f"^{re.escape(title)}$").split()
        return ids[0].decode() if ids else None

    def geometry(self, window):
        values = dict(line.split("=", 1) for line in self.x("getwindowgeometry", "--shell", window).decode().split())
        check("X" in values, f"the X window {window} is gone")
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def px(self, twips):
        return int(round(twips * self.dpi / 1440.0))

    def client_size(self, width_twips):
        return self.px(width_twips - 30), self.px(CLIENT_HEIGHT_TWIPS)

    def place(self, layout, control):
        """A control's rectangle in the window, from the layout in twips."""
        controls = layout["controls"]
        c = controls[control]
        x, y, w, h = (self.px(c[k]) for k in ("left", "top", "width", "height"))
        parent = c["container"]
        while parent:
            p = controls[parent]
            inset = round(2 * self.dpi / 96) if p["kind"] == "picturebox" else 0
            x, y = x + self.px(p["left"]) + inset, y + self.px(p["top"]) + inset
            parent = p["container"]
        return x, y, w, h

    def click(self, layout, control):
        x, y, w, h = self.place(layout, control)
        wx, wy, _, _ = self.geometry(self.window)
        self.x("mousemove", wx + x + w // 2, wy + y + h // 2, "click", 1)

    def keys(self, *names):
        self.x("key", "--delay", 30, *names)

    def type_text(self, text):
        self.x("type", "--delay", 30, text)

    def pixels(self, layout, control):
        """The RGB bytes of a control's rectangle as the window shows it, and the rectangle's width."""
        x, y, w, h = self.place(layout, control)
        shot = self.x("-window", self.window, "png:-", tool="import")
        result = subprocess.run(["convert", "png:-", "-crop", f"{w}x{h}+{x}+{y}", "+repage", "-depth", "8", "rgb:-"],
                                input=shot, capture_output=True, timeout=60)
        return result.stdout, w

    def green_bars(self, layout):
        data, _ = self.pixels(layout, "PicSat")
        return any(data[i:i + 3] == BAR_GREEN for i in range(0, len(data) - 2, 3))

    def box_enabled(self, layout, control):
        """Whether a text box is white inside on its right, as an enabled box is."""
        data, width = self.pixels(layout, control)
        i = 3 * ((len(data) // (3 * width)) // 2 * width + width - 6 * self.dpi // 96)
        return data[i:i + 3] == b"\xff\xff\xff"

    def screenshot(self, path, window="root", crop=None):
        self.x("-window", window, *(["-crop", "%dx%d+%d+%d" % crop, "+repage"] if crop else []), path, tool="import")
        check(os.path.exists(path) and os.path.getsize(path) > 0, f"no screenshot {path}")
        print(f"screenshot: {path}")

    def wait_exit(self, timeout):
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"tamrik-config.exe did not end within {timeout} s")
        check(self.proc.returncode == 0, f"tamrik-config.exe ended with status {self.proc.returncode}")
        with open(self.snapshot_path, encoding="utf-8") as f:
            return json.load(f)

    def close(self, failure_shot):
        if self.proc.poll() is None:
            try:
                self.screenshot(failure_shot)
            except Failure:
                pass
            self.proc.kill()
            self.proc.wait()
        self.log.close()


def suffix(dpi):
    return "" if dpi == 96 else f"-{round(dpi * 100 / 96)}"


def hands_off_run(prefix, program, linux_program, display, work, artifacts):
    dpi = prefix.dpi
    step(f"{dpi} dpi: a hands-off run beside the Linux program's")
    linux_path = os.path.join(work, f"linux-{dpi}.json")
    runtime = os.path.join(work, "runtime")
    os.makedirs(runtime, mode=0o700, exist_ok=True)
    linux = subprocess.Popen([linux_program, "--simulate=2", "--snapshot", linux_path, "--quit-after", str(QUIT_AFTER_MS)],
                             env=dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=runtime, LC_ALL="C.UTF-8"),
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    run = None
    try:
        run = WindowsProgram(prefix, program, display, work, f"windows-{dpi}", QUIT_AFTER_MS)
        size = run.geometry(run.window)[2:]
        check(size == run.client_size(NARROW_TWIPS), f"the narrow window is {size} at {dpi} dpi")
        linux.wait(QUIT_AFTER_MS / 1000 + 60)
        check(linux.returncode == 0, f"the Linux program ended with status {linux.returncode}")
        with open(linux_path, encoding="utf-8") as f:
            layout = json.load(f)
        snapshot = run.wait_exit(60)
    finally:
        if run:
            run.close(os.path.join(artifacts, f"windows-failure{suffix(dpi)}.png"))
        if linux.poll() is None:
            linux.kill()
            linux.wait()
    differences = compare(snapshot, layout)
    check(not differences, f"{dpi} dpi: the Windows snapshot differs from the Linux one:\n  " + "\n  ".join(differences))
    return layout


def driven_run(prefix, program, display, work, artifacts, layout):
    dpi = prefix.dpi
    step(f"{dpi} dpi: a frequency request with X input events")
    run = WindowsProgram(prefix, program, display, work, f"windows-driven-{dpi}", 120000)
    try:
        wait_for("the satellite bars", lambda: run.green_bars(layout), timeout=60)
        run.screenshot(os.path.join(artifacts, f"windows-narrow{suffix(dpi)}.png"), run.window)
        run.click(layout, "Advanced")
        wait_for("the wide window", lambda: run.geometry(run.window)[2:] == run.client_size(WIDE_TWIPS), timeout=10)
        wait_for("the satellite bars", lambda: run.green_bars(layout), timeout=10)
        run.screenshot(os.path.join(artifacts, f"windows-wide{suffix(dpi)}.png"), run.window)
        # An exact frequency, typed over the box's text and entered: done once the divider boxes
        # show other values and the box takes input again.
        run.click(layout, "Out1Freq")
        run.keys("End", "shift+Home")
        run.type_text(EXACT[0])
        before = run.pixels(layout, "GPS")
        run.keys("Return")
        wait_for("the new divider set", lambda: run.pixels(layout, "GPS") != before and run.box_enabled(layout, "Out1Freq"),
                 timeout=20)
        # No exact divider set: the question, answered No, which restores the unit's settings.
        run.keys("End", "shift+Home")
        run.type_text(CLOSEST[0])
        run.keys("Return")
        question = wait_for("the closest-frequency question", lambda: run.find_window(QUESTION), timeout=20)
        boxes = [run.geometry(question), run.geometry(run.window)]
        left, top = min(b[0] for b in boxes), min(b[1] for b in boxes)
        right, bottom = max(b[0] + b[2] for b in boxes), max(b[1] + b[3] for b in boxes)
        run.screenshot(os.path.join(artifacts, f"windows-question{suffix(dpi)}.png"),
                       crop=(right - left, bottom - top, left, top))
        run.keys("n")
        wait_for("the question to close", lambda: run.find_window(QUESTION) is None, timeout=10)
        wait_for("the settings unlocked", lambda: run.box_enabled(layout, "Out1Freq"), timeout=20)
        run.click(layout, "Out1Freq")
        run.keys("alt+F4")  # closed as a user closes it; the snapshot is written at exit
        snapshot = run.wait_exit(60)
    finally:
        run.close(os.path.join(artifacts, f"windows-failure-driven{suffix(dpi)}.png"))
    check(snapshot["window"]["width_twips"] == WIDE_TWIPS, f"window width {snapshot['window']['width_twips']}")
    check(texts(snapshot, EXACT[1]) == EXACT[1], f"the boxes show {texts(snapshot, EXACT[1])}, not {EXACT[1]}")
    check(idle(snapshot), f"the settings stay locked: FindFreq {snapshot['controls']['FindFreq']}")
    check(snapshot["focus"] == "Out1Freq", f"the focus is on {snapshot['focus']!r}")


def satellites_run(prefix, program, display, work, artifacts, layout):
    dpi = prefix.dpi
    step(f"{dpi} dpi: the Satellites window by a double click on the satellite chart")
    run = WindowsProgram(prefix, program, display, work, f"windows-satellites-{dpi}", 120000)
    try:
        wait_for("the satellite bars", lambda: run.green_bars(layout), timeout=60)
        main_size = run.geometry(run.window)[2:]
        x, y, w, h = run.place(layout, "PicSat")
        wx, wy, _, _ = run.geometry(run.window)
        run.x("mousemove", wx + x + w // 2, wy + y + h // 2, "click", "--repeat", 2, "--delay", 60, 1)
        window = wait_for("the Satellites window", lambda: run.find_window("Satellites"), timeout=20)
        size = run.geometry(window)[2:]
        want = (round(820 * dpi / 96), round(600 * dpi / 96))
        check(all(abs(a - b) <= 2 for a, b in zip(size, want)), f"the Satellites window is {size} at {dpi} dpi, not {want}")
        check(run.geometry(run.window)[2:] == main_size, "the main window changed its size")
        time.sleep(2)
        run.screenshot(os.path.join(artifacts, f"windows-satellites{suffix(dpi)}.png"), window)
        # Closing it leaves the main window; the main window then closes as a user closes it.
        run.keys("alt+F4")
        wait_for("the Satellites window to close", lambda: run.find_window("Satellites") is None, timeout=10)
        check(run.find_window(TITLE) == run.window, "the main window went with the Satellites window")
        run.click(layout, "Out1Freq")
        run.keys("alt+F4")
        snapshot = run.wait_exit(60)
    finally:
        run.close(os.path.join(artifacts, f"windows-failure-satellites{suffix(dpi)}.png"))
    check(any(s["used"] for s in snapshot["sky"]), f"the snapshot's sky: {snapshot.get('sky')}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--windows-program", help="the built tamrik-config.exe")
    parser.add_argument("--linux-program", help="the built Linux tamrik-config")
    parser.add_argument("--artifacts", help="folder for the screenshots")
    parser.add_argument("--wine-root", required=True, help="folder for the Wine prefixes, kept between runs")
    parser.add_argument("--wine", default=shutil.which("wine") or "wine")
    parser.add_argument("--wineserver", default=shutil.which("wineserver") or "wineserver")
    parser.add_argument("--scales", default="96,192", help="dpi values, comma-separated")
    parser.add_argument("--run", nargs=argparse.REMAINDER, help="only run this Windows program and its arguments")
    args = parser.parse_args()

    ci = os.environ.get("CI") == "true"
    tools = ("Xvfb", args.wine, args.wineserver) + (() if args.run else ("xdotool", "import"))
    missing = [t for t in tools if shutil.which(t) is None]
    missing += [p for p in ([] if args.run else [args.windows_program, args.linux_program]) if not os.path.exists(p)]
    if missing:
        print(f"{'FAILED' if ci else 'SKIP'}: missing {', '.join(missing)}")
        return 1 if ci else SKIP

    work = tempfile.mkdtemp(prefix="tamrik-e2e-windows-")
    try:
        for dpi in [96] if args.run else [int(s) for s in args.scales.split(",")]:
            prefix = WinePrefix(args.wine_root, args.wine, args.wineserver, dpi)
            display = None
            try:
                prefix.prepare()
                display = Display(os.path.join(work, f"xvfb-{dpi}.log"), size="2560x1600x24")  # room for 200 %
                if args.run:
                    return subprocess.run([args.wine, *args.run], env=dict(prefix.env, DISPLAY=display.name),
                                          timeout=600).returncode
                os.makedirs(args.artifacts, exist_ok=True)
                for stale in (f for f in os.listdir(args.artifacts) if f.startswith("windows-") and suffix(dpi) in f):
                    os.remove(os.path.join(args.artifacts, stale))
                layout = hands_off_run(prefix, args.windows_program, args.linux_program, display, work, args.artifacts)
                driven_run(prefix, args.windows_program, display, work, args.artifacts, layout)
                satellites_run(prefix, args.windows_program, display, work, args.artifacts, layout)
            finally:
                prefix.stop()
                if display:
                    display.close()
    except (Failure, subprocess.TimeoutExpired) as e:
        print(f"FAILED: {e}\nwork folder kept: {work}", file=sys.stderr)
        return 1
    shutil.rmtree(work, ignore_errors=True)
    print(f"passed in {time.monotonic() - STARTED:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
