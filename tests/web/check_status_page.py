#!/usr/bin/env python3
"""The exporter's status page in a real browser (Chromium, headless, through Selenium and
chromedriver): on a simulated unit whose GPS signal is lost and which is then unplugged, the page
shows the lights' words and the satellites /api/units gives, shows the loss and the unplug within a
few refreshes without being reloaded, never shows the away unit as locked, loads nothing from
elsewhere, keeps its texts apart in the real font, and says the same words with JavaScript off.
Screenshots at a desktop's and a phone's width are kept in --artifacts.

Exit 77 (skipped) when Chromium, chromedriver or Selenium is missing, unless CI=true."""
import argparse
import json
import os
import shutil
import subprocess
import sys
import time
import urllib.request

SKIP = 77


def missing(what):
    if os.environ.get("CI") == "true":
        print(f"FAIL: {what} is missing under CI (setup.sh installs chromium, chromium-driver, python3-selenium)")
        sys.exit(1)
    print(f"SKIP: {what} is missing (setup.sh installs chromium, chromium-driver, python3-selenium)")
    sys.exit(SKIP)


try:
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    missing("python3-selenium")

failures = []
passes = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    (passes if ok else failures).append(what)
    return ok


def wait_for(what, condition, timeout):
    """Polls condition() until it gives a true value or timeout seconds pass; returns its last value."""
    deadline = time.monotonic() + timeout
    value = None
    while time.monotonic() < deadline:
        try:
            value = condition()
        except Exception:  # the page is being replaced under us: try again
            value = None
        if value:
            return value
        time.sleep(0.2)
    check(False, f"{what} within {timeout} s")
    return value


def browser(javascript=True):
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver")
    if not chromium:
        missing("chromium")
    if not driver:
        missing("chromedriver (chromium-driver)")
    options = Options()
    options.binary_location = chromium
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--no-first-run", "--disable-extensions", "--disable-background-networking",
                "--force-device-scale-factor=1", "--lang=en-US"):
        options.add_argument(arg)
    if not javascript:
        options.add_experimental_option("prefs", {"profile.managed_default_content_settings.javascript": 2})
    d = webdriver.Chrome(service=Service(driver), options=options)
    d.set_page_load_timeout(15)
    d.set_script_timeout(10)
    return d


def api(base):
    with urllib.request.urlopen(base + "/api/units", timeout=5) as r:
        return json.loads(r.read().decode("utf-8"))


# What the page shows, read in one go (the page replaces its units every second): the unit's
# heading, whether it is up, the lights' words, the satellites' table, the numbers of the visible
# picture and the real font's boxes of its texts that cover each other, the latest events, what the
# page loaded and its width.
SNAPSHOT_JS = """
const unit = document.querySelector('section.unit');
if (!unit) return null;
const svg = [...unit.querySelectorAll('.picture svg')].find(s => s.getBoundingClientRect().width > 0);
const boxes = svg ? [...svg.querySelectorAll('text')].map(t => [t.textContent, t.getBBox()]) : [];
const overlaps = [];
for (let i = 0; i < boxes.length; ++i) for (let j = i + 1; j < boxes.length; ++j) {
  const [ta, a] = boxes[i], [tb, b] = boxes[j];
  const dx = Math.min(a.x + a.width, b.x + b.width) - Math.max(a.x, b.x);
  const dy = Math.min(a.y + a.height, b.y + b.height) - Math.max(a.y, b.y);
  if (dx > 0.5 && dy > 2) overlaps.push(ta + ' / ' + tb);
}
const lights = {};
for (const l of unit.querySelectorAll('.light')) lights[l.dataset.light] = l.querySelector('strong').textContent;
return {
  heading: unit.querySelector('h2').textContent,
  up: unit.dataset.up,
  lights: lights,
  rows: Object.fromEntries([...unit.querySelectorAll('table tbody tr')].map(
      r => [r.dataset.svid, [...r.querySelectorAll('td')].map(c => c.textContent)])),
  picture: !!svg,
  numbers: svg ? [...svg.querySelectorAll('text')].filter(t => Number(getComputedStyle(t).fontWeight) >= 700).map(t => t.textContent) : [],
  overlaps: overlaps,
  events: [...unit.querySelectorAll('ol.events li')].map(e => e.textContent),
  main: document.querySelector('main').textContent,
  loaded: performance.getEntriesByType('resource').map(e => e.name),
  width: document.documentElement.scrollWidth,
};
"""


def snapshot(d):
    return d.execute_script(SNAPSHOT_JS)


def mismatches(base, page, unit, width):
    """What of the page, as it stands, disagrees with the API's unit, at a width."""
    out = []
    shown = page["lights"]
    if shown.get("gps") != ("GPS signal OK" if unit["gps_signal"] else "No GPS signal"):
        out.append(f"the GPS light says {shown.get('gps')!r} for gps_signal {unit['gps_signal']}")
    if shown.get("pll") != ("PLL lock OK" if unit["pll_lock"] else "No PLL lock"):
        out.append(f"the PLL light says {shown.get('pll')!r} for pll_lock {unit['pll_lock']}")
    satellites = unit["sky"]["satellites"]
    table = page["rows"]
    if not len(table) == len(satellites) > 0:
        out.append(f"{len(table)} satellites in the table, {len(satellites)} in the API")
    placed = [s for s in satellites if s["elevation"] is not None]
    for s in placed[:4]:
        cells = table.get(str(s["svid"]), [])
        if cells[2:4] != [f"{s['azimuth']}\u00b0", f"{s['elevation']}\u00b0"]:
            out.append(f"satellite {s['svid']} at azimuth and elevation {cells[2:4]}, the API's {s['azimuth']}, {s['elevation']}")
    if not page["picture"] or not all(str(s["svid"]) in page["numbers"] for s in placed):
        out.append("a placed satellite without its number on the visible sky plot")
    if page["overlaps"]:
        out.append(f"texts of the picture cover each other in the real font: {page['overlaps'][:5]}")
    if not all(o.startswith(base) for o in page["loaded"]):
        out.append(f"loaded from elsewhere: {page['loaded'][:3]}")
    if page["width"] > width:
        out.append(f"wider than the window (scroll width {page['width']})")
    return out


def check_page(d, base, width):
    """The page against the API, read one right after the other; the unit's state moves on (its sky
    each second), so a few tries are allowed for the two to be read at the same state."""
    last = ["never read"]
    deadline = time.monotonic() + 6
    while time.monotonic() < deadline:
        try:
            page = snapshot(d)
            unit = next(u for u in api(base) if u["serial"] == "SIM001")
            last = mismatches(base, page, unit, width) if page else ["no unit on the page"]
            if not last:
                break
        except Exception as e:  # the page was being replaced under us
            last = [repr(e)]
        time.sleep(0.3)
    check(not last, f"{width} px: the lights' words, the satellites' count, azimuths and elevations match "
                    f"/api/units; every placed satellite is numbered, no text covers another in the real font, "
                    f"nothing is loaded from elsewhere, the page fits {'; '.join(last)}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tamrikctl", required=True)
    parser.add_argument("--artifacts", required=True)
    args = parser.parse_args()
    os.makedirs(args.artifacts, exist_ok=True)

    # Late enough for the checks before them to end first on a busy machine.
    loss_ms, unplug_ms = 20000, 27000
    exporter = subprocess.Popen(
        [args.tamrikctl, "--simulate=1", f"--sim-faults=signal-loss:SIM001@{loss_ms},unplug:SIM001@{unplug_ms}",
         "exporter", "--listen", "127.0.0.1:0"],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    started = time.monotonic()
    drivers = []
    try:
        line = exporter.stderr.readline()  # "tamrikctl exporter: serving http://127.0.0.1:PORT/metrics"
        if "serving http://" not in line:
            check(False, f"the exporter serves: {line.strip()!r}")
            return 1
        base = line.split("serving ")[1].strip().rsplit("/", 1)[0]
        # The simulated receiver starts without a signal for a few seconds; the loss below must not be
        # mistaken for that.
        unit = wait_for("the unit up with the GPS signal and a current sky",
                        lambda: next((u for u in api(base) if u["up"] and u["gps_signal"] and u["sky"]
                                      and u["sky"]["current"] and u["sky"]["satellites"]), None), 15)
        if not unit:
            return 1

        d = browser()
        drivers.append(d)
        shots = []
        for width, height, name in ((1280, 1400, "desktop"), (390, 2500, "phone")):
            d.set_window_size(width, height)
            d.get(base + "/")
            wait_for("the page", lambda: snapshot(d), 5)
            check_page(d, base, width)
            path = os.path.join(args.artifacts, f"status-page-{name}.png")
            d.save_screenshot(path)
            shots.append(path)

        # What the reader opens stays open while the page refreshes under it.
        d.execute_script("document.querySelector('section.unit details').open = true")
        time.sleep(2.5)
        check(d.execute_script("return document.querySelector('section.unit details').open") is True,
              "the satellites' table stays open through the refreshes")

        # The loss and the unplug, as the page refreshes itself (it is not loaded again).
        check(time.monotonic() - started < loss_ms / 1000, "the first checks ended before the signal loss")
        d.set_window_size(1280, 1400)
        d.get(base + "/")
        time.sleep(max(0, loss_ms / 1000 - (time.monotonic() - started)))
        page = wait_for("the loss shown", lambda: (lambda p: p if p["lights"].get("gps") == "No GPS signal" else None)(snapshot(d)), 6)
        # The event follows the light by a round of the monitor, perhaps by a refresh or two on a busy
        # machine (a refresh may take up to 4 s before it is given up).
        page = wait_for("the loss among the latest events",
                        lambda: (lambda p: p if any("GPS signal lost" in e for e in p["events"]) else None)(snapshot(d)), 10)
        if not page:
            print("the latest events were:", (snapshot(d) or {}).get("events"))
        page = wait_for("the unplug shown, the unit away",
                        lambda: (lambda p: p if p["up"] == "false" and "away" in p["heading"] else None)(snapshot(d)),
                        max(0, unplug_ms / 1000 - (time.monotonic() - started)) + 6)
        away = page["lights"] if page else {}
        check(away and all("OK" not in w and "not known" in w for w in away.values()),
              f"the away unit's lights say neither lock nor signal: {away}")
        check(page and "PLL lock OK" not in page["main"], "nothing on the page says the PLL is locked")
        api_unit = next(u for u in api(base) if u["serial"] == "SIM001")
        check(api_unit["up"] is False and api_unit["pll_lock"] is None, "the API has the unit down and its lock unknown")
        page = wait_for("the unplug among the latest events",
                        lambda: (lambda p: p if any("unit away" in e for e in p["events"]) else None)(snapshot(d)), 3)
        path = os.path.join(args.artifacts, "status-page-away.png")
        d.save_screenshot(path)
        shots.append(path)
        words = (page["heading"], page["lights"]) if page else None

        # Without JavaScript: the same words, and the page reloads by itself.
        plain = browser(javascript=False)
        drivers.append(plain)
        plain.set_window_size(1280, 1400)
        plain.get(base + "/")
        unit = plain.find_element(By.CSS_SELECTOR, "section.unit")
        plain_words = (unit.find_element(By.TAG_NAME, "h2").get_attribute("textContent"),
                       {e.get_attribute("data-light"): e.find_element(By.TAG_NAME, "strong").get_attribute("textContent")
                        for e in unit.find_elements(By.CSS_SELECTOR, ".light")})
        check(plain_words == words, f"without JavaScript the heading and lights say the same words: {plain_words}")
        read = plain.find_element(By.ID, "read").text
        wait_for("the plain page reloading itself", lambda: plain.find_element(By.ID, "read").text != read, 8)
        for path in shots:
            print("screenshot:", path)
    finally:
        for d in drivers:
            d.quit()
        exporter.terminate()
        try:
            exporter.wait(timeout=10)
        except subprocess.TimeoutExpired:
            exporter.kill()
            exporter.wait()
    print(f"status page checks took {time.monotonic() - started:.1f} s")
    print(f"{len(passes)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
