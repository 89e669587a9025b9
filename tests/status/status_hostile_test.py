"""Hostile clients of the status server, while MIDI reaches two robots and
every text is counted: a flood of garbage, 32 connections held open with
requests never finished, a stream client that stops reading, wrong
methods, unknown paths and oversized heads. JACK runs synchronously, so
nothing may be lost."""

import os
import random
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from status_support import Show, wait_for  # noqa: E402

NOTES = 300
PATTERN = "tempo 600\n" + "note 0 60 100 0.1\nwait 0.2\n" * NOTES + "wait 1\n"
CONF = "action 1 0/0 3 EmitMap midi.key\n"


def connect(port, receive_buffer=None):
    s = socket.socket()
    if receive_buffer:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    s.connect(("127.0.0.1", port))
    s.settimeout(20)
    return s


def exchange(port, request):
    """The status line of the reply to the raw `request`."""
    with connect(port) as s:
        s.sendall(request)
        reply = b""
        while b"\r\n" not in reply:
            chunk = s.recv(4096)
            if not chunk:
                break
            reply += chunk
        return reply.split(b"\r\n", 1)[0].decode()


def closed_by_server(s, timeout):
    """True when the server closes `s` within `timeout` seconds (what it
    sent before is read and dropped)."""
    s.settimeout(timeout)
    end = time.monotonic() + timeout
    try:
        while time.monotonic() < end:
            if not s.recv(65536):
                return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False
    return False


class StatusHostileTest(unittest.TestCase):
    def test_hostile_clients_get_nowhere_and_no_text_is_lost(self):
        with Show(robots=2, sync_jack=True) as show:
            show.play(PATTERN)
            url = show.start_notara(show.robot_lines() + CONF)
            port = int(url.rstrip("/").rsplit(":", 1)[1])

            self.assertEqual(exchange(port, b"POST /status.json HTTP/1.1\r\nHost: x\r\n\r\n"),
                             "HTTP/1.1 405 Method Not Allowed")
            self.assertEqual(exchange(port, b"DELETE / HTTP/1.1\r\n\r\n"), "HTTP/1.1 405 Method Not Allowed")
            self.assertEqual(exchange(port, b"GET /../../etc/passwd HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found")
            self.assertEqual(exchange(port, b"GET /status.json/x HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found")
            self.assertEqual(exchange(port, b"GET / HTTP/1.1\r\nX: " + b"a" * 9000 + b"\r\n\r\n"),
                             "HTTP/1.1 431 Request Header Fields Too Large")
            self.assertEqual(exchange(port, b"GET / HTTP/1.1\r\nX: " + b"a" * 7000 + b"\r\n\r\n"), "HTTP/1.1 200 OK")
            self.assertEqual(exchange(port, b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03garbage\r\n\r\n")[:12],
                             "HTTP/1.1 400")
            head = exchange(port, b"HEAD /metrics HTTP/1.1\r\n\r\n")
            self.assertEqual(head, "HTTP/1.1 200 OK")

            # A stream client that never reads: closed once its backlog fills.
            stalled = connect(port, receive_buffer=4096)
            stalled.sendall(b"GET /events HTTP/1.1\r\n\r\n")

            # 31 more hold every other place with a request never finished.
            held = [connect(port) for _ in range(31)]
            for s in held:
                s.sendall(b"GET /status.json HTTP/1.1\r\nHost: slow")
            time.sleep(0.5)
            self.assertEqual(exchange(port, b"GET /status.json HTTP/1.1\r\n\r\n"), "HTTP/1.1 503 Service Unavailable")

            # Meanwhile a flood of garbage.
            flooding = threading.Event()
            flooded = [0]

            def flood():
                rng = random.Random(7)
                while not flooding.is_set():
                    try:
                        with connect(port) as s:
                            s.sendall(bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 3000))))
                            s.shutdown(socket.SHUT_WR)
                            s.recv(4096)
                        flooded[0] += 1
                    except OSError:
                        pass

            flooder = threading.Thread(target=flood)
            flooder.start()
            try:
                # Requests not complete in 10 seconds are closed.
                started = time.monotonic()
                self.assertTrue(all(closed_by_server(s, 15) for s in held))
                print("slow senders closed after %.1f s" % (time.monotonic() - started))
                self.assertTrue(closed_by_server(stalled, 5))
            finally:
                flooding.set()
                flooder.join()
                for s in held + [stalled]:
                    s.close()
            print("garbage connections:", flooded[0])

            wait_for("the pattern's end", lambda: show.pattern.poll() is not None, timeout=60)
            self.assertEqual(show.pattern.returncode, 0)
            messages = 2 * NOTES
            wait_for("every text at the robots",
                     lambda: all(show.received(slot).count(b"emit midi.key(") >= messages for slot in (0, 1)))
            time.sleep(0.3)
            for slot in (0, 1):
                self.assertEqual(show.received(slot).count(b"emit midi.key("), messages)
            status = show.status()
            self.assertEqual(status["midi"]["events"], messages)
            self.assertEqual([(r["sent"], r["dropped"]) for r in status["robots"]], [(messages, 0), (messages, 0)])
            self.assertIsNone(show.notara.poll())

            # A second notara can't have the port: one line, exit status 1,
            # before it opens MIDI or reads its configuration.
            for value, line in (("127.0.0.1:%d" % port, "notara: --status: can't listen on 127.0.0.1:%d: " % port),
                                ("99999", 'notara: --status: not [ADDRESS:]PORT with a port of 0 to 65535: "99999"'),
                                ("localhost:80", "notara: --status: can't listen on localhost:80: not an IP address")):
                second = subprocess.run([os.environ["NOTARA_BINARY"], "--status", value, "0", "notara.conf"],
                                        cwd=show.dir, env=show.env, capture_output=True, text=True, timeout=30)
                self.assertEqual(second.returncode, 1, second.stderr)
                self.assertIn(line, second.stderr)
                self.assertNotIn("parsing", second.stderr)
                self.assertNotIn("Status page", second.stderr)


if __name__ == "__main__":
    unittest.main()
