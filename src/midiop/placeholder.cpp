// midiop
