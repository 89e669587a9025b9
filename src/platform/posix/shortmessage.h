#pragma once
// Packing of one MIDI message, as a MIDI system hands it over, into the
// word that Windows delivers with MIM_DATA.
//
// Threading: a pure function; called on the MIDI system's input thread.
#include <cstddef>

#include "windows.h"

/// What the packing made of a message.
enum class ShortMessageKind
{
  data,     ///< a valid short message: deliver as MIM_DATA
  invalid,  ///< no status byte, a data byte above 127 or a wrong length: MIM_ERROR
  dropped,  ///< system exclusive or empty: not delivered, as Windows without buffers
};

/// Packs `bytes` into `word` (status in bits 0-7, data1 in 8-15, data2 in
/// 16-23; at most the first three bytes for an invalid message).
ShortMessageKind packShortMessage(const unsigned char* bytes, std::size_t size, DWORD& word);
