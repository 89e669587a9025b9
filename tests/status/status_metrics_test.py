"""/metrics read with the Prometheus client library's own parser: the
counters agree with what the MIDI source played and what the robot
servers received. JACK runs synchronously, so nothing is lost."""

import os
import sys
import unittest

from prometheus_client.parser import text_string_to_metric_families

sys.path.insert(0, os.path.dirname(__file__))
from status_support import Show, wait_for  # noqa: E402

NOTES = 150
PATTERN = "tempo 600\n" + "note 0 60 100 0.1\nwait 0.2\n" * NOTES + "wait 1\n"
CONF = "action 1 0/0 3 EmitMap midi.key\n"


def samples(text):
    """{(name, frozenset(labels)): value} of every sample."""
    found = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            found[(sample.name, frozenset(sample.labels.items()))] = sample.value
    return found, {family.name: family.type for family in text_string_to_metric_families(text)}


class StatusMetricsTest(unittest.TestCase):
    def test_counters_agree_with_what_was_played_and_received(self):
        with Show(robots=2, sync_jack=True) as show:
            show.play(PATTERN)
            show.start_notara(show.robot_lines() + CONF)
            messages = 2 * NOTES
            wait_for("the pattern's end", lambda: show.pattern.poll() is not None, timeout=60)
            self.assertEqual(show.pattern.returncode, 0)
            wait_for("every text at the robots",
                     lambda: all(show.received(slot).count(b"emit midi.key(") == messages for slot in (0, 1)))

            values, types = samples(show.get("/metrics"))
            self.assertEqual(types["notara_midi_events"], "counter")
            self.assertEqual(values[("notara_midi_events_total", frozenset())], messages)
            self.assertEqual(values[("notara_midi_dropped_total", frozenset())], 0)
            # What JACK handed the input, counted apart from what reached the
            # dispatch: the same, and no period went by without the input.
            self.assertEqual(values[("notara_midi_received_total", frozenset())], messages)
            self.assertEqual(values[("notara_midi_periods_missed_total", frozenset())], 0)
            for slot, port in enumerate(show.robot_ports):
                labels = frozenset({"slot": str(slot), "host": "127.0.0.1", "port": str(port)}.items())
                self.assertEqual(values[("notara_robot_texts_sent_total", labels)], messages)
                self.assertEqual(values[("notara_robot_texts_dropped_total", labels)], 0)
                self.assertEqual(values[("notara_robot_up", labels)], 1)
                self.assertEqual(values[("notara_robot_connections_total", labels)], 1)
                self.assertEqual(values[("notara_robot_queued_bytes", labels)], 0)
                # Every text written to the robot to its last byte: the two
                # uploads (the control script and notara.vx), then one a message.
                self.assertEqual(values[("notara_robot_latency_seconds_count", labels)], messages + 2)
                self.assertEqual(values[("notara_robot_latency_seconds_bucket", labels | {("le", "+Inf")})],
                                 messages + 2)
            self.assertEqual(types["notara_latency_seconds"], "histogram")
            self.assertEqual(types["notara_robot_latency_seconds"], "histogram")
            # One observation per text the MIDI thread sent (each to both robots).
            self.assertEqual(values[("notara_latency_seconds_count", frozenset())], messages)
            self.assertEqual(values[("notara_latency_seconds_bucket", frozenset({"le": "+Inf"}.items()))], messages)
            self.assertEqual(values[("notara_midi_device_open", frozenset({"device": "midi-pattern:notara-pattern"}.items()))], 1)

            status = show.status()
            self.assertEqual(status["midi"]["events"], messages)
            self.assertEqual([r["sent"] for r in status["robots"]], [messages, messages])
            self.assertEqual(len(status["recent"]), 64)
            self.assertEqual([e["seq"] for e in status["recent"]], list(range(messages - 63, messages + 1)))
            last = status["recent"][-1]
            self.assertEqual((last["kind"], last["channel"], last["data1"], last["data2"]), ("note_off", 0, 60, 0))
            self.assertEqual(last["texts"], [{"robot": 0, "text": "emit midi.key(8,0,60,0),", "cut": False},
                                             {"robot": 1, "text": "emit midi.key(8,0,60,0),", "cut": False}])


if __name__ == "__main__":
    unittest.main()
