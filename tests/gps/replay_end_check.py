#!/usr/bin/env python3
"""Replays a receiver capture through the program, which closes at the replay's end, a number of
times, and checks that every run ends showing what the capture's last messages say, decoded here
independently of the program: the last NAV-PVT gives the position and UTC texts, the NAV-SVINFO
messages since the last settings readback give every bar. Exit status 0 when all runs matched,
1 otherwise, 77 (skip) when the capture is absent outside CI (CI=true makes that a failure).
"""
import argparse
import json
import os
import struct
import subprocess
import sys
import tempfile
from decimal import ROUND_HALF_UP, Decimal
from fractions import Fraction

SKIP = 77
GREEN, GREY = 0x00B000, 0x808080


def frames(data):
    """(class, id, payload) of every frame whose 8-bit Fletcher checksum is good."""
    i, n = 0, len(data)
    while i + 8 <= n:
        if data[i] != 0xB5 or data[i + 1] != 0x62:
            i += 1
            continue
        length = data[i + 4] | (data[i + 5] << 8)
        end = i + 8 + length
        if end > n:
            i += 1
            continue
        ck_a = ck_b = 0
        for b in data[i + 2:end - 2]:
            ck_a = (ck_a + b) & 0xFF
            ck_b = (ck_b + ck_a) & 0xFF
        if (ck_a, ck_b) == (data[end - 2], data[end - 1]):
            yield data[i + 2], data[i + 3], data[i + 6:end - 2]
            i = end
        else:
            i += 1


def decimal_text(value, scale_digits, shown_digits):
    """An integer in units of 10^-scale_digits with shown_digits decimals, halves away from zero."""
    d = (Decimal(value) / (Decimal(10) ** scale_digits)).quantize(Decimal(1).scaleb(-shown_digits), ROUND_HALF_UP)
    text = f"{d:.{shown_digits}f}"
    return text[1:] if text.startswith("-") and d == 0 else text


def expected_window(data, scale_height):
    """What the window shows once the whole capture has been decoded."""
    position, utc = "GPS coordinates", "UTC time"
    bars = {}  # channel -> (height, colour) drawn since the last readback
    last_drift = 0
    for cls, mid, p in frames(data):
        if cls != 0x01:
            continue
        if mid == 0x07 and len(p) >= 36:
            year, month, day, hour, minute, second, valid = struct.unpack_from("<HBBBBBB", p, 4)
            lon, lat, height = struct.unpack_from("<iii", p, 24)
            position = "Position: %s, %s, %s" % (decimal_text(lat, 7, 7), decimal_text(lon, 7, 7),
                                                 decimal_text(height, 3, 2))
            if valid & 0x07 == 0x07:
                utc = "UTC: %d.%02d.%02d %02d:%02d:%02d" % (year, month, day, hour, minute, second)
            else:
                utc = "UTC: unknown"
        elif mid == 0x30 and len(p) >= 8:
            for k in range(min(p[4], (len(p) - 8) // 12)):
                chn, _, flags, _, cno, elev = struct.unpack_from("<BBBBBb", p, 8 + 12 * k)
                if elev > 0 and chn < 32:
                    exact = Fraction(scale_height - 1) * cno / 60 + 1
                    height = int(exact + Fraction(1, 2))  # positive: half away from zero
                    bars[chn] = (height, GREEN if flags & 1 and cno > 0 else GREY)
        elif mid == 0x22 and len(p) >= 20:
            clk_d, = struct.unpack_from("<i", p, 8)
            f_acc, = struct.unpack_from("<I", p, 16)
            if f_acc < 500 and abs(clk_d - last_drift) > 20:
                # The drift goes to the unit, whose settings are then read back: the bars fall.
                last_drift = max(-7500, min(7500, clk_d))
                bars = {}
    return position, utc, bars


# NAV-SVINFO's satellite numbers, from u-blox's protocol description; IMES and unassigned are "other".
CONSTELLATIONS = [(1, 32, "gps"), (33, 64, "beidou"), (65, 96, "glonass"), (120, 158, "sbas"),
                  (159, 163, "beidou"), (193, 197, "qzss"), (211, 246, "galileo"), (255, 255, "glonass")]


def expected_sky(data):
    """The satellites of the capture's last NAV-SVINFO; an idle channel (satellite 0) is none."""
    sky = []
    for cls, mid, p in frames(data):
        if cls == 0x01 and mid == 0x30 and len(p) >= 8:
            sky = []
            for k in range(min(p[4], (len(p) - 8) // 12)):
                _, svid, flags, _, cno, elev, azim = struct.unpack_from("<BBBBBbh", p, 8 + 12 * k)
                if svid == 0:
                    continue
                constellation = next((name for low, high, name in CONSTELLATIONS if low <= svid <= high), "other")
                sky.append({"svid": svid, "constellation": constellation, "azimuth": azim, "elevation": elev,
                            "cno": cno, "used": bool(flags & 1)})
    return sky


def check_snapshot(snapshot, data, expected_for):
    controls = snapshot["controls"]
    sh = controls["PicSat"]["scale_height"]
    if sh not in expected_for:
        expected_for[sh] = expected_window(data, sh)
    position, utc, bars = expected_for[sh]
    problems = ["%s %r, the last NAV-PVT says %r" % (name, controls[name]["text"], text)
                for name, text in (("Label12", position), ("Label13", utc)) if controls[name]["text"] != text]
    for chn in range(32):
        bar = controls["Sat(%d)" % chn]
        height, colour = bars.get(chn, (2, None))  # a stub keeps whatever colour it had
        shown = (bar["height"], bar["top"], bar["fill_color"] if colour is not None else None)
        if shown != (height, sh - height, colour):
            problems.append("Sat(%d) height, top, colour %s, the messages say %s"
                            % (chn, shown, (height, sh - height, colour)))
    if "sky" not in expected_for:
        expected_for["sky"] = expected_sky(data)
    sky = expected_for["sky"]
    if snapshot.get("sky") != sky:
        shown = snapshot.get("sky")
        first = next((i for i, (a, b) in enumerate(zip(shown or [], sky)) if a != b), None)
        problems.append("sky of %s satellites (first difference at %s: %s), the last NAV-SVINFO has %d (%s)"
                        % (len(shown) if shown is not None else "no", first,
                           shown[first] if first is not None else "-", len(sky),
                           sky[first] if first is not None else "-"))
    if snapshot.get("sky_current") is not bool(sky):
        problems.append("sky_current %r with %d satellites just received" % (snapshot.get("sky_current"), len(sky)))
    if not isinstance(snapshot.get("history_samples"), int) or snapshot["history_samples"] < 1:
        problems.append("history_samples %r" % snapshot.get("history_samples"))
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--capture", required=True)
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--timeout", type=float, default=120.0, help="seconds one run may take")
    args = parser.parse_args()

    if not os.path.isfile(args.capture):
        message = "no receiver capture at %s" % args.capture
        if os.environ.get("CI") == "true":
            print("FAIL: " + message)
            return 1
        print("SKIP: " + message)
        return SKIP
    with open(args.capture, "rb") as f:
        data = f.read()

    failures = 0
    expected_for = {}  # chart height -> the expected window, decoded once
    with tempfile.TemporaryDirectory(prefix="tamrik-replay-") as work:
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", LC_ALL="C.UTF-8", LANG="C.UTF-8",
                   XDG_RUNTIME_DIR=work)
        snapshot_path = os.path.join(work, "snapshot.json")
        command = [args.program, "--simulate=1", "--replay", args.capture, "--replay-fast",
                   "--quit-at-replay-end", "--snapshot", snapshot_path]
        recording = os.path.join(work, "recorded.ubx")
        for run in range(1, args.runs + 1):
            if os.path.exists(snapshot_path):
                os.remove(snapshot_path)
            try:
                extra = ["--record", recording] if run == 1 else []
                result = subprocess.run(command + extra, env=env, capture_output=True, text=True, timeout=args.timeout)
                if result.returncode == 0 and os.path.exists(snapshot_path):
                    with open(snapshot_path, encoding="utf-8") as f:
                        problems = check_snapshot(json.load(f), data, expected_for)
                    if extra:
                        with open(recording, "rb") as f:
                            got, want = list(frames(f.read())), list(frames(data))
                        if got != want:
                            problems.append("the recording holds %d frames, the capture %d" % (len(got), len(want)))
                else:
                    problems = ["exit status %d, no snapshot: %s" % (result.returncode, result.stderr)]
            except subprocess.TimeoutExpired:  # the child is killed
                problems = ["the program did not close within %g s" % args.timeout]
            if problems:
                failures += 1
                print("run %d:\n  %s" % (run, "\n  ".join(problems)))
    name = os.path.basename(args.capture)
    print("%s: %d of %d runs ended showing the capture's last messages" % (name, args.runs - failures, args.runs))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
