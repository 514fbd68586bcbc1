#!/usr/bin/env python3
"""Whole-program test of tamrik-config.exe under Wine, against the Linux build of the same sources.

For each screen scale (100 % and 200 %: LogPixels 96 and 192 in a Wine prefix of its own), in an
Xvfb of its own:

1. Runs `tamrik-config.exe --simulate=2 --snapshot FILE --quit-after MS` and, at the same time, the
   Linux program with the same arguments, and compares their snapshots: every control with its
   kind, container, caption, position, size, colours, enabled and visible state, the focus and the
   window itself. What the simulated receiver reports changes every second and the two runs need
   not end in the same second: the UTC time may differ (its form may not), and so may the satellite
   bars' heights and colours, but each bar must stand on the chart's floor as on Linux.
   Meanwhile the narrow window is photographed once the satellite bars are up.
2. Starts the program again and drives it with X input events from xdotool, as a user would:
   widen the window with Advanced, click into Out1Freq, type 12345678, press Enter; then request
   777777777 Hz, which has no exact divider set, and answer the question No with the key N; close
   the window with Alt+F4. The snapshot written at exit must show the wide window, the exact divider
   set of 12345678 Hz back in the boxes, the settings unlocked and the focus in Out1Freq.

The X window of a Wine program without a window manager is its client area: its size must be the
layout's at the scale, and clicks are aimed from the layout in twips. Screenshots of the narrow
window, the wide window and the question go into the artefact folder, with "-200" for 200 %.

Exit status 77 (reported by CTest as skipped) when Wine, Xvfb, xdotool or ImageMagick is missing,
or when the Linux program has not been built (cmake --preset default), unless the environment has
CI=true.
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
SCALES = (96, 192)
BAR_GREEN = (0x00, 0xB0, 0x00)  # the colour of a satellite bar with a fix (0x00B000 is green)
CLIENT_HEIGHT_TWIPS = 6375
NARROW_TWIPS, WIDE_TWIPS = 4770, 9450


def px(twips, dpi):
    return int(round(twips * dpi / 1440.0))


def step(name):
    print(f"[{time.monotonic() - STARTED:5.1f} s] {name}", flush=True)


STARTED = time.monotonic()


def compare(windows, linux):
    """The differences between two snapshots of the same run, as readable lines."""
    out = []
    for key in ("window", "focus", "recorded_clock"):
        if windows.get(key) != linux.get(key):
            out.append(f"{key}: Windows {windows.get(key)!r}, Linux {linux.get(key)!r}")
    wc, lc = windows["controls"], linux["controls"]
    for name in sorted(set(wc) - set(lc)):
        out.append(f"{name}: only on Windows")
    for name in sorted(set(lc) - set(wc)):
        out.append(f"{name}: only on Linux")
    if list(wc) != list(lc):
        out.append("the controls were made in another order")
    for name in (n for n in lc if n in wc):
        w, l = dict(wc[name]), dict(lc[name])
        if name == "Label13":
            # The receiver's time differs by the seconds between the runs; its form may not.
            w["text"], l["text"] = (re.sub(r"\d", "0", c["text"]) for c in (w, l))
        if re.fullmatch(r"Sat\(\d+\)", name):
            # A bar shows the signal of the last second read, and the simulated signals change every
            # second: a run that read one second more may show other heights and colours. The bar
            # must still stand where the other stands, on the chart's bottom edge.
            if w["top"] + w["height"] != l["top"] + l["height"]:
                out.append(f"{name} stands at {w['top'] + w['height']} on Windows, {l['top'] + l['height']} on Linux")
            for field in ("top", "height", "fill_color", "border_color"):
                w.pop(field), l.pop(field)
        for field in sorted(set(w) | set(l)):
            if w.get(field) != l.get(field):
                out.append(f"{name}.{field}: Windows {w.get(field)!r}, Linux {l.get(field)!r}")
    return out


class WinePrefix:
    """A Wine prefix of the test's own, kept between runs in the work folder, with a screen scale."""

    def __init__(self, root, wine, wineserver, dpi):
        self.path = os.path.join(os.path.abspath(root), f"prefix-{dpi}")  # Wine takes absolute paths only
        self.wine, self.wineserver, self.dpi = wine, wineserver, dpi
        self.env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        self.env.update({
            "WINEPREFIX": self.path,
            "WINEDEBUG": "-all",
            # No Mono or Gecko installer prompts, no menu entries for the prefix.
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
            "LC_ALL": "C.UTF-8",
        })
        os.makedirs(root, exist_ok=True)
        self.lock = open(self.path + ".lock", "w")
        fcntl.flock(self.lock, fcntl.LOCK_EX)  # one run at a time per prefix

    def run(self, *args, timeout=120):
        return subprocess.run([self.wine, *args], env=self.env, capture_output=True, timeout=timeout)

    def prepare(self):
        ready = os.path.join(self.path, ".tamrik-ready")
        if not os.path.exists(ready):
            step(f"Setting up the Wine prefix {self.path}")
            shutil.rmtree(self.path, ignore_errors=True)
            result = self.run("wineboot", "-i", timeout=300)
            self.wait_server()
            check(result.returncode == 0, f"wineboot failed: {result.stderr.decode(errors='replace')[-2000:]}")
            open(ready, "w").close()
        # The scale of every screen: Wine reads it where Windows keeps it.
        for key in (r"HKCU\Control Panel\Desktop", r"HKCU\Software\Wine\Fonts",
                    r"HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts"):
            result = self.run("reg", "add", key, "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(self.dpi), "/f")
            check(result.returncode == 0,
                  f"cannot set LogPixels under {key}: {result.stderr.decode(errors='replace')[-500:]}")
        self.wait_server()

    def wait_server(self):
        subprocess.run([self.wineserver, "-w"], env=self.env, timeout=60)

    def stop(self):
        subprocess.run([self.wineserver, "-k"], env=self.env, capture_output=True, timeout=60)
        subprocess.run([self.wineserver, "-w"], env=self.env, capture_output=True, timeout=60)


class WindowsProgram:
    """tamrik-config.exe running under Wine on a display."""

    def __init__(self, prefix, program, display, work, name, quit_after_ms):
        self.prefix, self.display, self.dpi = prefix, display, prefix.dpi
        self.snapshot_path = os.path.join(work, f"{name}.json")
        self.env = dict(prefix.env, DISPLAY=display.name)
        self.log = open(os.path.join(work, f"{name}.log"), "w")
        self.proc = subprocess.Popen(
            [prefix.wine, program, "--simulate=2", "--snapshot", self.snapshot_path,
             "--quit-after", str(quit_after_ms)],
            env=self.env, stdout=self.log, stderr=subprocess.STDOUT)
        self.window = None

    def xdotool(self, *args):
        result = subprocess.run(["xdotool", *map(str, args)], env=self.env, capture_output=True, text=True, timeout=30)
        return result.stdout if result.returncode == 0 else ""

    def find_window(self, title):
        self.check_running()
        ids = self.xdotool("search", "--onlyvisible", "--name", f"^{re.escape(title)}$").split()
        return ids[0] if ids else None

    def geometry(self, window):
        values = dict(line.split("=", 1) for line in self.xdotool("getwindowgeometry", "--shell", window).split())
        if "X" not in values:
            self.check_running()
            raise Failure(f"the X window {window} is gone")
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def check_running(self):
        if self.proc.poll() is not None:
            raise Failure(f"tamrik-config.exe ended with status {self.proc.returncode} (log: {self.log.name})")

    def wait_for_window(self):
        self.window = wait_for("the main window", lambda: self.find_window(TITLE), timeout=60)
        return self.window

    def client_size(self, width_twips):
        return px(width_twips - 30, self.dpi), px(CLIENT_HEIGHT_TWIPS, self.dpi)

    def centre(self, layout, control):
        """Screen position of the middle of a control, from the layout in twips."""
        controls = layout["controls"]
        c = controls[control]
        x, y = px(c["left"], self.dpi), px(c["top"], self.dpi)
        w, h = px(c["width"], self.dpi), px(c["height"], self.dpi)
        parent = c["container"]
        while parent:
            p = controls[parent]
            inset = round(2 * self.dpi / 96) if p["kind"] == "picturebox" else 0
            x += px(p["left"], self.dpi) + inset
            y += px(p["top"], self.dpi) + inset
            parent = p["container"]
        wx, wy, _, _ = self.geometry(self.window)
        return wx + x + w // 2, wy + y + h // 2

    def click(self, layout, control):
        x, y = self.centre(layout, control)
        self.xdotool("mousemove", x, y, "click", 1)

    def keys(self, *names):
        self.xdotool("key", "--delay", 30, *names)

    def type_text(self, text):
        self.xdotool("type", "--delay", 30, text)

    def screenshot(self, path, window="root", crop=None):
        command = ["import", "-window", window]
        if crop:
            command += ["-crop", "%dx%d+%d+%d" % crop, "+repage"]
        subprocess.run(command + [path], env=self.env, check=True, capture_output=True, timeout=60)
        check(os.path.getsize(path) > 0, f"empty screenshot {path}")
        print(f"screenshot: {path}")

    def pixels(self, layout, control):
        """The RGB bytes of a control's rectangle as the window shows it now."""
        c = layout["controls"][control]
        cx, cy = self.centre(layout, control)
        w, h = px(c["width"], self.dpi), px(c["height"], self.dpi)
        wx, wy, _, _ = self.geometry(self.window)
        crop = (w, h, cx - w // 2 - wx, cy - h // 2 - wy)
        shot = subprocess.run(["import", "-window", self.window, "png:-"], env=self.env, capture_output=True, timeout=60)
        result = subprocess.run(["convert", "png:-", "-crop", "%dx%d+%d+%d" % crop, "+repage", "-depth", "8", "rgb:-"],
                                input=shot.stdout, capture_output=True, timeout=60)
        return result.stdout, w

    def green_bars(self, layout):
        """How many pixels of the satellite chart show a bar with a fix."""
        data, _ = self.pixels(layout, "PicSat")
        return sum(1 for i in range(0, len(data) - 2, 3) if tuple(data[i:i + 3]) == BAR_GREEN)

    def box_enabled(self, layout, control):
        """Whether a text box is white inside, as an enabled box is (a disabled one is grey)."""
        data, width = self.pixels(layout, control)
        height = len(data) // (3 * width)
        x, y = width - 6 * self.dpi // 96, height // 2  # right of any text, inside the border
        return tuple(data[3 * (y * width + x):3 * (y * width + x) + 3]) == (255, 255, 255)

    def wait_exit(self, timeout):
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"tamrik-config.exe did not end within {timeout} s")
        self.log.close()
        check(self.proc.returncode == 0, f"tamrik-config.exe ended with status {self.proc.returncode}")
        with open(self.snapshot_path, encoding="utf-8") as f:
            return json.load(f)

    def close(self, failure_shot=None):
        if self.proc.poll() is None:
            if failure_shot:
                try:
                    self.screenshot(failure_shot)
                except (subprocess.SubprocessError, Failure):
                    pass
            self.proc.kill()
            self.proc.wait()
        if not self.log.closed:
            self.log.close()


class LinuxReference:
    """The Linux program on the same run, without a display."""

    def __init__(self, program, work, name):
        self.path = os.path.join(work, f"{name}.json")
        runtime = os.path.join(work, "runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=runtime, LC_ALL="C.UTF-8")
        self.proc = subprocess.Popen([program, "--simulate=2", "--snapshot", self.path, "--quit-after",
                                      str(QUIT_AFTER_MS)], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def snapshot(self):
        try:
            self.proc.wait(QUIT_AFTER_MS / 1000 + 60)
        except subprocess.TimeoutExpired:
            raise Failure("the Linux program did not end")
        check(self.proc.returncode == 0, f"the Linux program ended with status {self.proc.returncode}")
        with open(self.path, encoding="utf-8") as f:
            return json.load(f)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def suffix(dpi):
    return "" if dpi == 96 else f"-{round(dpi * 100 / 96)}"


def hands_off_run(prefix, program, linux_program, display, work, artifacts):
    dpi = prefix.dpi
    step(f"{dpi} dpi: the hands-off run against the Linux program's")
    linux = LinuxReference(linux_program, work, f"linux-{dpi}")
    run = WindowsProgram(prefix, program, display, work, f"windows-{dpi}", QUIT_AFTER_MS)
    linux_snapshot = linux.snapshot
    try:
        window = run.wait_for_window()
        _, _, width, height = run.geometry(window)
        check((width, height) == run.client_size(NARROW_TWIPS),
              f"the narrow window is {width}x{height} at {dpi} dpi, not {run.client_size(NARROW_TWIPS)}")
        layout = linux_snapshot()
        wait_for("the satellite bars", lambda: run.green_bars(layout) > 0, timeout=QUIT_AFTER_MS / 1000 + 30)
        run.screenshot(os.path.join(artifacts, f"windows-narrow{suffix(dpi)}.png"), window)
        snapshot = run.wait_exit(QUIT_AFTER_MS / 1000 + 60)
    finally:
        run.close(os.path.join(artifacts, f"windows-failure{suffix(dpi)}.png"))
        linux.close()
    differences = compare(snapshot, linux_snapshot())
    check(not differences, f"{dpi} dpi: the Windows snapshot differs from the Linux one:\n  " + "\n  ".join(differences))
    return linux_snapshot()


def driven_run(prefix, program, display, work, artifacts, layout):
    dpi = prefix.dpi
    step(f"{dpi} dpi: a frequency request with X input events")
    run = WindowsProgram(prefix, program, display, work, f"windows-driven-{dpi}", 120000)
    try:
        window = run.wait_for_window()
        wait_for("the satellite bars", lambda: run.green_bars(layout) > 0, timeout=60)
        run.click(layout, "Advanced")
        wide = run.client_size(WIDE_TWIPS)
        wait_for("the wide window", lambda: run.geometry(window)[2:] == wide, timeout=10)
        wait_for("the satellite bars", lambda: run.green_bars(layout) > 0, timeout=10)
        run.screenshot(os.path.join(artifacts, f"windows-wide{suffix(dpi)}.png"), window)

        # An exact frequency: typed over the box's text and entered. The request has ended once the
        # divider boxes show new values and the box takes input again.
        run.click(layout, "Out1Freq")
        run.keys("End", "shift+Home")
        run.type_text(EXACT[0])
        before = run.pixels(layout, "GPS")
        run.keys("Return")
        wait_for("the new divider set", lambda: run.pixels(layout, "GPS") != before and run.box_enabled(layout, "Out1Freq"),
                 timeout=20)
        # No exact divider set: the question; No restores the unit's settings.
        run.keys("End", "shift+Home")
        run.type_text(CLOSEST[0])
        run.keys("Return")
        question = wait_for("the closest-frequency question", lambda: run.find_window(QUESTION), timeout=20)
        qx, qy, qw, qh = run.geometry(question)
        wx, wy, ww, wh = run.geometry(window)
        left, top = min(wx, qx), min(wy, qy)
        right, bottom = max(wx + ww, qx + qw), max(wy + wh, qy + qh)
        run.screenshot(os.path.join(artifacts, f"windows-question{suffix(dpi)}.png"),
                       crop=(right - left, bottom - top, left, top))
        run.keys("n")
        wait_for("the question to close", lambda: run.find_window(QUESTION) is None, timeout=10)
        wait_for("the settings unlocked", lambda: run.box_enabled(layout, "Out1Freq"), timeout=20)
        # Closed as a user closes it; the snapshot is written at exit.
        run.click(layout, "Out1Freq")
        run.keys("alt+F4")
        snapshot = run.wait_exit(60)
    finally:
        run.close(os.path.join(artifacts, f"windows-failure-driven{suffix(dpi)}.png"))
    c = snapshot["controls"]
    check(snapshot["window"]["width_twips"] == WIDE_TWIPS, f"window width {snapshot['window']['width_twips']}")
    check(texts(snapshot, EXACT[1]) == EXACT[1], f"the boxes show {texts(snapshot, EXACT[1])}, not {EXACT[1]}")
    check(idle(snapshot), f"the settings stay locked: FindFreq {c['FindFreq']}")
    check(snapshot["focus"] == "Out1Freq", f"the focus is on {snapshot['focus']!r}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--windows-program", required=True, help="the built tamrik-config.exe")
    parser.add_argument("--linux-program", required=True, help="the built Linux tamrik-config")
    parser.add_argument("--artifacts", required=True, help="folder for the screenshots")
    parser.add_argument("--wine-root", required=True, help="folder for the test's Wine prefixes (kept between runs)")
    parser.add_argument("--wine", default=shutil.which("wine") or "wine")
    parser.add_argument("--wineserver", default=shutil.which("wineserver") or "wineserver")
    parser.add_argument("--scales", default=",".join(map(str, SCALES)), help="dpi values, comma-separated")
    args = parser.parse_args()

    ci = os.environ.get("CI") == "true"
    missing = [tool for tool in ("Xvfb", "xdotool", "import") if shutil.which(tool) is None]
    missing += [tool for tool in (args.wine, args.wineserver) if shutil.which(tool) is None]
    missing += [path for path in (args.windows_program, args.linux_program) if not os.path.exists(path)]
    if missing:
        print(f"{'FAILED' if ci else 'SKIP'}: missing {', '.join(missing)}")
        return 1 if ci else SKIP

    os.makedirs(args.artifacts, exist_ok=True)
    for stale in os.listdir(args.artifacts):
        if stale.startswith("windows-") and stale.endswith(".png"):
            os.remove(os.path.join(args.artifacts, stale))
    work = tempfile.mkdtemp(prefix="tamrik-e2e-windows-")
    failed = False
    try:
        for dpi in (int(s) for s in args.scales.split(",")):
            prefix = WinePrefix(args.wine_root, args.wine, args.wineserver, dpi)
            display = None
            try:
                prefix.prepare()
                width, height = (1024, 768) if dpi <= 96 else (2560, 1600)
                display = Display(os.path.join(work, f"xvfb-{dpi}.log"), size=f"{width}x{height}x24")
                layout = hands_off_run(prefix, args.windows_program, args.linux_program, display, work, args.artifacts)
                driven_run(prefix, args.windows_program, display, work, args.artifacts, layout)
            finally:
                prefix.stop()
                if display:
                    display.close()
    except (Failure, subprocess.TimeoutExpired) as e:
        failed = True
        print(f"the screen at the failure: {args.artifacts}/windows-failure*.png", file=sys.stderr)
        print(f"FAILED: {e}", file=sys.stderr)
        print(f"work folder kept: {work}", file=sys.stderr)
    if failed:
        return 1
    shutil.rmtree(work, ignore_errors=True)
    print(f"passed in {time.monotonic() - STARTED:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
