#!/usr/bin/env python3
"""`tamrikctl time-server` as a program: on a system tree of its own (--root), and on a simulated unit.

    check_time_server.py --program PATH --unit-file tamrik-gps-bridge@.service

In a tree with chrony's, gpsd's and AppArmor's files as Debian installs them: setup --dry-run prints
every file for each option and changes nothing; setup writes them, each marked as setup's, and
enables the bridge's instance there (systemctl --root); a second setup changes nothing; undo leaves
the tree as it was, file by file. A file of anyone else's in setup's way, a refclock line by hand
for the same socket, gpsd's AppArmor file holding rules, chrony too old or not reading conf.d: each
stops setup with one line and status 2, and nothing in the tree changes. Bad input (a duration of
zero or beyond a day, --apply with no measurement, a serial that cannot name files, an unknown unit)
is one line and its status. On the running system setup refuses to run but as root, and check on a
simulated unit prints its links and exits 5. No service of this machine is touched.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile


class Failure(Exception):
    pass


REFCLOCK = "refclock SOCK /run/chrony.tamrik-1234.sock refid TMRK poll 3 delay 0.01 offset 0.105 noselect"
FILES = {
    "refclock": "/etc/chrony/conf.d/tamrik-1234.conf",
    "chrony": "/etc/systemd/system/chrony.service.d/tamrik-1234.conf",
    "gpsd": "/etc/systemd/system/gpsd.service.d/tamrik-1234.conf",
    "bridge": "/etc/systemd/system/tamrik-gps-bridge@1234.service.d/tamrik-gpsd.conf",
}
LOCAL = "/etc/apparmor.d/local/usr.sbin.gpsd"
WANTS = "/etc/systemd/system/multi-user.target.wants/tamrik-gps-bridge@1234.service"


def make_tree(root, unit_file, chrony_version="4.3-2+deb12u1"):
    for folder in ("etc/chrony/conf.d", "etc/chrony/sources.d", "usr/lib/systemd/system", "usr/sbin", "etc/apparmor.d/local",
                   "var/lib/dpkg", "etc/systemd/system"):
        os.makedirs(os.path.join(root, folder), exist_ok=True)
    # Where systemctl --root looks on every release (Debian 13's looks in /usr/lib alone).
    shutil.copy(unit_file, os.path.join(root, "usr/lib/systemd/system"))
    for name in ("usr/sbin/chronyd", "usr/sbin/gpsd", "etc/apparmor.d/usr.sbin.gpsd", LOCAL[1:]):
        open(os.path.join(root, name), "w").close()
    write(root, "/etc/chrony/chrony.conf", "confdir /etc/chrony/conf.d\npool 2.debian.pool.ntp.org iburst\n"
                                           "sourcedir /etc/chrony/sources.d\n")
    write(root, "/var/lib/dpkg/status", dpkg_status(chrony_version))


def dpkg_status(chrony_version):
    return (f"Package: chrony\nStatus: install ok installed\nMaintainer: Debian\nArchitecture: amd64\n"
            f"Version: {chrony_version}\nDescription: chrony\n\n")


def write(root, path, text):
    with open(root + path, "w") as f:
        f.write(text)


def read(root, path):
    with open(root + path) as f:
        return f.read()


def tree(root):
    """Every file, folder and link under root, with its text or target."""
    found = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            rel = path[len(root):]
            if os.path.islink(path):
                found[rel] = "-> " + os.readlink(path)
            elif os.path.isdir(path):
                found[rel] = "folder"
            else:
                with open(path, "rb") as f:
                    found[rel] = f.read()
    return found


def run(args, *words, expect=0, runner=()):
    r = subprocess.run(list(runner) + [args.program] + list(words), capture_output=True, text=True, timeout=60)
    if r.returncode != expect:
        raise Failure(f"{' '.join(words)}: status {r.returncode}, not {expect}; stdout {r.stdout[-600:]!r} stderr {r.stderr!r}")
    if expect != 0:
        lines = r.stderr.strip().splitlines()
        if len(lines) != 1 or not lines[0].startswith("tamrikctl time-server: "):
            raise Failure(f"{' '.join(words)}: not one line on stderr: {r.stderr!r}")
    return r


def refused(args, root, words, says):
    """setup refuses with status 2, one line that says `says`, and the tree stays as it was."""
    before = tree(root)
    r = run(args, "time-server", "setup", "--root", root, "--unit", "1234", *words, expect=2)
    if says not in r.stderr:
        raise Failure(f"setup {words}: {r.stderr.strip()!r} does not say {says!r}")
    if tree(root) != before:
        raise Failure(f"setup {words} refused, yet changed the tree")
    return r.stderr.strip()


def check(args, tmp):
    root = os.path.join(tmp, "root")
    make_tree(root, args.unit_file)
    original = tree(root)

    # What setup would write, for each option, and nothing written.
    for words in ([], ["--gpsd"]):
        out = run(args, "time-server", "setup", "--root", root, "--unit", "1234", "--dry-run", *words).stdout
        for needed in (f"would write {FILES['refclock']}:", "    | " + REFCLOCK, f"would write {FILES['chrony']}:",
                       "    | ExecStartPost=+/bin/chgrp dialout /run/chrony.tamrik-1234.sock",
                       "    | ExecStartPost=+/bin/chmod g+w /run/chrony.tamrik-1234.sock",
                       f"would run: systemctl --root={root} enable tamrik-gps-bridge@1234.service"):
            if needed not in out.splitlines():
                raise Failure(f"setup --dry-run {words}: no line {needed!r} in\n{out}")
        gpsd_lines = ["    | ExecStart=/usr/sbin/gpsd -n -b /run/tamrik/1234/gps", "    | BindsTo=tamrik-gps-bridge@1234.service",
                      f"would write {FILES['bridge']}:", "    | Upholds=gpsd.service",
                      f"would write {LOCAL}:", "    | /dev/pts/[0-9]* rw,"]
        present = [l for l in gpsd_lines if l in out.splitlines()]
        if present != (gpsd_lines if words else []):
            raise Failure(f"setup --dry-run {words}: gpsd's lines {present}")
        if tree(root) != original:
            raise Failure(f"setup --dry-run {words} changed the tree")

    # Set up, then again: the second run changes nothing; undo leaves the tree as it was.
    run(args, "time-server", "setup", "--root", root, "--unit", "1234", "--gpsd")
    made = tree(root)
    for path in list(FILES.values()):
        if not made.get(path, b"").startswith(b"# Made by tamrikctl time-server setup for unit 1234"):
            raise Failure(f"{path} is not there, or not marked as setup's: {made.get(path)!r}")
    if not made.get(WANTS, "").startswith("-> "):
        raise Failure(f"the bridge's instance is not enabled in the tree: {WANTS}")
    if REFCLOCK + "\n" not in made[FILES["refclock"]].decode():
        raise Failure("the refclock line is not the default one")
    second = run(args, "time-server", "setup", "--root", root, "--unit", "1234", "--gpsd").stdout
    if "wrote" in second or "ran:" in second or tree(root) != made:
        raise Failure(f"the second setup changed something:\n{second}")
    # calibrate --apply with no measurement kept: one line, nothing changed.
    r = run(args, "time-server", "calibrate", "--root", root, "--apply", expect=2)
    if "no measurement to apply" not in r.stderr or tree(root) != made:
        raise Failure(f"calibrate --apply without a measurement: {r.stderr!r}")
    # A measurement kept in the file: --apply writes it, the owner's own options stay; once more it
    # says it is applied already; one made with another offset is refused.
    conf = made[FILES["refclock"]].decode().replace(" noselect\n", " prefer noselect\n")
    kept = "# calibration: 2026-12-10T23:00:00Z minutes 60 samples 440 median 0.0042 spread 0.0015 tolerance 0.0002 " \
           "for-offset {} offset 0.1092 delay 0.003 selectable {} applied no\n"
    for selectable, line in (("yes", "delay 0.003 offset 0.1092 prefer"), ("no", "delay 0.003 offset 0.1092 prefer noselect")):
        write(root, FILES["refclock"], conf.replace("refclock SOCK", kept.format("0.105", selectable) + "refclock SOCK"))
        out = run(args, "time-server", "calibrate", "--root", root, "--apply").stdout
        if "refclock SOCK /run/chrony.tamrik-1234.sock refid TMRK poll 3 " + line + "\n" not in read(root, FILES["refclock"]):
            raise Failure(f"--apply (selectable {selectable}) wrote {read(root, FILES['refclock'])!r}: {out}")
    if "applied already" not in run(args, "time-server", "calibrate", "--root", root, "--apply").stdout:
        raise Failure("a second --apply did not say it was applied already")
    write(root, FILES["refclock"], conf.replace("refclock SOCK", kept.format("0.1", "yes") + "refclock SOCK"))
    r = run(args, "time-server", "calibrate", "--root", root, "--apply", expect=2)
    if "measure again" not in r.stderr or "offset 0.105 prefer noselect" not in read(root, FILES["refclock"]):
        raise Failure(f"--apply of a measurement made with another offset: {r.stderr!r}")
    write(root, FILES["refclock"], made[FILES["refclock"]].decode())
    # One unit a time server.
    r = run(args, "time-server", "setup", "--root", root, "--unit", "5678", expect=2)
    if "unit 1234 is set up already" not in r.stderr:
        raise Failure(f"a second unit: {r.stderr!r}")
    undo = run(args, "time-server", "undo", "--root", root).stdout
    if tree(root) != original:
        left = sorted(set(tree(root).items()) ^ set(original.items()))
        raise Failure(f"undo left the tree changed: {left[:6]}\n{undo}")
    if run(args, "time-server", "undo", "--root", root).stdout.strip() != \
            "nothing to undo: no file made by tamrikctl time-server setup":
        raise Failure("a second undo did something")

    # The bridge's instance enabled before setup, and gpsd's AppArmor file not there: undo leaves the
    # one enabled and takes the other away again, unless its owner added a rule to it since.
    subprocess.run(["systemctl", f"--root={root}", "enable", "tamrik-gps-bridge@1234.service"], capture_output=True, timeout=60)
    os.remove(root + LOCAL)
    before = tree(root)
    run(args, "time-server", "setup", "--root", root, "--unit", "1234", "--gpsd")
    run(args, "time-server", "undo", "--root", root)
    if tree(root) != before:
        raise Failure(f"undo after a set-up on an enabled instance: {sorted(set(tree(root).items()) ^ set(before.items()))[:4]}")
    run(args, "time-server", "setup", "--root", root, "--unit", "1234", "--gpsd")
    with open(root + LOCAL, "a") as f:
        f.write("/dev/ttyUSB1 rw,\n")
    run(args, "time-server", "undo", "--root", root)
    if read(root, LOCAL) != "/dev/ttyUSB1 rw,\n":
        raise Failure(f"undo of a file setup made and its owner added to: {read(root, LOCAL)!r}")
    subprocess.run(["systemctl", f"--root={root}", "disable", "tamrik-gps-bridge@1234.service"], capture_output=True, timeout=60)
    write(root, LOCAL, "")

    # A step that fails (a file where a folder must be) takes back those before it.
    open(root + "/etc/systemd/system/gpsd.service.d", "w").close()
    before = tree(root)
    r = run(args, "time-server", "setup", "--root", root, "--unit", "1234", "--gpsd", expect=5)
    if "nothing was changed" not in r.stderr or tree(root) != before:
        raise Failure(f"a failed setup left the tree changed: {r.stderr!r} "
                      f"{sorted(set(tree(root).items()) ^ set(before.items()))[:4]}")
    os.remove(root + "/etc/systemd/system/gpsd.service.d")

    # Files of anyone else's: setup stops, and they stay.
    for name, path in FILES.items():
        os.makedirs(os.path.dirname(root + path), exist_ok=True)
        write(root, path, "# mine\n")
        said = refused(args, root, ["--gpsd"], "in the way")
        if path not in said or read(root, path) != "# mine\n":
            raise Failure(f"a file of another at {path}: {said}")
        os.remove(root + path)
    write(root, LOCAL, "# mine\n/dev/ttyUSB9 rw,\n")
    refused(args, root, ["--gpsd"], f"{LOCAL} holds rules of its own")
    write(root, LOCAL, "")
    run(args, "time-server", "setup", "--root", root, "--unit", "1234", "--dry-run")  # without --gpsd the file is not looked at
    conf = read(root, "/etc/chrony/chrony.conf")
    write(root, "/etc/chrony/chrony.conf", conf + "refclock SOCK /run/chrony.tamrik-1234.sock refid GPS\n")
    refused(args, root, [], "/etc/chrony/chrony.conf:4 names /run/chrony.tamrik-1234.sock already")
    write(root, "/etc/chrony/chrony.conf", "pool 2.debian.pool.ntp.org iburst\n")
    refused(args, root, [], "does not read /etc/chrony/conf.d")
    write(root, "/etc/chrony/chrony.conf", conf)
    write(root, "/var/lib/dpkg/status", dpkg_status("3.5-2"))
    refused(args, root, [], "chrony 3.5-2 is older than 4.0")
    make_tree(root, args.unit_file)
    baseline = tree(root)

    # Bad input: one line, its status.
    for duration in ("0", "1441", "abc", "-5"):
        r = run(args, "time-server", "calibrate", "--root", root, "--unit", "1234", "--duration", duration, expect=2)
        if "--duration" not in r.stderr:
            raise Failure(f"--duration {duration}: {r.stderr!r}")
    for serial in ("../x", "AB-12"):
        r = run(args, "time-server", "setup", "--root", root, "--unit", serial, expect=2)
        if "cannot name files and services" not in r.stderr:
            raise Failure(f"the serial {serial}: {r.stderr!r}")
    run(args, "time-server", "setup", "--root", root, expect=2)  # --root without --unit
    run(args, "time-server", "frobnicate", expect=64)
    run(args, "time-server", "setup", "--json", expect=64)
    r = run(args, "--simulate=1", "--unit", "NOPE", "time-server", "setup", "--dry-run", expect=3)
    if "no unit with serial NOPE is attached" not in r.stderr:
        raise Failure(f"an unknown unit: {r.stderr!r}")
    if tree(root) != baseline:
        raise Failure("bad input changed the tree")

    # The running system: setup only as root; check on a simulated unit tells each link.
    nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []
    if nobody and shutil.which("setpriv"):
        r = run(args, "--simulate=1", "time-server", "setup", expect=2, runner=nobody)
        if "run it as root" not in r.stderr:
            raise Failure(f"setup not as root: {r.stderr!r}")
    r = run(args, "--simulate=1", "--unit", "SIM001", "time-server", "check", "--json", expect=5)
    report = json.loads(r.stdout)
    links = [l["link"] for l in report["links"]]
    if links != ["unit", "bridge", "socket", "refclock", "apparmor", "chrony", "calibration", "gpsd"] or report["ok"]:
        raise Failure(f"check --json: {report}")
    if report["links"][0]["state"] != "ok" or not all(l["fix"] for l in report["links"] if l["state"] == "fault"):
        raise Failure(f"check --json: {report['links']}")
    print("time-server on a tree of its own: dry-run for each option, setup, setup again unchanged, undo to the "
          "tree as it was; files of another, a refclock by hand, AppArmor rules, old chrony refused; bad input refused")
    print("check on SIM001: " + "; ".join(f"{l['link']} {l['state']}" for l in report["links"]))
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--unit-file", required=True)
    args = parser.parse_args()
    if shutil.which("systemctl") is None:
        print("SKIP: systemctl is not installed (setup enables the bridge's instance with systemctl --root)")
        return 77
    with tempfile.TemporaryDirectory() as tmp:
        try:
            return check(args, tmp)
        except Failure as e:
            print(f"FAIL: {e}")
            return 1


if __name__ == "__main__":
    sys.exit(main())
