"""The status page in a real browser (headless Chromium through Selenium):
a notara with two robots and a JACK MIDI source. Both robot tiles show up;
a robot server killed shows down within a second and up again once it is
back; a note played shows in the monitor with the text each robot got.
Saves a screenshot to $NOTARA_SCREENSHOT (default: the build directory)."""

import os
import signal
import sys
import tempfile
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

sys.path.insert(0, os.path.dirname(__file__))
from status_support import Show, wait_for  # noqa: E402

CONF = """action 1 0/0 3 EmitMap midi.key
action 2 0/0 1 EmitMap left.only
"""

# A note a few seconds in (after the robot's restart), one on channel 1 that
# only robot 0 gets, and one more late, all at 60 beats a minute.
PATTERN = """tempo 60
wait 6
note 0 60 100 0.5
note 1 62 90 0.5
wait 1
note 0 64 80 0.5
wait 1
"""


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1100,900", "--user-data-dir=" + profile):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


class StatusPageTest(unittest.TestCase):
    def test_tiles_follow_the_robots_and_the_monitor_shows_what_each_got(self):
        with Show(robots=2) as show, tempfile.TemporaryDirectory() as profile:
            show.play(PATTERN)
            url = show.start_notara(show.robot_lines() + CONF)
            driver = browser(profile)
            try:
                driver.get(url)

                # Read in one script each: the page replaces its elements on
                # every update.
                def tile_state(slot):
                    return driver.execute_script(
                        "const t = document.querySelector('.tile[data-slot=\"' + arguments[0] + '\"]');"
                        "return t ? t.dataset.state : null;", slot)

                def tile_text(slot):
                    return driver.execute_script(
                        "return document.querySelector('.tile[data-slot=\"' + arguments[0] + '\"]').innerText;", slot)

                wait_for("both tiles up", lambda: tile_state(0) == "up" and tile_state(1) == "up")
                self.assertIn("127.0.0.1:%d" % show.robot_ports[1],
                              tile_text(1))

                show.kill_robot(1)
                killed = time.monotonic()
                wait_for("robot 1's tile down", lambda: tile_state(1) == "down", timeout=1.0, interval=0.02)
                print("robot 1's tile showed down after %.3f s" % (time.monotonic() - killed))
                self.assertEqual(tile_state(0), "up")

                show.restart_robot(1)
                wait_for("robot 1's tile up again", lambda: tile_state(1) == "up", timeout=10)
                self.assertIn("connections\n2", tile_text(1))

                def monitor_rows():
                    return driver.execute_script(
                        "return Array.from(document.querySelectorAll('#monitor .event'), e => e.innerText);")

                wait_for("the notes in the monitor", lambda: len(monitor_rows()) >= 6, timeout=20)
                rows = monitor_rows()
                print("\n".join(rows))
                first = next(r for r in rows if "Note on ch 1: 60 100" in r)
                self.assertIn("robot 0: emit midi.key(9,0,60,100),", first)
                self.assertIn("robot 1: emit midi.key(9,0,60,100),", first)
                second = next(r for r in rows if "Note on ch 2: 62 90" in r)
                self.assertIn("robot 0: emit left.only(9,1,62,90),", second)
                self.assertNotIn("robot 1", second)
                self.assertEqual(driver.find_element(By.ID, "banner").is_displayed(), False)

                shot = os.environ.get("NOTARA_SCREENSHOT", os.path.join(os.getcwd(), "status-page.png"))
                driver.save_screenshot(shot)
                print("screenshot:", shot)

                # A reload of a file with an error: the page says so plainly,
                # the file's text shown as text, and the show goes on.
                with open(os.path.join(show.dir, "notara.conf"), "a") as f:
                    f.write("action 1 0 1 <b>NoSuchOperation</b> x\n")
                show.notara.send_signal(signal.SIGHUP)
                reload_error = driver.find_element(By.ID, "reload-error")
                wait_for("the failed reload on the page", lambda: reload_error.is_displayed(), timeout=5)
                self.assertIn("Reload failed, the running configuration is kept: ", reload_error.text)
                self.assertIn("<b>NoSuchOperation</b>", reload_error.text)
                self.assertEqual(show.status()["config"]["reloads"], 0)
                self.assertIsNone(show.notara.poll())

                # The stream lost: the page says so, and comes back by itself.
                show.notara.kill()
                show.notara.wait()
                wait_for("the lost banner", lambda: driver.find_element(By.ID, "banner").is_displayed(), timeout=8)
            finally:
                driver.quit()


if __name__ == "__main__":
    unittest.main()
