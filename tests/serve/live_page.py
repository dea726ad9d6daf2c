# The live page in a real browser (chromium headless through chromedriver):
# a station served against the device simulator, the page drawn from its
# status and events with the board's words, following a download block by
# block and showing its end within a second, at a phone's width and a
# monitor's; Pause and Resume with the token asked once; its reconnecting
# shown when the station goes, and the station drawn again when it is back.
# live_page.py BUILD_DIR; exit 77 (skipped) without chromedriver.
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.common.exceptions import NoAlertPresentException
except ImportError:
    sys.exit(77)
if not os.path.exists("/usr/bin/chromedriver"):
    sys.exit(77)

build = sys.argv[1]
BLOCKS = 256
work = tempfile.mkdtemp(prefix="zq-page-")
image = os.path.join(work, "DB.bin")
subprocess.run([build + "/cli/zq-mkimage", image, "--blocks", str(BLOCKS)], check=True, stdout=subprocess.DEVNULL)
sim = subprocess.Popen([build + "/devsim/zerquill-devsim", "--pace", "--silence-ms", "10000"],
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
pty = sim.stdout.readline().strip()
# Plugged in once the page is there, so that it sees the whole download.
slot = os.path.join(work, "slot1")
token = "line3-0d9e41c7"
with open(os.path.join(work, "token"), "w") as f:
    f.write(token + "\n")
os.chmod(os.path.join(work, "token"), 0o600)


def start_station(serve, port=slot, more=("--serve-token-file", os.path.join(work, "token"))):
    """The station served at serve; it and the address it says it serves at."""
    process = subprocess.Popen([build + "/cli/zerquill-flash", "--watch", "--image", image, "--ports", port,
                                "--serve", serve, *more],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    for line in process.stderr:
        found = re.search(r"serving the station on (http://\S+)", line)
        if found:
            return process, found.group(1)
    return process, None


station, url = start_station("127.0.0.1:0")
assert url, "the station never said where it serves"

options = webdriver.ChromeOptions()
for flag in ("--headless", "--no-sandbox", "--disable-gpu"):
    options.add_argument(flag)
browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
failures = []
later = [] # the processes started on the way, ended with the others


def wait_for(what, seconds):
    end = time.time() + seconds
    while time.time() < end:
        if what():
            return True
        time.sleep(0.1)
    return False


def follow_download():
    """The page and the station's status read side by side until the page
    shows the download's end: the blocks the page showed on the way, and the
    seconds from the status telling the end to the page showing it."""
    blocks, told, shown, rates = set(), None, None, set()
    end = time.time() + 30
    while time.time() < end and shown is None:
        tiles = browser.find_element("id", "tiles").text
        blocks.update(re.findall(r"block (\d+) / %d" % BLOCKS, tiles))
        rates.update(re.findall(r"\d+ B/s", tiles))
        if "Success Download!" in tiles:
            shown = time.time()
        if told is None:
            with urllib.request.urlopen(url + "api/v1/station") as answer:
                if json.load(answer)["totals"]["written"]:
                    told = time.time()
        time.sleep(0.05)
    return blocks, rates, None if shown is None or told is None else shown - told


try:
    for width in (400, 1280):
        browser.set_window_size(width, 900)
        browser.get(url)
        if width == 400:
            if not wait_for(lambda: browser.find_element("id", "link").text == "live", 10):
                failures.append("the page never went live")
            enabled = lambda: (browser.find_element("id", "pause").is_enabled(),
                               browser.find_element("id", "resume").is_enabled())
            if enabled() != (True, False):
                failures.append(f"running: Pause and Resume enabled {enabled()}, not (True, False)")
            report = browser.find_elements("id", "report")
            if not report or not report[0].get_attribute("href").endswith("/report"):
                failures.append("the page does not link to /report")
            os.symlink(pty, slot)
            blocks, rates, lag = follow_download()
            if not rates:
                failures.append("the tile never showed its rate")
            # Read every 5 s alone, it would show two or three.
            if len(blocks) < 5:
                failures.append(f"the page showed blocks {sorted(blocks, key=int)} of a {BLOCKS}-block download")
            if lag is None or lag > 1.0:
                failures.append(f"the page showed the download's end {lag} s after the station told it")
            else:
                print(f"{len(blocks)} block counts shown; the end shown {lag:.2f} s after the status")
        # The first width sees the download end; by the second the station
        # may have armed the port again, so the tile is counted, not worded.
        shown = "Success Download!" if width == 400 else "written 1"
        if not wait_for(lambda: shown in browser.find_element("id", "tiles").text, 20):
            tiles = browser.find_element("id", "tiles").text
            link = browser.find_element("id", "link").text
            failures.append(f"{width}px: the tile never said {shown}: tiles {tiles!r}, link {link!r}, "
                            f"station {'running' if station.poll() is None else 'ended'}")
            continue
        tiles = browser.find_element("id", "tiles").text
        totals = browser.find_element("id", "totals").text
        if slot not in tiles or "written 1" not in tiles or "Written 1" not in totals or "In flight 0" not in totals:
            failures.append(f"{width}px: tile {tiles!r}, totals {totals!r}")
        if browser.find_element("id", "link").text != "live":
            failures.append(f"{width}px: the link shows {browser.find_element('id', 'link').text!r}")
        overflow = browser.execute_script("return document.documentElement.scrollWidth - window.innerWidth")
        if overflow > 0:
            failures.append(f"{width}px: {overflow}px wider than the window")
        browser.save_screenshot(os.path.join(work, f"station-{width}.png"))
    # Pause asks for the token once; Resume, in the same tab, does not.
    state = lambda: browser.find_element("id", "state").text
    browser.find_element("id", "pause").click()
    browser.switch_to.alert.send_keys(token)
    browser.switch_to.alert.accept()
    if not wait_for(lambda: state() == "paused", 5):
        failures.append(f"Pause with the token: the page says {state()!r}")
    elif not wait_for(lambda: enabled() == (False, True), 5):
        failures.append(f"paused: Pause and Resume enabled {enabled()}, not (False, True)")
    browser.find_element("id", "resume").click()
    try:
        browser.switch_to.alert.dismiss()
        failures.append("Resume asked for the token again")
    except NoAlertPresentException:
        pass
    if not wait_for(lambda: state() == "running", 5):
        failures.append(f"Resume: the page says {state()!r}")
    if token in browser.page_source:
        failures.append("the token shows in the page")

    # The station restarted on its address: the page says it is away, then
    # draws it again on its own.
    station.send_signal(signal.SIGINT)
    station.wait(10)
    if not wait_for(lambda: "reconnecting" in browser.find_element("id", "link").text, 10):
        failures.append("the page did not show that it reconnects")
    first = station
    station, again = start_station(url[len("http://"):].rstrip("/"))
    if again != url:
        failures.append(f"the station could not serve at {url} again: {again}")
    elif not wait_for(lambda: browser.find_element("id", "link").text == "live" and "written 0" in
                      browser.find_element("id", "tiles").text, 15):
        failures.append(f"after the restart the page shows link {browser.find_element('id', 'link').text!r}, "
                        f"tiles {browser.find_element('id', 'tiles').text!r}")
    first.stderr.close()

    # A station without a token offers no command and says why; a unit that
    # failed keeps its tile red after it has gone, until one is found there.
    failing = subprocess.Popen([build + "/devsim/zerquill-devsim", "--refuse", "3:5", "--sessions", "2",
                                "--rest-ms", "8000", "--silence-ms", "500"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    later.append(failing)
    slot2 = os.path.join(work, "slot2")
    os.symlink(failing.stdout.readline().strip(), slot2)
    untokened, url2 = start_station("127.0.0.1:0", slot2, ("--away", "1"))
    later.append(untokened)
    browser.get(url2)
    tiles = lambda: browser.find_element("id", "tiles")
    if not wait_for(lambda: "takes no commands" in browser.find_element("id", "commands").text, 10):
        failures.append("a station without a token does not say that it takes no commands")
    if any(browser.find_element("id", b).is_displayed() for b in ("pause", "resume")):
        failures.append("a station without a token shows Pause or Resume")
    if not wait_for(lambda: "Fail Download!" in tiles().text, 20):
        failures.append(f"the refusing unit's tile shows {tiles().text!r}")
    for width in (400, 1280):
        browser.set_window_size(width, 900)
        browser.save_screenshot(os.path.join(work, f"failed-{width}.png"))
    if not wait_for(lambda: "last: " in tiles().text, 12):
        failures.append(f"the unit never went away: {tiles().text!r}")
    elif "failed" not in tiles().find_element("class name", "tile").get_attribute("class").split():
        failures.append(f"a failed unit gone: tile {tiles().find_element('class name', 'tile').get_attribute('class')!r}")
    browser.save_screenshot(os.path.join(work, "failed-gone-1280.png"))
finally:
    browser.quit()
    for process in (station, sim, *later):
        if process.poll() is None:
            process.kill()
        process.wait()

for failure in failures:
    print("FAIL:", failure)
if failures:
    print("the station said:", station.stderr.read()[-3000:])
print("screenshots in", work)
sys.exit(1 if failures else 0)
