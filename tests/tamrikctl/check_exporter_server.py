#!/usr/bin/env python3
"""The exporter's HTTP server against hostile clients, and behind TLS and passwords, on loopback.

    check_exporter_server.py --tamrikctl PATH [--prometheus PATH] [--runner WORD...] serve|slow|tls

serve: the exporter (tamrikctl.exe under Wine with --runner) on a free loopback port answers
      /metrics with a simulated unit's metrics, and /api/units (or, where that route is not
      served, /); with all the connections it takes held idle, a scrape is served in the place
      of the oldest held, which is closed.
slow: 72 connections, more than the exporter takes, held open on it (under Wine too), half
      sending a header line a second and never ending the request, half idle (each opened again
      when the exporter closes it), while a real Prometheus scrapes it every second for 30 s:
      every scrape succeeds (up is 1 throughout, per Prometheus' own count_over_time and
      min_over_time), and the exporter cuts each slow client after its bounded time instead of
      keeping it.
tls:  a throw-away CA and server certificate (openssl) and a bcrypt password (htpasswd -B) in a
      web config file. curl with the CA and the password gets the metrics; without the CA, with
      a wrong password or none, or in plain HTTP, it gets no data (401 with WWW-Authenticate:
      Basic; the TLS refusal). A real Prometheus scrapes it with scheme https, tls_config ca_file
      and basic_auth. Bad web config files stop the exporter with exit 2 and one line, before it
      listens.

Every process started is stopped; every wait is bounded. Exit 77 (skip) when a tool is missing,
except under CI=true.
"""
import argparse
import base64
import json
import select
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from prometheus_harness import Failure, get, missing, start_prometheus as start_server, stop, stop_all, wait_for  # noqa: E402

SLOW_CLIENTS = 72  # more than CONNECTIONS: the server is full throughout, each client reopening when cut
SCRAPE_SECONDS = 30
REQUEST_SECONDS = 10  # the exporter's bound on a request, ServerLimits::requestSeconds
CONNECTIONS = 64  # the connections it takes at once, ServerLimits::connections


def start_exporter(tamrikctl, *extra, runner=(), seconds=30):
    exporter = subprocess.Popen([*runner, tamrikctl, "--simulate=1", "exporter", "--listen", "127.0.0.1:0", *extra],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    ready, _, _ = select.select([exporter.stderr], [], [], seconds)
    line = exporter.stderr.readline() if ready else f"nothing within {seconds} s"
    m = re.fullmatch(r"tamrikctl exporter: serving (https?)://127\.0\.0\.1:(\d+)/metrics\n", line)
    if not m:
        stop(exporter, "the exporter")
        raise Failure(f"the exporter's first line: {line!r}")
    return exporter, int(m.group(2))


def start_prometheus(prometheus, folder, scrape_config, processes):
    return start_server(prometheus, folder, "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                        "scrape_configs:\n  - job_name: tamrik\n" + scrape_config, processes)


def query(api, expr):
    body = get(f"{api}/query?" + urllib.parse.urlencode({"query": expr}))[1]
    return [float(r["value"][1]) for r in json.loads(body)["data"]["result"]]


class SlowClients:
    """Connections that hold the server: half drip a header line a second, half say nothing."""

    def __init__(self, port, count):
        self.port, self.count = port, count
        self.done = threading.Event()
        self.lock = threading.Lock()
        self.open = 0
        self.cut_after = []  # how long each dripping connection lived before the server closed it
        self.threads = [threading.Thread(target=self.hold, args=(i % 2 == 0,), daemon=True) for i in range(count)]

    def __enter__(self):
        for t in self.threads:
            t.start()
        return self

    def __exit__(self, *exc):
        self.done.set()
        for t in self.threads:
            t.join(timeout=5)

    def hold(self, drip):
        while not self.done.is_set():
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=2) as s:
                    opened = time.monotonic()
                    with self.lock:
                        self.open += 1
                    try:
                        if drip:
                            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n")
                        n = 0
                        while not self.done.wait(1):
                            if drip:
                                s.sendall(b"X-Slow-%d: 1\r\n" % n)
                                n += 1
                            else:
                                s.settimeout(0.01)
                                try:
                                    if s.recv(1) == b"":
                                        break
                                except socket.timeout:
                                    pass
                    except OSError:
                        if drip:
                            with self.lock:
                                self.cut_after.append(time.monotonic() - opened)
                    finally:
                        with self.lock:
                            self.open -= 1
            except OSError:
                self.done.wait(0.2)


def check_slow(args, prometheus, folder, processes):
    exporter, port = start_exporter(args.tamrikctl, runner=args.runner, seconds=150 if args.runner else 30)
    processes.append((exporter, "the exporter"))
    with SlowClients(port, SLOW_CLIENTS) as clients:
        # Prometheus comes to a server already full: each of its connections takes another's place.
        wait_for(f"{CONNECTIONS} connections held", lambda: clients.open >= CONNECTIONS, 15)
        # (Every scrape from the first counts: one that has its connection keeps it, alive.)
        began = time.monotonic()
        api = start_prometheus(prometheus, folder, f"    static_configs:\n      - targets: ['127.0.0.1:{port}']\n",
                               processes)
        started = time.monotonic()
        counts = []  # the connections open, each second: a moment's count alone dips as clients reopen
        while time.monotonic() - started < SCRAPE_SECONDS:
            time.sleep(1)
            counts.append(clients.open)
        held, most = sorted(counts)[len(counts) // 2], max(counts)
    window = f"{int(time.monotonic() - began) + 1}s"
    scrapes = query(api, f'count_over_time(up{{job="tamrik"}}[{window}])')
    lowest = query(api, f'min_over_time(up{{job="tamrik"}}[{window}])')
    samples = query(api, f'min_over_time(scrape_samples_scraped{{job="tamrik"}}[{window}])')
    if not scrapes or scrapes[0] < SCRAPE_SECONDS * 0.8 or lowest != [1.0] or not samples or samples[0] < 10:
        raise Failure(f"with {SLOW_CLIENTS} slow clients: {scrapes} scrapes in {window}, lowest up {lowest}, "
                      f"fewest samples {samples}")
    if held < CONNECTIONS * 0.8:
        raise Failure(f"the slow clients did not hold the server's connections (a median of {held} open, "
                      f"{CONNECTIONS} taken)")
    if not clients.cut_after or max(clients.cut_after) > REQUEST_SECONDS + 3:
        raise Failure(f"slow requests were not cut in time: {sorted(clients.cut_after)[-3:]}")
    if not args.runner and stop(exporter, "the exporter") != 0:
        raise Failure(f"the exporter ended with {exporter.returncode} on SIGTERM")
    print(f"{int(scrapes[0])} scrapes in {window}, all up, while {most} slow connections were held; "
          f"slow requests cut after at most {max(clients.cut_after):.1f} s")


def closed_by_server(sock, seconds):
    sock.settimeout(seconds)
    try:
        return sock.recv(1) == b""
    except socket.timeout:
        return False
    except OSError:
        return True  # reset


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"VmRSS:\s+(\d+) kB", f.read()).group(1))


def check_body_refused(port, pid):
    """A request with a body, by length or chunked, is answered 413 from its head and the connection
    ends: the body is never read (the exporter does not grow while the client keeps sending)."""
    before = rss_kib(pid) if pid else 0
    for framing in (b"Content-Length: 300000000", b"Transfer-Encoding: chunked"):
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            started = time.monotonic()
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n" + framing + b"\r\n\r\n" + b"0" * 65536)
            head = s.recv(64)
            if not head.startswith(b"HTTP/1.1 413") or time.monotonic() - started > 2:
                raise Failure(f"a GET with {framing.decode()}: {head!r} after {time.monotonic() - started:.1f} s")
            chunk, sent = b"0" * (1 << 20), 0
            try:
                while sent < 50 << 20 and time.monotonic() - started < 10:
                    sent += s.send(chunk)
            except OSError:
                pass
            if sent >= 50 << 20:
                raise Failure(f"a GET with {framing.decode()}: the exporter took {sent >> 20} MiB of its body")
    if pid and rss_kib(pid) - before > 16 * 1024:
        raise Failure(f"the exporter grew from {before} to {rss_kib(pid)} KiB on refused bodies")


def check_serve(args, processes):
    # Under Wine the first start sets up the prefix.
    exporter, port = start_exporter(args.tamrikctl, runner=args.runner, seconds=150 if args.runner else 30)
    processes.append((exporter, "the exporter"))
    base = f"http://127.0.0.1:{port}"
    wait_for("/metrics with the unit up", lambda: 'tamrik_up{serial="SIM001"} 1' in get(f"{base}/metrics")[1], 30)
    check_body_refused(port, None if args.runner else exporter.pid)
    # Every connection the server takes held idle: each newer one is served in the place of the
    # oldest held, which is closed; the next oldest are kept.
    held = [socket.create_connection(("127.0.0.1", port), timeout=5) for _ in range(CONNECTIONS)]
    try:
        time.sleep(0.5)  # all taken by the server
        newer = []  # kept open, so that each takes a place of its own
        for i in range(3):
            newer.append(socket.create_connection(("127.0.0.1", port), timeout=5))
            newer[-1].sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
            head = newer[-1].recv(64)
            if not head.startswith(b"HTTP/1.1 200"):
                raise Failure(f"with {CONNECTIONS} connections held, a scrape got {head!r}")
        held += newer
        time.sleep(1)
        readable = select.select(held[:CONNECTIONS], [], [], 1)[0]
        replaced = [i for i, s in enumerate(held[:CONNECTIONS]) if s in readable and closed_by_server(s, 1)]
        # Oldest first (the connections were taken in the order they came, within the clock's grain).
        # Under Wine every held connection is closed at once: there only the scrapes are checked.
        if replaced[:3] != [0, 1, 2] if args.runner else len(replaced) != 3 or max(replaced) >= 8:
            raise Failure(f"with {CONNECTIONS} connections held, 3 scrapes closed the held connections {replaced}")
        for s in held[:4]:
            s.close()
        wait_for("/metrics with most connections held", lambda: get(f"{base}/metrics")[0] == 200, 10)
        try:
            status, body = get(f"{base}/api/units")
            if status != 200 or "SIM001" not in body:
                raise Failure(f"/api/units: {status}, {body[:200]!r}")
            served = "/api/units"
        except urllib.error.HTTPError as e:
            if e.code != 404:
                raise
            status, body = get(f"{base}/")
            if status != 200 or "/metrics" not in body:
                raise Failure(f"/: {status}, {body[:200]!r}")
            served = "/"
    finally:
        for s in held:
            s.close()
    print(f"the exporter{' under ' + os.path.basename(args.runner[0]) if args.runner else ''} served /metrics and "
          f"{served} on 127.0.0.1:{port}, with {CONNECTIONS} connections held in the place of the oldest")


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, timeout=60, **kw)


def make_certificates(folder):
    """A CA, and a server certificate for 127.0.0.1 and localhost signed by it."""
    def key(name, spec="rsa:2048"):
        run(["openssl", "genpkey", "-algorithm", spec.split(":")[0].upper(), "-pkeyopt",
             f"rsa_keygen_bits:{spec.split(':')[1]}", "-out", f"{folder}/{name}"])
    key("ca.key")
    run(["openssl", "req", "-x509", "-new", "-key", f"{folder}/ca.key", "-days", "2", "-subj", "/CN=tamrik test CA",
         "-out", f"{folder}/ca.crt"])
    key("server.key")
    run(["openssl", "req", "-new", "-key", f"{folder}/server.key", "-subj", "/CN=127.0.0.1", "-out", f"{folder}/server.csr"])
    with open(f"{folder}/san.ext", "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    run(["openssl", "x509", "-req", "-in", f"{folder}/server.csr", "-CA", f"{folder}/ca.crt", "-CAkey", f"{folder}/ca.key",
         "-CAcreateserial", "-days", "2", "-extfile", f"{folder}/san.ext", "-out", f"{folder}/server.crt"])
    key("weak.key", "rsa:1024")


def curl(url, *options):
    """(HTTP status or None, body, curl's exit status)."""
    r = subprocess.run(["curl", "-sS", "--max-time", "10", "-o", "-", "-w", "\n%{http_code}", *options, url],
                       capture_output=True, text=True, timeout=30)
    body, _, code = r.stdout.rpartition("\n")
    return (int(code) if code.isdigit() and code != "000" else None), body, r.returncode


def check_tls(args, prometheus, folder, processes):
    for tool, package in (("openssl", "openssl"), ("curl", "curl"), ("htpasswd", "apache2-utils")):
        if not shutil.which(tool):
            return missing(tool, package)
    make_certificates(folder)
    hashed = run(["htpasswd", "-nbB", "-C", "6", "prometheus", "right horse"]).stdout.strip().split(":", 1)[1]
    config = f"{folder}/web.yml"
    with open(config, "w") as f:
        # Relative paths are the file's folder's.
        f.write("tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
                f"basic_auth_users:\n  prometheus: '{hashed}'\n")

    # Files that stop the exporter before it listens, one line and exit 2, whether the file, its
    # settings or the key it names is at fault (the unit tests go through every reason).
    bad = {
        "missing.yml": None,
        "unknown.yml": "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n  kye_file: x\n",
        "weak.yml": "tls_server_config:\n  cert_file: server.crt\n  key_file: weak.key\n",
        # Refused at once, never a passphrase prompt on the terminal (that would hang).
        "locked.yml": "tls_server_config:\n  cert_file: server.crt\n  key_file: locked.key\n",
    }
    run(["openssl", "pkey", "-in", f"{folder}/server.key", "-aes256", "-passout", "pass:s3cret", "-out",
         f"{folder}/locked.key"])
    for name, text in bad.items():
        path = f"{folder}/{name}"
        if text is not None:
            with open(path, "w") as f:
                f.write(text)
        r = subprocess.run([args.tamrikctl, "--simulate=1", "exporter", "--listen", "127.0.0.1:0",
                            "--web.config.file", path], capture_output=True, text=True, timeout=30)
        lines = r.stderr.splitlines()
        if r.returncode != 2 or len(lines) != 1 or not lines[0].startswith("tamrikctl exporter: --web.config.file ") \
                or "serving" in r.stderr:
            raise Failure(f"{name}: exit {r.returncode}, {r.stderr!r}")

    exporter, port = start_exporter(args.tamrikctl, "--web.config.file", config)
    processes.append((exporter, "the exporter"))
    url = f"https://127.0.0.1:{port}/metrics"
    ca = ["--cacert", f"{folder}/ca.crt"]
    wait_for("curl with the CA and the password",
             lambda: (lambda r: r[0] == 200 and 'tamrik_up{serial="SIM001"} 1' in r[1] and r)(
                 curl(url, *ca, "-u", "prometheus:right horse")), 15)
    def basic(scheme, credentials):
        return ["-H", f"Authorization: {scheme} " + base64.b64encode(credentials).decode()]
    status, _, _ = curl(url, *ca, *basic("basic", b"prometheus:right horse"))
    if status != 200:
        raise Failure(f"the scheme written 'basic': {status}")
    for what, options in (("a wrong password", ["-u", "prometheus:wrong horse"]),
                          ("an unknown user", ["-u", "someone:right horse"]),
                          ("junk after a NUL behind the right password", basic("Basic", b"prometheus:right horse\0junk")),
                          ("no password", [])):
        status, body, _ = curl(url, *ca, "-D", "-", *options)
        if status != 401 or "tamrik" in body or not re.search(r"(?im)^WWW-Authenticate: Basic", body):
            raise Failure(f"curl with {what}: {status}, {body[:300]!r}")
    status, body, rc = curl(url, "-u", "prometheus:right horse")
    if rc != 60 or "tamrik" in body:  # 60: the peer's certificate cannot be verified
        raise Failure(f"curl without the CA: exit {rc}, {status}, {body[:200]!r}")
    status, body, _ = curl(f"http://127.0.0.1:{port}/metrics", "-u", "prometheus:right horse")
    if status != 400 or "tamrik" in body or "HTTPS" not in body:
        raise Failure(f"plain HTTP to the TLS port: {status}, {body[:200]!r}")
    status, body, _ = curl(url, *ca, "-u", "prometheus:right horse", "--tls-max", "1.2")
    if status != 200:
        raise Failure(f"TLS 1.2 was not served: {status}")
    # min_version TLS13: a client of TLS 1.2 at most is refused.
    with open(f"{folder}/web13.yml", "w") as f:
        f.write("tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n  min_version: TLS13\n")
    only13, port13 = start_exporter(args.tamrikctl, "--web.config.file", f"{folder}/web13.yml")
    processes.append((only13, "the TLS 1.3 exporter"))
    status, body, rc = curl(f"https://127.0.0.1:{port13}/metrics", *ca, "--tls-max", "1.2")
    if rc == 0 or "tamrik" in body:
        raise Failure(f"min_version TLS13 served TLS 1.2: exit {rc}, {status}")
    status, body, rc = curl(f"https://127.0.0.1:{port13}/metrics", *ca, "--tlsv1.3")
    if status != 200:
        raise Failure(f"min_version TLS13 did not serve TLS 1.3: exit {rc}, {status}")
    stop(only13, "the TLS 1.3 exporter")

    api = start_prometheus(prometheus, folder,
                           "    scheme: https\n"
                           f"    tls_config:\n      ca_file: {folder}/ca.crt\n"
                           "    basic_auth:\n      username: prometheus\n      password: right horse\n"
                           f"    static_configs:\n      - targets: ['127.0.0.1:{port}']\n",
                           processes)
    wait_for("tamrik_up over https with a password", lambda: query(api, 'tamrik_up{job="tamrik"}') == [1.0], 30)
    if query(api, 'up{job="tamrik"}') != [1.0]:
        raise Failure("prometheus's scrapes over https failed")
    if stop(exporter, "the exporter") != 0:
        raise Failure(f"the exporter ended with {exporter.returncode} on SIGTERM")
    print(f"TLS and passwords: curl and prometheus served over https, {len(bad)} bad files refused")
    return 0


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--tamrikctl", required=True)
    p.add_argument("--prometheus", default="prometheus")
    p.add_argument("--runner", action="append", default=[], help="program that runs tamrikctl (Wine)")
    p.add_argument("part", choices=["serve", "slow", "tls"])
    args = p.parse_args()
    if args.part == "serve":
        processes = []
        try:
            check_serve(args, processes)
            return 0
        finally:
            stop_all(processes, kill_first=True)  # no signal reaches a Windows program under Wine as SIGTERM
    prometheus = shutil.which(args.prometheus)
    if not prometheus:
        return missing("prometheus", "prometheus")
    processes = []
    with tempfile.TemporaryDirectory(prefix="tamrik-server-") as folder:
        try:
            if args.part == "slow":
                check_slow(args, prometheus, folder, processes)
                return 0
            return check_tls(args, prometheus, folder, processes)
        finally:
            stop_all(processes, kill_first=bool(args.runner))  # no signal reaches a Windows program under Wine


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Failure as e:
        print(f"FAILED: {e}", file=sys.stderr)
        sys.exit(1)
