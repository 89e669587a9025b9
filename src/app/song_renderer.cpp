#include "app/song_renderer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>

#include <nlohmann/json.hpp>

#include "app/load_config.h"
#include "bridge/midi.h"
#include "midifile/file_error.h"
#include "midifile/reader.h"
#include "vaxo/printable.h"
#include "log/stderr_line.h"

const char* const SongRenderer::unknownActionsNote =
  "actions that robots register while running (midi.registerAction) can't be known here; "
  "only the configuration's own actions are rendered";

SongRenderer::SongRenderer(std::ostream& out, bool json) : out_(out), json_(json)
{
}

int SongRenderer::run(const std::string& songFile, const std::string& confFile, bool clock,
                      const char* program)
{
  midifile::Song song;
  try
  {
    song = midifile::Reader::load(songFile);
  }
  catch (const midifile::FileError& e)
  {
    notara::StderrLine() << "notara: " << e.what();
    return 3;
  }

  Midi midi(RobotClientFactory(), this, this);
  midi.robots.recordOnly();
  if (const int status = loadConfiguration(midi, confFile, program); status != 0)
    return status;
  for (const RobotLinks::Address& robot : midi.robots.recorded())
    robotSlots_ |= std::uint32_t{1} << robot.index;

  if (json_)
    out_ << nlohmann::ordered_json{{"note", unknownActionsNote}}.dump() << '\n';
  else
    out_ << "# " << unknownActionsNote << '\n';

  song_ = &song;
  midifile::SongCursor cursor(song, clock);
  while (cursor.next(current_))
  {
    const std::uint8_t status = current_.bytes[0];
    midi.onMessage(static_cast<std::uint8_t>(status >> 4), static_cast<std::uint8_t>(status & 0x0Fu),
                   current_.size > 1 ? current_.bytes[1] : 0, current_.size > 2 ? current_.bytes[2] : 0);
  }
  song_ = nullptr;
  out_.flush();
  return 0;
}

void SongRenderer::send(int robotMask, const std::string& text)
{
  // Texts sent outside the song (none today) have no time to show.
  if (song_ == nullptr)
    return;
  const std::uint32_t slots = static_cast<std::uint32_t>(robotMask) & robotSlots_;
  if (slots == 0)
    return;
  const midifile::BarBeat place = song_->barBeatAt(current_.tick);
  const std::string barBeat = song_->barBeatText(current_.tick);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", current_.seconds);
  for (int slot = 0; slot < Midi::slotCount; ++slot)
  {
    if ((slots & (std::uint32_t{1} << slot)) == 0)
      continue;
    if (json_)
    {
      const nlohmann::ordered_json line{{"seconds", std::round(current_.seconds * 1e6) / 1e6},
                                {"bar", place.bar},
                                {"beat", std::round(place.beat * 100) / 100},
                                {"robot", slot},
                                {"text", text}};
      out_ << line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
    }
    else
    {
      // A text with a control character is shown escaped, so that it can't
      // steer the terminal or split the line.
      const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7f;
      });
      out_ << seconds << ' ' << barBeat << " robot " << slot << ' ';
      if (plain)
        out_ << text << '\n';
      else
        out_ << vaxo::printable(text) << '\n';
    }
  }
}

std::int64_t SongRenderer::microseconds()
{
  // The bridge takes 0 for "no reading": the song's start is one second in.
  return std::llround(current_.seconds * 1e6) + 1000000;
}
