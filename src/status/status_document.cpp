#include "status/status_document.h"

#include <cmath>
#include <cstdio>
#include <sstream>

#include <nlohmann/json.hpp>

#include "midi/midinames.h"

namespace status
{
  namespace
  {
    const char* kindName(int kind, int channel)
    {
      // Kinds 8 to 14 by their own name; a system message by its own, where
      // it has one, else "system".
      if (kind >= 8 && kind < midiname::systemMessage)
        return midiname::kindNames[kind & 7].document;
      if (kind == midiname::systemMessage && (channel & 8) != 0)
        if (const char* name = midiname::systemNames[channel & 7].document)
          return name;
      return "system";
    }

    // A label value of the text format: backslash, double quote and line
    // feed escaped.
    std::string labelValue(const std::string& value)
    {
      std::string escaped;
      for (const char c : value)
      {
        if (c == '\\')
          escaped += "\\\\";
        else if (c == '"')
          escaped += "\\\"";
        else if (c == '\n')
          escaped += "\\n";
        else
          escaped += c;
      }
      return escaped;
    }

    std::string number(double value)
    {
      char text[40];
      std::snprintf(text, sizeof text, "%.15g", value);
      return text;
    }

    void family(std::ostringstream& out, const char* name, const char* type, const char* help)
    {
      out << "# HELP notara_" << name << ' ' << help << "\n# TYPE notara_" << name << ' ' << type << '\n';
    }

    // A robot's labels: its slot, host and port.
    std::string robotLabels(const RobotStatus& r)
    {
      return "slot=\"" + std::to_string(r.slot) + "\",host=\"" + labelValue(r.host) + "\",port=\"" +
             std::to_string(r.port) + "\"";
    }

    // One family of samples per item of a kind (a robot, an input): its
    // name, type and help, and the value of each item.
    template <class Item>
    struct Series
    {
      const char* name;
      const char* type;
      const char* help;
      double (*value)(const Item&);
    };

    // Every family of `series`, a sample per item of `items`, labelled as
    // `labels` gives them.
    template <class Item, std::size_t N, class Labels>
    void writeSeries(std::ostringstream& out, const Series<Item> (&series)[N], const std::vector<Item>& items,
                     Labels labels)
    {
      for (const Series<Item>& one : series)
      {
        family(out, one.name, one.type, one.help);
        for (const Item& item : items)
          out << "notara_" << one.name << '{' << labels(item) << "} " << number(one.value(item)) << '\n';
      }
    }

    // The samples of one histogram: cumulative buckets, sum and count.
    // `labels` is empty or ends with a comma.
    void histogram(std::ostringstream& out, const char* name, const std::string& labels, const HistogramSnapshot& h)
    {
      std::uint64_t cumulative = 0;
      for (std::size_t i = 0; i < h.counts.size(); ++i)
      {
        cumulative += h.counts[i];
        out << "notara_" << name << "_bucket{" << labels << "le=\""
            << (i < h.bounds.size() ? number(h.bounds[i]) : std::string("+Inf")) << "\"} " << cumulative << '\n';
      }
      const std::string plain = labels.empty() ? "" : "{" + labels.substr(0, labels.size() - 1) + "}";
      out << "notara_" << name << "_sum" << plain << ' ' << number(h.sum) << '\n';
      out << "notara_" << name << "_count" << plain << ' ' << cumulative << '\n';
    }
  }

  std::string statusJson(const Snapshot& s)
  {
    nlohmann::json robots = nlohmann::json::array();
    for (const RobotStatus& r : s.robots)
      robots.push_back({{"slot", r.slot},
                        {"host", r.host},
                        {"port", r.port},
                        {"state", r.state},
                        {"queued_bytes", r.queuedBytes},
                        {"sent", r.sent},
                        {"dropped", r.dropped},
                        {"connections", r.connections},
                        {"since_s", std::round(r.sinceS * 1000) / 1000}});

    nlohmann::json recent = nlohmann::json::array();
    for (const RecentEvent& e : s.recent)
    {
      nlohmann::json texts = nlohmann::json::array();
      for (const RecentText& t : e.texts)
        texts.push_back({{"robot", t.robot}, {"text", t.text}, {"cut", t.cut}});
      recent.push_back({{"seq", e.sequence},
                        {"time_s", std::round(e.timeS * 1e6) / 1e6},
                        {"kind", kindName(e.kind, e.channel)},
                        {"status", e.kind << 4 | e.channel},
                        {"channel", e.channel},
                        {"data1", e.data1},
                        {"data2", e.data2},
                        {"texts", texts},
                        {"texts_cut", e.textsCut}});
    }

    nlohmann::json inputs = nlohmann::json::array();
    for (const InputStatus& i : s.inputs)
      inputs.push_back({{"input", i.index},
                        {"name", i.name},
                        {"channel", i.channel >= 0 ? nlohmann::json(i.channel) : nlohmann::json()},
                        {"device", i.device},
                        {"state", i.state},
                        {"received", i.received},
                        {"events", i.events},
                        {"dropped", i.dropped},
                        {"periods_missed", i.periodsMissed},
                        {"clocks_ignored", i.clocksIgnored}});

    nlohmann::json document = {
        {"version", s.version},
        {"uptime_s", std::round(s.uptimeS * 1000) / 1000},
        {"midi",
         {{"device", s.midiDevice},
          {"state", s.midiOpen ? "open" : "gone"},
          {"received", s.midiReceived},
          {"events", s.midiEvents},
          {"dropped", s.midiDropped},
          {"periods_missed", s.midiPeriodsMissed}}},
        {"inputs", inputs},
        {"clock", {{"running", s.clockRunning}, {"bpm", s.bpm ? nlohmann::json(*s.bpm) : nlohmann::json()}}},
        {"parameter", s.parameter},
        {"debug", s.debug},
        {"robots", robots},
        {"latency",
         {{"count", s.latency.count}, {"sum_s", s.latency.sum}}},
        {"recent", recent}};
    if (s.config)
      document["config"] = {{"file", s.config->file},
                            {"loaded_s", std::round(s.config->loadedAtS * 1000) / 1000},
                            {"reloads", s.config->reloads},
                            {"error", s.config->error ? nlohmann::json(*s.config->error) : nlohmann::json()}};
    // Robot servers and the configuration may hand us any bytes.
    return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }

  std::string metricsText(const Snapshot& s)
  {
    std::ostringstream out;
    family(out, "uptime_seconds", "gauge", "Seconds since notara started.");
    out << "notara_uptime_seconds " << number(s.uptimeS) << '\n';
    family(out, "midi_events_total", "counter", "MIDI messages read from the input device.");
    out << "notara_midi_events_total " << s.midiEvents << '\n';
    family(out, "midi_dropped_total", "counter", "MIDI messages lost or refused.");
    out << "notara_midi_dropped_total " << s.midiDropped << '\n';
    family(out, "midi_received_total", "counter",
           "MIDI messages the MIDI system handed the input, delivered or not.");
    out << "notara_midi_received_total " << s.midiReceived << '\n';
    family(out, "midi_periods_missed_total", "counter",
           "Periods the MIDI system ran without the input; their messages are lost uncounted.");
    out << "notara_midi_periods_missed_total " << s.midiPeriodsMissed << '\n';
    family(out, "midi_device_open", "gauge", "1 while the MIDI input device is open, else 0.");
    out << "notara_midi_device_open{device=\"" << labelValue(s.midiDevice) << "\"} " << (s.midiOpen ? 1 : 0)
        << '\n';
    family(out, "clock_running", "gauge", "1 between a MIDI start and stop, else 0.");
    out << "notara_clock_running " << (s.clockRunning ? 1 : 0) << '\n';
    family(out, "tempo_bpm", "gauge", "The last tempo measured from the MIDI clock (NaN before any).");
    out << "notara_tempo_bpm " << (s.bpm ? number(*s.bpm) : std::string("NaN")) << '\n';
    family(out, "parameter", "gauge", "The parameter word every action's filter tests.");
    out << "notara_parameter " << s.parameter << '\n';
    family(out, "debug_level", "gauge", "The debug level.");
    out << "notara_debug_level " << s.debug << '\n';

    static const Series<RobotStatus> series[] = {
        {"robot_up", "gauge", "1 while the robot is connected (up or stalled), else 0.",
         [](const RobotStatus& r) { return r.state == "down" ? 0.0 : 1.0; }},
        {"robot_stalled", "gauge", "1 while texts wait and the robot doesn't read, else 0.",
         [](const RobotStatus& r) { return r.state == "stalled" ? 1.0 : 0.0; }},
        {"robot_queued_bytes", "gauge", "Bytes waiting in the robot's outgoing queue.",
         [](const RobotStatus& r) { return static_cast<double>(r.queuedBytes); }},
        {"robot_texts_sent_total", "counter", "Texts written or queued for the robot.",
         [](const RobotStatus& r) { return static_cast<double>(r.sent); }},
        {"robot_texts_dropped_total", "counter", "Texts dropped for the robot (down, or its queue full).",
         [](const RobotStatus& r) { return static_cast<double>(r.dropped); }},
        {"robot_connections_total", "counter", "Connections made to the robot's server.",
         [](const RobotStatus& r) { return static_cast<double>(r.connections); }},
    };
    writeSeries(out, series, s.robots, robotLabels);

    static const Series<InputStatus> inputSeries[] = {
        {"input_open", "gauge", "1 while the MIDI input's device is open, else 0.",
         [](const InputStatus& i) { return i.state == "open" ? 1.0 : 0.0; }},
        {"input_received_total", "counter", "MIDI messages the MIDI system handed the input.",
         [](const InputStatus& i) { return static_cast<double>(i.received); }},
        {"input_events_total", "counter", "MIDI messages of the input delivered to the dispatch.",
         [](const InputStatus& i) { return static_cast<double>(i.events); }},
        {"input_dropped_total", "counter", "MIDI messages of the input lost and counted.",
         [](const InputStatus& i) { return static_cast<double>(i.dropped); }},
        {"input_periods_missed_total", "counter", "Periods the MIDI system ran without the input.",
         [](const InputStatus& i) { return static_cast<double>(i.periodsMissed); }},
        {"input_clocks_ignored_total", "counter", "Clock messages of an input other than the first, not taken.",
         [](const InputStatus& i) { return static_cast<double>(i.clocksIgnored); }},
    };
    writeSeries(out, inputSeries, s.inputs, [](const InputStatus& i) {
      return "input=\"" + std::to_string(i.index) + "\",name=\"" + labelValue(i.name) + "\"";
    });

    if (s.config)
    {
      family(out, "config_reloads_total", "counter", "Reloads of the configuration that took effect.");
      out << "notara_config_reloads_total " << s.config->reloads << '\n';
      family(out, "config_reload_failed", "gauge", "1 when the last reload failed and the running configuration was kept.");
      out << "notara_config_reload_failed " << (s.config->error ? 1 : 0) << '\n';
    }
    family(out, "latency_seconds", "histogram",
           "Time from the MIDI callback to the text handed to the robot's socket.");
    histogram(out, "latency_seconds", "", s.latency);
    family(out, "robot_latency_seconds", "histogram",
           "Time from the MIDI callback to the last byte of the text written to the robot's socket.");
    for (const RobotStatus& r : s.robots)
      histogram(out, "robot_latency_seconds", robotLabels(r) + ",", r.latency);
    return out.str();
  }
}
