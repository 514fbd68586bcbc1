"""What the checks of the exporter against the real Prometheus share: a free loopback port, HTTP
gets, bounded waits, stopping what they started, and a Prometheus of their own.

Every process started goes into a list that stop_all() ends; every wait is bounded.
"""
import os
import signal
import socket
import shutil
import subprocess
import sys
import time
import urllib.request

SKIP = 77


class Failure(Exception):
    pass


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(url, timeout=5):
    with urllib.request.urlopen(url, timeout=timeout) as r:
        return r.status, r.read().decode()


def wait_for(what, check, seconds):
    """Calls check() until it returns something true, at most `seconds` long."""
    deadline = time.monotonic() + seconds
    last = None
    while time.monotonic() < deadline:
        try:
            last = check()
            if last:
                return last
        except OSError as e:
            last = e
        time.sleep(0.25)
    raise Failure(f"{what}: not within {seconds} s (last: {last!r})")


def stop(process, name):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            return process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=15)
            raise Failure(f"{name} did not end on SIGTERM")
    return process.returncode


def stop_all(processes, kill_first=False):
    """Ends every (process, name), the latest started first; kill_first for programs no signal
    reaches (a Windows program under Wine)."""
    for process, name in reversed(processes):
        try:
            if kill_first and process.poll() is None:
                process.kill()
            stop(process, name)
        except Failure as e:
            print(e, file=sys.stderr)


def missing(tool, package):
    """The status for a tool that is not installed: a skip, but a failure under CI=true."""
    if os.environ.get("CI") == "true":
        print(f"{tool} is missing (CI=true: it is required; setup.sh installs {package})")
        return 1
    print(f"skipped: {tool} is not installed (setup.sh installs {package})")
    return SKIP


def checked_samples(text):
    """The samples of a metrics text, {'name{labels}': value}, once promtool (where installed; always
    under CI=true) found nothing wrong with the text."""
    if shutil.which("promtool"):
        lint = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True, timeout=20)
        if lint.returncode != 0:
            raise Failure(f"promtool check metrics: {lint.stdout}{lint.stderr}")
    elif os.environ.get("CI") == "true":
        raise Failure("promtool missing under CI (Debian package prometheus, from setup.sh)")
    values = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            name, value = line.rsplit(" ", 1)
            values[name] = float(value)
    return values


def sample(values, name, **labels):
    """The one sample of `name` whose labels include `labels`, or None."""
    found = [v for k, v in values.items()
             if k.split("{")[0] == name and all(f'{l}="{w}"' in k for l, w in labels.items())]
    return found[0] if len(found) == 1 else None


def start_prometheus(prometheus, folder, config, processes):
    """A Prometheus on a free loopback port with the configuration text `config`, its storage in
    `folder`; returns its API's address once it is ready."""
    with open(os.path.join(folder, "prometheus.yml"), "w") as f:
        f.write(config)
    log = os.path.join(folder, "prometheus.log")
    for _ in range(3):  # a free port may be taken again between the look and the start
        api_port = free_port()
        server = subprocess.Popen(
            [prometheus, f"--config.file={folder}/prometheus.yml", f"--storage.tsdb.path={folder}/data",
             f"--web.listen-address=127.0.0.1:{api_port}", "--log.level=warn"],
            stdout=subprocess.DEVNULL, stderr=open(log, "w"))
        processes.append((server, "prometheus"))
        try:
            wait_for("prometheus ready",
                     lambda: server.poll() is None and get(f"http://127.0.0.1:{api_port}/-/ready")[0] == 200, 30)
            return f"http://127.0.0.1:{api_port}/api/v1"
        except Failure:
            stop(server, "prometheus")
    raise Failure("prometheus did not start: " + open(log).read()[-2000:])
