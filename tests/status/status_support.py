"""What the status tests share: a JACK server of their own, robot servers
(vaxo-sim), a MIDI source (midi-pattern) and notara with --status, each a
child process that ends with the test.

The built programs come from the environment: NOTARA_BINARY,
VAXO_SIM_BINARY and MIDI_PATTERN_BINARY (CTest sets them)."""

import http.client
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request


def wait_for(what, check, timeout=10.0, interval=0.05):
    """Calls check until it gives a true value, which is returned; fails
    naming `what` after `timeout` seconds."""
    end = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(interval)


class Show:
    """One notara with robots and a MIDI source, in a directory of its own."""

    def __init__(self, robots=2, sync_jack=False):
        self.dir = tempfile.mkdtemp(prefix="notara-status-")
        self.processes = []
        self.notara = None
        self.url = None
        # One name per test program, not per process: JACK's registry holds
        # eight servers, and a server that did not end cleanly keeps its entry
        # until a server of the same name starts again.
        self.jack_name = "notara-" + os.path.splitext(os.path.basename(sys.argv[0]))[0]
        self.env = dict(os.environ, JACK_DEFAULT_SERVER=self.jack_name, JACK_NO_START_SERVER="1")
        try:
            self._start(robots, sync_jack)
        except BaseException:
            self.close()
            raise

    def _start(self, robots, sync_jack):
        options = ["-r"] + (["-S"] if sync_jack else [])
        self.jackd = self._spawn(["jackd", "-n", self.jack_name] + options + ["-d", "dummy", "-r", "48000", "-p", "256"],
                                 "jackd.log")
        subprocess.run(["jack_wait", "-w", "-t", "10"], env=self.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        self.robot_ports = []
        self.robot_procs = []
        for slot in range(robots):
            proc, port = self.start_robot(slot)
            self.robot_procs.append(proc)
            self.robot_ports.append(port)

    def _spawn(self, args, log):
        with open(os.path.join(self.dir, log), "ab") as out:
            proc = subprocess.Popen(args, cwd=self.dir, env=self.env, stdout=out, stderr=subprocess.STDOUT,
                                    start_new_session=True)
        self.processes.append(proc)
        return proc

    def start_robot(self, slot, port=0):
        """Starts vaxo-sim for robot `slot`, recording what it receives;
        returns the process and its port."""
        log = "robot%d.log" % slot
        open(os.path.join(self.dir, log), "w").close()
        record = os.path.join(self.dir, "record%d" % slot)
        proc = self._spawn([os.environ["VAXO_SIM_BINARY"], "--port", str(port), "--record", record], log)
        text = wait_for("robot %d to listen" % slot,
                        lambda: re.search(r"listening on [0-9.]+:(\d+)", self.read(log)))
        return proc, int(text.group(1))

    def received(self, slot):
        """Everything robot `slot`'s servers received, over every connection."""
        record = os.path.join(self.dir, "record%d" % slot)
        data = b""
        if os.path.isdir(record):
            for name in sorted(os.listdir(record)):
                with open(os.path.join(record, name), "rb") as f:
                    data += f.read()
        return data

    def kill_robot(self, slot):
        proc = self.robot_procs[slot]
        proc.kill()
        proc.wait()

    def restart_robot(self, slot):
        proc, _ = self.start_robot(slot, self.robot_ports[slot])
        self.robot_procs[slot] = proc

    def read(self, name):
        with open(os.path.join(self.dir, name), errors="replace") as f:
            return f.read()

    def play(self, pattern, wait=30):
        """Starts midi-pattern on `pattern` (the file's text); it plays once
        notara opens it."""
        with open(os.path.join(self.dir, "pattern.txt"), "w") as f:
            f.write(pattern)
        self.pattern = self._spawn([os.environ["MIDI_PATTERN_BINARY"], "--api", "jack", "--wait", str(wait),
                                    "--lead-in", "1", "pattern.txt"], "pattern.log")
        wait_for("the MIDI source's port", lambda: "midi-pattern" in self.list_devices())

    def list_devices(self):
        return subprocess.run([os.environ["NOTARA_BINARY"], "--list"], cwd=self.dir, env=self.env,
                              capture_output=True, text=True).stdout

    def start_notara(self, conf, status="0", extra=()):
        """Starts notara with `conf` as notara.conf and --status `status`;
        waits for the status line and returns the page's URL."""
        with open(os.path.join(self.dir, "notara.conf"), "w") as f:
            f.write(conf)
        with open(os.path.join(self.dir, "notara.vx"), "w") as f:
            f.write("x = 1;\n")
        self.notara = self._spawn([os.environ["NOTARA_BINARY"], "--status", status, "0", "notara.conf"] + list(extra),
                                  "notara.log")
        line = wait_for("the status line", lambda: re.search(r"Status page: (http://\S+)", self.read("notara.log")))
        self.url = line.group(1)
        return self.url

    def robot_lines(self):
        return "".join("robot %d 127.0.0.1 %d\n" % (slot, port) for slot, port in enumerate(self.robot_ports))

    def get(self, path):
        with urllib.request.urlopen(self.url.rstrip("/") + path, timeout=10) as response:
            return response.read().decode()

    def status(self):
        return json.loads(self.get("/status.json"))

    def close(self):
        for proc in reversed(self.processes):
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        if os.environ.get("NOTARA_KEEP_TEST_DIR"):
            print("kept", self.dir)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if exc[0] is not None:
            for name in ("notara.log", "pattern.log"):
                if os.path.exists(os.path.join(self.dir, name)):
                    print("---", name, "---\n" + self.read(name)[-4000:])
        self.close()
        return False
