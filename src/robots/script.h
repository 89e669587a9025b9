#pragma once
// The script text uploaded on every robot connection, before notara.vx.
// It defines the server functions midi.setDebug, midi.setParameter and
// midi.registerAction, each of which answers with a list on the tag
// "midictl" on the bridge's own connection (handled by Midi::onControl).
// Plain constant data, usable from any thread.

/// The uploaded script text, NUL-terminated; no newline at its end.
extern const char robotScript[];
