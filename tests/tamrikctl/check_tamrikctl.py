#!/usr/bin/env python3
"""tamrikctl run as a program, as scripts run it, on simulated units.

  check_tamrikctl.py --tamrikctl PATH commands     every command once, failures and exit statuses,
                                                   the state kept between two processes
  check_tamrikctl.py --tamrikctl PATH metrics      status --prometheus read by the Prometheus
                                                   client's own parser, with a serial that needs
                                                   escaping
  check_tamrikctl.py --tamrikctl PATH replay --captures DIR
                                                   status of a unit replaying a real receiver
                                                   capture, as JSON and as metrics
  check_tamrikctl.py --tamrikctl PATH record --captures DIR
                                                   record of replayed captures: every UBX frame in
                                                   order; an existing file, a full disk, a folder
                                                   that is not there, and SIGTERM

The replay and record parts are skipped (exit status 77) when the captures are absent, unless CI=true.
"""

import argparse
import json
import locale
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77


class Failure(Exception):
    pass


def usable_locale(name):
    try:
        locale.setlocale(locale.LC_ALL, name)
        return True
    except locale.Error:
        return False
    finally:
        locale.setlocale(locale.LC_ALL, "C")


# Output stays in the C locale, also under a German one. Where that is not installed, C.UTF-8: a
# locale that does not exist leaves Wine an ASCII character set, which garbles arguments beyond ASCII.
LOCALE = "de_DE.UTF-8" if usable_locale("de_DE.UTF-8") else "C.UTF-8"


def run(args, *options, timeout=60):
    env = dict(os.environ, LC_ALL=LOCALE, LANG=LOCALE)
    result = subprocess.run([*args.runner, args.tamrikctl, *options], capture_output=True, timeout=timeout, env=env)
    return result.returncode, result.stdout.decode("utf-8"), result.stderr.decode("utf-8")


def expect(args, status, *options, out=None, reason=None, streams=False):
    """Runs tamrikctl; checks the exit status, the output and, for a failure, its one-line reason.
    A failure prints nothing, unless the command streams (what came before the failure stays)."""
    got, stdout, stderr = run(args, *options)
    shown = "tamrikctl " + " ".join(options)
    if got != status:
        raise Failure(f"{shown}: exit status {got}, expected {status}\n{stdout}{stderr}")
    if status != 0:
        if stdout and not streams:
            raise Failure(f"{shown}: printed {stdout!r} although it failed")
        if not stderr.startswith("tamrikctl") or stderr.count("\n") != 1 or not stderr.endswith("\n"):
            raise Failure(f"{shown}: the reason is not one line: {stderr!r}")
        if reason and not re.search(reason, stderr):
            raise Failure(f"{shown}: reason {stderr!r} does not match {reason!r}")
    elif stderr:
        raise Failure(f"{shown}: succeeded but wrote {stderr!r}")
    if out is not None and not re.search(out, stdout):
        raise Failure(f"{shown}: output does not match {out!r}:\n{stdout}")
    print(f"{shown}: {got}")
    return stdout


STATUS_KEYS = ["serial", "manufacturer", "product", "firmware", "output_hz", "dividers", "f3_hz", "fosc_hz",
               "output_enabled", "drive", "gps_signal", "pll_lock", "loss_count", "position", "utc",
               "clock_time_accuracy_s", "clock_frequency_accuracy", "clock_bias_s", "clock_drift", "fix_type",
               "fix_time_accuracy_s", "pdop", "num_sv", "satellites"]
DIVIDER_KEYS = ["gps", "n31", "n2_hs", "n2_ls", "n1_hs", "nc1_ls", "nc2_ls", "bw"]


def commands(args):
    usage = expect(args, 0, "--help")
    listed = re.search(r"^Commands:\n(.*?)\n\n", usage, re.S | re.M).group(1)
    names = re.findall(r"^  ([a-z][a-z0-9-]*)\b", listed, re.M)
    for name in names:
        if name != "help" and run(args, "help", name)[1] != expect(args, 0, name, "--help", out=r"^Usage: tamrikctl "):
            raise Failure(f"tamrikctl help {name} and tamrikctl {name} --help differ")

    # A folder name beyond ASCII, and beyond any one ANSI code page of Windows: arguments are text.
    with tempfile.TemporaryDirectory(suffix="-\u0416\u0443\u043a-Zo\u00eb") as state:
        one = ["--simulate=1", "--sim-state", state]
        # Settings kept by the simulated unit from one process to the next.
        expect(args, 0, *one, "set-frequency", "12345678", out=r"^exact=1\ngps=131337\n(.*\n)*programmed=1\n$")
        shown = json.loads(expect(args, 0, *one, "status", "--json", "--wait", "0"))
        if list(shown) != STATUS_KEYS or list(shown["dividers"]) != DIVIDER_KEYS:
            raise Failure(f"status --json keys: {list(shown)}, dividers {list(shown['dividers'])}")
        if shown["output_hz"] != 12345678 or shown["dividers"]["gps"] != 131337 or shown["drive"] != "32mA":
            raise Failure(f"status after set-frequency 12345678: {shown}")

        # Every other command once.
        expect(args, 0, *one, "output", "off", out=r"^output_enabled=0\n$")
        expect(args, 0, *one, "drive", "16mA", out=r"^drive=16mA\n$")
        expect(args, 0, *one, "blink", "on", out=r"^blink=1\n$")
        expect(args, 0, *one, "write-register", "136", "64", out=r"^register=136\ndata=64\n$")
        shown = json.loads(expect(args, 0, *one, "status", "--json", "--wait", "0"))
        if shown["output_enabled"] is not False or shown["drive"] != "16mA":
            raise Failure(f"status after output off and drive 16mA: {shown}")
        expect(args, 0, *one, "factory-defaults", out=r"^output_enabled=1\ndrive=32mA\nexact=1\ngps=97600\n")
        expect(args, 0, *one, "set-serial", "Q00007", out=r"^serial=Q00007\nnext_serial=Q00008\n$")
        units = json.loads(expect(args, 0, *one, "list", "--json"))
        if [u["serial"] for u in units] != ["Q00007"] or units[0]["usable"] is not True:
            raise Failure(f"list after set-serial Q00007: {units}")
        for line in expect(args, 0, *one, "receiver", "--count", "3").splitlines():
            message = json.loads(line)
            if message["message"] not in ("NAV-PVT", "NAV-SVINFO", "NAV-CLOCK") or message["serial"] != "Q00007":
                raise Failure(f"receiver: {line}")
        expect(args, 0, "plan", "10000000", out=r"^exact=1\ngps=97600\n")

        # A damaged state file is named and left alone.
        path = os.path.join(state, "SIM001.state")
        with open(path, "a") as f:
            f.write("drive_index=seven\n")
        with open(path, "rb") as f:
            damaged = f.read()
        expect(args, 2, *one, "status", reason=r"SIM001\.state' is damaged: .*left as it is")
        expect(args, 2, *one, "set-frequency", "10000000", reason=r"is damaged")
        with open(path, "rb") as f:
            if f.read() != damaged:
                raise Failure("the damaged state file was changed")

    # Failures and their statuses.
    expect(args, 64, "--simulate=1", "status", "--bogus", reason=r"unknown option '--bogus'")
    expect(args, 64, "--simulate=1", "output", reason=r"expected on or off")
    expect(args, 2, "--simulate=1", "output", "maybe", reason=r"neither on nor off")
    expect(args, 2, "--simulate=1", "set-frequency", "777777777", reason=r"the closest is 777777776\.25 Hz")
    expect(args, 3, "--simulate=2", "--unit", "NOPE01", "status", reason=r"no unit with serial NOPE01")
    expect(args, 3, "--simulate=2", "drive", "8mA", reason=r"several units are attached")
    expect(args, 3, "--simulate=0", "status", reason=r"no unit is attached")
    # Unplugged while status waits for the receiver, a second into the run.
    expect(args, 4, "--simulate=1", "--sim-faults", "unplug:SIM001@1000", "status", "--wait", "30",
           reason=r"went away")
    lines = expect(args, 4, "--simulate=1", "--sim-faults", "unplug:SIM001@2500", "receiver", reason=r"went away",
                   streams=True)
    if not lines or [json.loads(line)["message"] for line in lines.splitlines()][0] != "NAV-PVT":
        raise Failure(f"receiver before the unplug: {lines!r}")


def parse_metrics(text, serial):
    """The families of a Prometheus text exposition, read by the client library's parser."""
    try:
        from prometheus_client.parser import text_string_to_metric_families
    except ImportError:
        raise Failure("the Prometheus client library is missing: install python3-prometheus-client (setup.sh does)")
    families = {}
    for family in text_string_to_metric_families(text):
        if family.name == "tamrikctl_build_info":
            if [(s.labels, s.value) for s in family.samples] != [({"version": family.samples[0].labels.get("version")}, 1)]:
                raise Failure(f"tamrikctl_build_info: {family.samples}")
            families[family.name] = family
            continue
        if not family.name.startswith("tamrik_") or family.type != "gauge" or not family.documentation:
            raise Failure(f"family {family.name}: type {family.type}, help {family.documentation!r}")
        if family.name in families:
            raise Failure(f"family {family.name} given twice")
        for sample in family.samples:
            if sample.labels.get("serial") != serial:
                raise Failure(f"{sample.name}: serial label {sample.labels.get('serial')!r}, expected {serial!r}")
        families[family.name] = family
    # Each sample line is a sample of the family announced before it.
    names = re.findall(r"^(tamrik(?:ctl)?_\w+)", text, re.M)
    if sum(len(f.samples) for f in families.values()) != len(names):
        raise Failure("the parser did not read every sample line")
    return families


def promtool_check(text, what):
    """Prometheus' own linter passes the text, where promtool is installed (a failure under CI)."""
    promtool = shutil.which("promtool")
    if not promtool:
        if os.environ.get("CI") == "true":
            raise Failure("promtool is missing (CI=true: it is required; setup.sh installs prometheus)")
        print(f"not checked by promtool (not installed): {what}")
        return
    checked = subprocess.run([promtool, "check", "metrics"], input=text.encode("utf-8"), capture_output=True, timeout=60)
    if checked.returncode != 0:
        raise Failure(f"promtool check metrics on {what}: {(checked.stdout + checked.stderr).decode(errors='replace')}")


def metrics(args):
    # A unit whose serial holds a quote, a backslash, a line feed and a Latin-1 letter.
    serial = 'Q"\\\n\u00e9'
    with tempfile.TemporaryDirectory() as state:
        with open(os.path.join(state, "SIM001.state"), "w") as f:
            f.write("format=1\nserial=Q\"\\x5C\\x0A\\xE9\noutput_flags=3\ndrive_index=1\ngps=131337\nn31=1\n"
                    "n2_hs=11\nn2_ls=4324\nn1_hs=11\nnc1_ls=46\nnc2_ls=46\nreserved=0\nbw=9\n")
        one = ["--simulate=1", "--sim-state", state]
        text = expect(args, 0, *one, "status", "--prometheus", "--wait", "0")
        families = parse_metrics(text, serial)
        promtool_check(text, "status --prometheus at once")
        # With a fix, the satellites and the receiver's timing quality.
        promtool_check(expect(args, 0, "--simulate=1", "status", "--prometheus", "--wait", "10"),
                       "status --prometheus with a fix")
        value = {name: f.samples[0].value for name, f in families.items()}
        if value["tamrik_output_frequency_hertz"] != 12345678 or value["tamrik_drive_strength_amperes"] != 0.016:
            raise Failure(f"metrics: {value}")
        dividers = {s.labels["divider"]: s.value for s in families["tamrik_divider"].samples}
        if list(dividers) != DIVIDER_KEYS or dividers["n2_ls"] != 4324:
            raise Failure(f"tamrik_divider: {dividers}")
        info = families["tamrik_unit_info"].samples[0].labels
        if info != {"serial": serial, "manufacturer": "Tamrik", "product": "Tamrik GPS Reference Clock",
                    "firmware": "1.20"}:
            raise Failure(f"tamrik_unit_info: {info}")
        # The same serial in JSON and in key=value lines.
        if json.loads(expect(args, 0, *one, "list", "--json"))[0]["serial"] != serial:
            raise Failure("list --json does not give the serial back")
        expect(args, 0, *one, "list", out=r'^serial=Q"\\\\\\n\u00e9\n')
        expect(args, 0, *one, "status", "--json", "--wait", "0",
               out=r'^\{"serial":"Q\\"\\\\\\n\u00e9",')


def captures_present(*captures):
    """Whether the captures are there; says that the part is skipped when not (a failure under CI)."""
    missing = [c for c in captures if not os.path.exists(c)]
    if not missing:
        return True
    message = f"no receiver capture at {missing[0]}"
    if os.environ.get("CI") == "true":
        raise Failure(message + " (CI=true: the captures are required)")
    print(f"skipped: {message}")
    return False


def replay(args):
    capture = os.path.join(args.captures or "", "pyubx2_pygpsdata-MIXED.ubx")
    old = os.path.join(args.captures or "", "gpsd_ublox-lea-4t.ubx")
    timing = os.path.join(args.captures or "", "gpsd_u-blox-m8t-time.ubx")
    if not captures_present(capture, old, timing):
        return SKIP
    with tempfile.TemporaryDirectory(suffix="-\u0416\u0443\u043a-Zo\u00eb") as folder:
        # The capture under a name beyond ASCII, by a link: the captures stay where they are.
        linked = os.path.join(folder, "capture-\u0416.ubx")
        os.symlink(os.path.abspath(capture), linked)
        replay_of(args, linked)
    replay_without_pvt(args, old, timing)
    return 0


def replay_without_pvt(args, old, timing):
    """Receivers that send NAV-TIMEUTC and no NAV-PVT. The ANTARIS 4's NAV-SVINFO holds 14 satellites
    on 16 channels, two of them idle (satellite 0): 14 satellites in every form, each total the sum
    of its parts. UTC comes from NAV-TIMEUTC in every form."""
    for capture, day, satellites in ((old, "2009-01-28", 14), (timing, "2021-02-23", None)):
        unit = ["--simulate=1", "--replay", capture, "--replay-fast"]
        name = os.path.basename(capture)
        shown = json.loads(expect(args, 0, *unit, "status", "--json", "--wait", "3"))
        if not re.fullmatch(day + r"T\d\d:\d\d:\d\dZ", shown["utc"] or "") or shown["fix_type"] is not None:
            raise Failure(f"status of {name}: utc {shown['utc']}, fix_type {shown['fix_type']}")
        lines = expect(args, 0, *unit, "status", "--wait", "3")
        if not re.search(rf"^utc={day}T", lines, re.M):
            raise Failure(f"status of {name}: {lines}")
        text = expect(args, 0, *unit, "status", "--prometheus", "--wait", "3")
        promtool_check(text, f"status --prometheus of {name}")
        families = parse_metrics(text, "SIM001")
        if "tamrik_receiver_time_seconds" not in families:
            raise Failure(f"status --prometheus of {name}: no tamrik_receiver_time_seconds")
        if satellites is None:
            continue
        if len(shown["satellites"]) != satellites or any(s["svid"] == 0 for s in shown["satellites"]):
            raise Failure(f"status of {name}: satellites {shown['satellites']}")
        if not re.search(rf"^satellites={satellites}$", lines, re.M):
            raise Failure(f"status of {name}: {lines}")
        total = families["tamrik_satellites"].samples[0].value
        parts = sum(s.value for s in families["tamrik_constellation_satellites"].samples)
        series = len(families["tamrik_satellite_cno_dbhz"].samples)
        used = families["tamrik_satellites_used"].samples[0].value
        used_parts = sum(s.value for s in families["tamrik_constellation_satellites_used"].samples)
        if (total, parts, series) != (satellites,) * 3 or used != used_parts:
            raise Failure(f"status --prometheus of {name}: tamrik_satellites {total}, by constellation {parts}, "
                          f"{series} satellite series; used {used}, by constellation {used_parts}")


def replay_of(args, capture):
    unit = ["--simulate=1", "--replay", capture, "--replay-fast"]
    shown = json.loads(expect(args, 0, *unit, "status", "--json", "--wait", "10"))
    position = shown["position"]
    if position is None or abs(position["lat"] - 53.45) > 0.01 or abs(position["lon"] + 2.24) > 0.01:
        raise Failure(f"status of the capture: position {position}")
    if not re.fullmatch(r"2020-10-23T\d\d:\d\d:\d\dZ", shown["utc"] or ""):
        raise Failure(f"status of the capture: utc {shown['utc']}")
    satellites = shown["satellites"]
    if not satellites or list(satellites[0]) != ["channel", "svid", "cno", "used", "elevation"] or \
            not any(s["used"] for s in satellites):
        raise Failure(f"status of the capture: satellites {satellites}")
    families = parse_metrics(expect(args, 0, *unit, "status", "--prometheus", "--wait", "10"), "SIM001")
    for name in ("tamrik_position_latitude_degrees", "tamrik_receiver_time_seconds", "tamrik_satellite_cno_dbhz",
                 "tamrik_satellite_used", "tamrik_satellites_used"):
        if name not in families:
            raise Failure(f"no {name} for a unit with a fix")
    series = [tuple(sorted(s.labels.items())) for s in families["tamrik_satellite_cno_dbhz"].samples]
    if len(series) != len(set(series)):
        raise Failure("a satellite series is given twice")
    promtool_check(expect(args, 0, *unit, "status", "--prometheus", "--wait", "10"), "status --prometheus of a capture")
    return 0


def ubx_frames(data):
    """(class, id, payload) of every frame whose 8-bit Fletcher checksum is good, in order."""
    found, i, n = [], 0, len(data)
    while i + 8 <= n:
        if data[i] != 0xB5 or data[i + 1] != 0x62:
            i += 1
            continue
        end = i + 8 + (data[i + 4] | data[i + 5] << 8)
        ck_a = ck_b = 0
        for b in data[i + 2:end - 2]:
            ck_a = (ck_a + b) & 0xFF
            ck_b = (ck_b + ck_a) & 0xFF
        if end <= n and (ck_a, ck_b) == (data[end - 2], data[end - 1]):
            found.append(bytes(data[i + 2:end - 2]))
            i = end
        else:
            i += 1
    return found


def record(args):
    names = ["gpsd_navisys-gr701w.ubx", "pyubx2_pygpsdata-MIXED.ubx", "gpsd_ublox-zed-f9r.ubx"]
    captures = [os.path.join(args.captures or "", name) for name in names]
    if not captures_present(*captures):
        return SKIP
    with tempfile.TemporaryDirectory(suffix="-\u0416") as folder:
        out = os.path.join(folder, "recorded-\u0416.ubx")
        for capture in captures:
            with open(capture, "rb") as f:
                want = ubx_frames(f.read())
            unit = ["--simulate=1", "--replay", capture, "--replay-fast"]
            expect(args, 0, *unit, "record", out, "--duration", "4", "--force", out="")
            with open(out, "rb") as f:
                got = ubx_frames(f.read())
            if got != want:
                first = next((k for k, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
                raise Failure(f"record of {os.path.basename(capture)}: {len(got)} frames, the capture has "
                              f"{len(want)}; they differ from frame {first} on")
            # An existing file is kept without --force.
            expect(args, 1, *unit, "record", out, "--duration", "1", reason=re.escape(f"{out} exists; --force replaces it"))
            with open(out, "rb") as f:
                if ubx_frames(f.read()) != want:
                    raise Failure("record without --force changed the existing file")
        unit = ["--simulate=1"]
        absent = os.path.join(folder, "absent", "x.ubx")
        expect(args, 1, *unit, "record", absent, "--duration", "1",
               reason=re.escape(f"cannot create {absent}: ") + "No such file or directory")
        expect(args, 2, *unit, "record", out, "--duration", "soon", "--force")
        expect(args, 64, *unit, "record")
        if args.runner:
            return 0  # Wine has no /dev/full, and no signal reaches a Windows program as SIGTERM
        expect(args, 1, *unit, "record", "/dev/full", "--duration", "3", "--force",
               reason="cannot write /dev/full: No space left on device")

        # SIGTERM ends it in good order: status 0, nothing said, and every frame received is kept.
        env = dict(os.environ, LC_ALL=LOCALE, LANG=LOCALE)
        live = os.path.join(folder, "live.ubx")
        child = subprocess.Popen([*args.runner, args.tamrikctl, *unit, "record", live],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        try:
            for _ in range(100):
                if os.path.exists(live) and len(ubx_frames(open(live, "rb").read())) >= 3:
                    break
                time.sleep(0.1)
            else:
                raise Failure("record of a simulated unit wrote no three frames within 10 s")
            child.send_signal(signal.SIGTERM)
            _, err = child.communicate(timeout=10)
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
        if child.returncode != 0 or err:
            raise Failure(f"record after SIGTERM: status {child.returncode}, {err!r}")
        if len(ubx_frames(open(live, "rb").read())) < 3:
            raise Failure("record after SIGTERM: the file lost frames it had")
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tamrikctl", required=True)
    # A Windows build's tamrikctl.exe runs through the build's Wine wrapper.
    parser.add_argument("--runner", action="append", default=[], help="program that runs tamrikctl")
    parser.add_argument("--captures")
    parser.add_argument("part", choices=["commands", "metrics", "replay", "record"])
    args = parser.parse_args()
    try:
        status = {"commands": commands, "metrics": metrics, "replay": replay, "record": record}[args.part](args)
    except (Failure, subprocess.TimeoutExpired, json.JSONDecodeError, KeyError) as e:
        print(f"FAILED: {e}", file=sys.stderr)
        return 1
    return status or 0


if __name__ == "__main__":
    sys.exit(main())
