// vaxo-sim: statement splitting, call arguments, control calls, the state
// view, and one run of the built program over a real socket.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include "support/temp_dir.h"
#include "vaxo-sim/command_interpreter.h"
#include "vaxo-sim/expression_parser.h"
#include "vaxo-sim/options.h"
#include "vaxo-sim/screen_text.h"
#include "vaxo-sim/sim_state.h"
#include "vaxo-sim/statement_splitter.h"

extern char** environ;

namespace vaxosim
{
  // For comparing and printing the lines an outcome sends.
  bool operator==(const Outgoing& a, const Outgoing& b) { return a.connection == b.connection && a.line == b.line; }
  void PrintTo(const Outgoing& o, std::ostream* os) { *os << "[" << o.connection << "] " << o.line; }
}

namespace
{
  using namespace vaxosim;
  using Statements = std::vector<std::string>;

  // The text the bridge uploads on every connection, byte for byte.
  const std::string uploadedScript =
    R"vx(var midi.connectionID = connectionID;function midi.setDebug(p1) { if (connectionID == midi.connectionID)    midictl << ["debug", p1] else {   p.p1=p1; +connection("all"):   {midictl << ["debug",p.p1]}}};function midi.setParameter(p1) { if (connectionID == midi.connectionID) midictl << ["setparameter",p1] else {p.p1=p1; +connection("all"): {midictl << ["setparameter",p.p1]} | noop | noop}}; function midi.registerAction(p1, p2, p3, p4, p5) { if (connectionID == midi.connectionID)   midictl << ["register", p1, p2, p3, p4,p5]  else {p.p1=p1| p.p2 = p2|p.p3 = p3| p.p4=p4| p.p5=p5|+connection("all"): {midictl << ["register", p.p1, p.p2, p.p3, p.p4,p.p5]} | noop | noop;}};var midi.connected = 1;)vx";

  Statements split(const std::string& text, StatementSplitter& splitter)
  {
    Statements out;
    splitter.feed(text, out);
    return out;
  }

  Statements split(const std::string& text)
  {
    StatementSplitter splitter;
    return split(text, splitter);
  }

  // ---- statement splitting ------------------------------------------------

  TEST(StatementSplitter, SeparatorsInsideStringsBracketsAndBracesDoNotSplit)
  {
    EXPECT_EQ(split(R"(say("a,b;c"),x=1;)"), (Statements{R"(say("a,b;c"))", "x=1"}));
    EXPECT_EQ(split("f(1,2);g([1,[2,3]],{a;b}),h{c,d};"),
              (Statements{"f(1,2)", "g([1,[2,3]],{a;b})", "h{c,d}"}));
    // A bracket inside a string does not open anything.
    EXPECT_EQ(split(R"(s="(",t=1,)"), (Statements{R"(s="(")", "t=1"}));
  }

  TEST(StatementSplitter, BackslashEscapesOnlyTheNextCharacterOfAString)
  {
    EXPECT_EQ(split(R"(s="a\",b",t,)"), (Statements{R"(s="a\",b")", "t"}));
    // An escaped backslash leaves the quote after it closing the string.
    EXPECT_EQ(split(R"(s="a\\",b,)"), (Statements{R"(s="a\\")", "b"}));
    // Outside strings a backslash is an ordinary character.
    EXPECT_EQ(split(R"(a\,b,)"), (Statements{R"(a\)", "b"}));
  }

  TEST(StatementSplitter, KeepsUnfinishedTextForLaterBytes)
  {
    StatementSplitter splitter;
    EXPECT_TRUE(split("emit midi.key(9,0", splitter).empty());
    EXPECT_EQ(splitter.pending(), "emit midi.key(9,0");
    EXPECT_EQ(split(",60,100),emit", splitter), (Statements{"emit midi.key(9,0,60,100)"}));
    EXPECT_EQ(splitter.pending(), "emit");
    // A string left open in one piece still hides separators in the next.
    EXPECT_TRUE(split(R"x( x("a)x", splitter).empty());
    EXPECT_EQ(split(R"x(,b\)x", splitter), Statements{});
    EXPECT_EQ(split(R"x(")"),)x", splitter), (Statements{R"x(emit x("a,b\")"))x"}));
    EXPECT_FALSE(splitter.hasPending());
  }

  TEST(StatementSplitter, SkipsEmptyStatementsAndTrimsBlanks)
  {
    EXPECT_EQ(split(",, ;\n a = 1 ,\r\n\tb;"), (Statements{"a = 1", "b"}));
    StatementSplitter splitter;
    split("x,  \n", splitter);
    EXPECT_FALSE(splitter.hasPending());
  }

  TEST(StatementSplitter, StrayClosingBracketDoesNotSwallowLaterSeparators)
  {
    EXPECT_EQ(split("a),b],c,"), (Statements{"a)", "b]", "c"}));
  }

  TEST(StatementSplitter, UploadedScriptSplitsIntoItsFiveStatements)
  {
    Statements expected = {
      "var midi.connectionID = connectionID",
      R"(function midi.setDebug(p1) { if (connectionID == midi.connectionID)    midictl << ["debug", p1] else {   p.p1=p1; +connection("all"):   {midictl << ["debug",p.p1]}}})",
      R"(function midi.setParameter(p1) { if (connectionID == midi.connectionID) midictl << ["setparameter",p1] else {p.p1=p1; +connection("all"): {midictl << ["setparameter",p.p1]} | noop | noop}})",
      R"(function midi.registerAction(p1, p2, p3, p4, p5) { if (connectionID == midi.connectionID)   midictl << ["register", p1, p2, p3, p4,p5]  else {p.p1=p1| p.p2 = p2|p.p3 = p3| p.p4=p4| p.p5=p5|+connection("all"): {midictl << ["register", p.p1, p.p2, p.p3, p.p4,p.p5]} | noop | noop;}})",
      "var midi.connected = 1",
    };
    EXPECT_EQ(split(uploadedScript), expected);

    // Byte by byte gives the same, with nothing left over.
    StatementSplitter splitter;
    Statements pieces;
    for (char c : uploadedScript)
      splitter.feed(std::string_view(&c, 1), pieces);
    EXPECT_EQ(pieces, expected);
    EXPECT_TRUE(splitter.pending().empty());
  }

  // ---- call arguments -----------------------------------------------------

  std::string dumpArguments(const std::string& text, ExpressionParser::Resolver resolver = {})
  {
    return Json(ExpressionParser(text, std::move(resolver)).parseArguments()).dump();
  }

  std::string argumentError(const std::string& text)
  {
    try
    {
      ExpressionParser(text).parseArguments();
    }
    catch (const ExpressionError& e)
    {
      return e.what();
    }
    return "(no error)";
  }

  TEST(ExpressionParser, ParsesLiteralsKeepingTheirJsonForm)
  {
    EXPECT_EQ(dumpArguments(R"(1, [60], "EmitMap", ["midi.key"], 1)"), R"([1,[60],"EmitMap",["midi.key"],1])");
    EXPECT_EQ(dumpArguments("12.9, -1, 0.5, 4294967295, 1e2"), "[12.9,-1,0.5,4294967295,100.0]");
    EXPECT_EQ(dumpArguments(R"( [ ] , [[1],[ "a" ]], true, false, null )"), R"([[],[[1],["a"]],true,false,null])");
    EXPECT_EQ(dumpArguments(R"("a\"b\\c\n")"), R"(["a\"b\\c\n"])");
    EXPECT_EQ(dumpArguments("   "), "[]");
  }

  TEST(ExpressionParser, ResolvesIdentifiers)
  {
    auto resolver = [](std::string_view name) -> std::optional<Json> {
      if (name == "p.level")
        return Json(7);
      return std::nullopt;
    };
    EXPECT_EQ(dumpArguments("[p.level, 2]", resolver), "[[7,2]]");
    EXPECT_NE(argumentError("x").find("unknown identifier x"), std::string::npos);
  }

  TEST(ExpressionParser, ReportsMalformedArguments)
  {
    EXPECT_NE(argumentError(R"("abc)").find("unterminated string"), std::string::npos);
    EXPECT_NE(argumentError(R"("abc\)").find("unterminated string"), std::string::npos);
    EXPECT_NE(argumentError("1.2.3").find("bad number '1.2.3'"), std::string::npos);
    EXPECT_NE(argumentError("1e400").find("bad number"), std::string::npos);
    EXPECT_NE(argumentError("[1, 2").find("unterminated list"), std::string::npos);
    EXPECT_NE(argumentError("1 2").find("expected ','"), std::string::npos);
    EXPECT_NE(argumentError("1,").find("expected a value"), std::string::npos);
    EXPECT_NE(argumentError("+5").find("expected a value, found '+'"), std::string::npos);
    // A raw line break inside a string is refused rather than sent on.
    EXPECT_NE(argumentError("\"a\nb\"").find("bad string literal"), std::string::npos);
    EXPECT_NE(argumentError("1 2").find("at offset 2"), std::string::npos);
  }

  TEST(ExpressionParser, RefusesListsNestedDeeperThanTheClientsAccept)
  {
    std::string ok = std::string(64, '[') + std::string(64, ']');
    EXPECT_NO_THROW(ExpressionParser(ok).parseArguments());
    std::string deep = std::string(65, '[') + std::string(65, ']');
    EXPECT_NE(argumentError(deep).find("nested deeper than 64"), std::string::npos);
    // Far deeper input must not exhaust the stack either.
    std::string huge = std::string(100000, '[');
    EXPECT_NE(argumentError(huge).find("nested deeper"), std::string::npos);
  }

  // ---- control calls ------------------------------------------------------

  // A state and an interpreter, with helpers to feed whole texts.
  struct Sim
  {
    SimState state;
    CommandInterpreter interpreter{state};

    std::vector<Outcome> upload(unsigned id, const std::string& text)
    {
      std::vector<Outcome> outcomes;
      for (const auto& s : split(text))
        outcomes.push_back(interpreter.statement(id, s));
      return outcomes;
    }
  };

  std::vector<Outgoing> sendsOf(const Outcome& o) { return o.sends; }

  TEST(CommandInterpreter, UploadedScriptIsQuietAndMakesTheThreeCallsAnswer)
  {
    Sim sim;
    for (const auto& outcome : sim.upload(1, uploadedScript))
    {
      EXPECT_TRUE(outcome.sends.empty());
      EXPECT_FALSE(outcome.error);
    }

    Outcome reg = sim.interpreter.call(R"(midi.registerAction(1, [60], "EmitMap", ["midi.key"], 1))");
    EXPECT_FALSE(reg.error) << *reg.error;
    EXPECT_EQ(sendsOf(reg),
              (std::vector<Outgoing>{{1, "{\"tag\":\"midictl\",\"value\":[\"register\",1,[60],\"EmitMap\",[\"midi.key\"],1]}\n"}}));
    EXPECT_EQ(sendsOf(sim.interpreter.call("midi.setDebug(12)")),
              (std::vector<Outgoing>{{1, "{\"tag\":\"midictl\",\"value\":[\"debug\",12]}\n"}}));
    EXPECT_EQ(sendsOf(sim.interpreter.call("  midi.setParameter(5) ;")),
              (std::vector<Outgoing>{{1, "{\"tag\":\"midictl\",\"value\":[\"setparameter\",5]}\n"}}));
    EXPECT_EQ(sendsOf(sim.interpreter.call("midi.setDebug(12.9)")),
              (std::vector<Outgoing>{{1, "{\"tag\":\"midictl\",\"value\":[\"debug\",12.9]}\n"}}));
  }

  TEST(CommandInterpreter, CallsReachEveryConnectionThatDefinedTheFunctionOnly)
  {
    Sim sim;
    sim.upload(1, uploadedScript);
    sim.upload(3, uploadedScript);
    sim.upload(2, "emit other(1),");

    // Made by connection 2, which defined nothing itself.
    Outcome fromOther = sim.interpreter.statement(2, "midi.setParameter(-1)");
    EXPECT_FALSE(fromOther.error);
    std::string line = "{\"tag\":\"midictl\",\"value\":[\"setparameter\",-1]}\n";
    EXPECT_EQ(sendsOf(fromOther), (std::vector<Outgoing>{{1, line}, {3, line}}));

    // A connection that closed is no longer a receiver.
    sim.state.forgetConnection(1);
    EXPECT_EQ(sendsOf(sim.interpreter.call("midi.setParameter(-1)")), (std::vector<Outgoing>{{3, line}}));
    sim.state.forgetConnection(3);
    Outcome none = sim.interpreter.call("midi.setParameter(-1)");
    EXPECT_TRUE(none.sends.empty());
    ASSERT_TRUE(none.error);
    EXPECT_NE(none.error->find("no connection has defined midi.setParameter"), std::string::npos);
  }

  TEST(CommandInterpreter, AnswersWithTheListTheDefinitionSends)
  {
    Sim sim;
    sim.upload(4, R"(function midi.setDebug(level) { midictl << ["dbg", [level], "x"] };)");
    EXPECT_EQ(sendsOf(sim.interpreter.call("midi.setDebug(3)")),
              (std::vector<Outgoing>{{4, "{\"tag\":\"midictl\",\"value\":[\"dbg\",[3],\"x\"]}\n"}}));
    // Arguments may name variables the connections assigned.
    sim.upload(2, "level.max = 42,");
    EXPECT_EQ(sendsOf(sim.interpreter.statement(2, "midi.setDebug(level.max)")),
              (std::vector<Outgoing>{{4, "{\"tag\":\"midictl\",\"value\":[\"dbg\",[42],\"x\"]}\n"}}));
  }

  TEST(CommandInterpreter, BadCallFromAConnectionGetsAnErrorLineAndNothingElse)
  {
    Sim sim;
    sim.upload(1, uploadedScript);

    Outcome wrongCount = sim.interpreter.statement(2, "midi.setDebug(1, 2)");
    ASSERT_TRUE(wrongCount.error);
    EXPECT_NE(wrongCount.error->find("CommandInterpreter::call: midi.setDebug(1, 2): takes 1 argument (p1)"),
              std::string::npos)
      << *wrongCount.error;
    ASSERT_EQ(wrongCount.sends.size(), 1u);
    EXPECT_EQ(wrongCount.sends[0].connection, 2u);
    EXPECT_EQ(Json::parse(wrongCount.sends[0].line), Json({{"tag", "error"}, {"error", *wrongCount.error}}));
    EXPECT_EQ(wrongCount.sends[0].line.back(), '\n');

    Outcome unbalanced = sim.interpreter.statement(2, "midi.setDebug(3))");
    ASSERT_TRUE(unbalanced.error);
    EXPECT_NE(unbalanced.error->find("malformed call"), std::string::npos) << *unbalanced.error;

    Outcome badArgument = sim.interpreter.statement(2, "midi.registerAction(1, [60), \"EmitMap\", [], 1)");
    ASSERT_TRUE(badArgument.error);
    EXPECT_NE(badArgument.error->find("bad arguments"), std::string::npos);
    ASSERT_EQ(badArgument.sends.size(), 1u);
    EXPECT_EQ(badArgument.sends[0].connection, 2u);

    // At the prompt the error is only reported.
    Outcome atPrompt = sim.interpreter.call("midi.setDebug(nothing)");
    ASSERT_TRUE(atPrompt.error);
    EXPECT_NE(atPrompt.error->find("unknown identifier nothing"), std::string::npos);
    EXPECT_TRUE(atPrompt.sends.empty());
    EXPECT_TRUE(sim.interpreter.call("midi.setDebug").error);
  }

  TEST(CommandInterpreter, ControlCallBeforeAnyDefinitionIsAnErrorOtherCallsAreNot)
  {
    Sim sim;
    Outcome early = sim.interpreter.statement(5, "midi.setDebug(3)");
    ASSERT_TRUE(early.error);
    EXPECT_NE(early.error->find("no connection has defined midi.setDebug"), std::string::npos);
    ASSERT_EQ(early.sends.size(), 1u);
    EXPECT_EQ(early.sends[0].connection, 5u);

    // Script code the stand-in does not run is no error.
    sim.upload(5, "function dance(n) { walk(n) },");
    for (const char* text : {"dance(2)", "unknownThing(1)", "a == b", "if (x) { y }"})
    {
      Outcome o = sim.interpreter.statement(5, text);
      EXPECT_FALSE(o.error) << text;
      EXPECT_TRUE(o.sends.empty()) << text;
    }
  }

  TEST(CommandInterpreter, FixedLinesHaveTheDocumentedForm)
  {
    EXPECT_EQ(CommandInterpreter::helloLine(2), "{\"tag\":\"__system\",\"system\":\"hello\",\"connection\":\"2\"}\n");
    EXPECT_EQ(CommandInterpreter::errorLine("unknown identifier x"),
              "{\"tag\":\"error\",\"error\":\"unknown identifier x\"}\n");
    // Bytes that are not UTF-8 must not stop the server.
    EXPECT_NO_THROW(CommandInterpreter::errorLine("bad \xff byte"));
  }

  // ---- the state view -----------------------------------------------------

  TEST(SimState, FollowsAssignmentsEmitsAndFreezes)
  {
    Sim sim;
    sim.upload(1, uploadedScript);
    sim.upload(2, "midi.parameter=4294967295,midi.bpm=120,midi.bpm=121,name = \"x,y\","
                  "emit midi.key(9,0,60,100),emit midi.key(8,0,60,64),emit midi.start(),emit midi.tick( 0),"
                  "unfreeze walk,freeze key61,freeze walk,unfreeze dance,script = foo(1) + 2,");

    const SimState& state = sim.state;
    ASSERT_TRUE(state.variable("midi.connectionID"));
    EXPECT_EQ(state.variable("midi.connectionID")->value, Json("1"));
    EXPECT_EQ(state.variable("midi.connected")->value, Json(1));
    EXPECT_EQ(state.variable("midi.bpm")->text, "121");
    EXPECT_EQ(state.variable("midi.bpm")->connection, 2u);
    EXPECT_EQ(state.variable("name")->value, Json("x,y"));
    // Code it can't evaluate is kept as written.
    EXPECT_EQ(state.variable("script")->text, "foo(1) + 2");
    EXPECT_FALSE(state.variable("script")->value);
    EXPECT_FALSE(state.variable("a"));

    ASSERT_TRUE(state.event("midi.key"));
    EXPECT_EQ(state.event("midi.key")->count, 2u);
    EXPECT_EQ(state.event("midi.key")->lastPayload, "8,0,60,64");
    EXPECT_EQ(state.event("midi.start")->lastPayload, "");
    EXPECT_EQ(state.event("midi.tick")->lastPayload, " 0");

    EXPECT_TRUE(state.tag("walk")->frozen);
    EXPECT_TRUE(state.tag("key61")->frozen);
    EXPECT_FALSE(state.tag("dance")->frozen);
    EXPECT_FALSE(state.tag("never"));

    EXPECT_EQ(state.definers("midi.registerAction"), std::vector<unsigned>{1});
    EXPECT_EQ(state.function(1, "midi.registerAction")->parameters,
              (std::vector<std::string>{"p1", "p2", "p3", "p4", "p5"}));

    std::string view = state.describe();
    for (const char* expected : {"midi.parameter    = 4294967295", "midi.connectionID = \"1\"", "midi.key    x2  last (8,0,60,64)",
                                 "walk   frozen", "dance  running", "midi.setDebug(p1)", "defined by [1]"})
      EXPECT_NE(view.find(expected), std::string::npos) << expected << "\n" << view;
  }

  // ---- screen text and command line ---------------------------------------

  TEST(ScreenText, CollapsesBlanksEscapesControlBytesAndShortensWithTheSize)
  {
    EXPECT_EQ(screenText("a \n\t b\x01", 0), "a b\\x01");
    std::string longText(500, 'x');
    EXPECT_EQ(screenText(longText, 10), "xxxxxxxxxx ... (500 bytes)");
    // A cut never splits a UTF-8 sequence.
    std::string accents;
    for (int i = 0; i < 20; ++i)
      accents += "\xc3\xa9";
    EXPECT_EQ(screenText(accents, 5), "\xc3\xa9\xc3\xa9 ... (40 bytes)");
  }

  TEST(Options, ParsesAndRefusesArguments)
  {
    SimOptions o = parseCommandLine({"--port", "0", "--record=/tmp/r", "--host", "::1", "--full"});
    EXPECT_EQ(o.port, 0);
    EXPECT_EQ(o.host, "::1");
    EXPECT_EQ(o.recordDir->string(), "/tmp/r");
    EXPECT_TRUE(o.fullStatements);
    EXPECT_EQ(parseCommandLine({}).port, 54000);
    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
           {"--port", "65536"}, {"--port", "-1"}, {"--port", "12x"}, {"--port"}, {"--bogus"}, {"--full=1"}})
      EXPECT_THROW(parseCommandLine(bad), std::invalid_argument) << bad[0];
  }

  // ---- the program --------------------------------------------------------

  // The built vaxo-sim with pipes to its standard input and output.
  class SimProcess
  {
  public:
    explicit SimProcess(std::vector<std::string> args)
    {
      int in[2], out[2];
      if (pipe(in) != 0 || pipe(out) != 0)
        throw std::runtime_error(std::string("SimProcess: pipe: ") + std::strerror(errno));
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_adddup2(&actions, in[0], 0);
      posix_spawn_file_actions_adddup2(&actions, out[1], 1);
      for (int fd : {in[0], in[1], out[0], out[1]})
        posix_spawn_file_actions_addclose(&actions, fd);
      args.insert(args.begin(), VAXO_SIM_BINARY);
      std::vector<char*> argv;
      for (auto& a : args)
        argv.push_back(a.data());
      argv.push_back(nullptr);
      int rc = posix_spawn(&pid_, VAXO_SIM_BINARY, &actions, nullptr, argv.data(), environ);
      posix_spawn_file_actions_destroy(&actions);
      close(in[0]);
      close(out[1]);
      stdin_ = in[1];
      stdout_ = out[0];
      if (rc != 0)
        throw std::runtime_error(std::string("SimProcess: can't start " VAXO_SIM_BINARY ": ") + std::strerror(rc));
    }

    ~SimProcess()
    {
      if (pid_ > 0)
      {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
      if (stdin_ >= 0)
        close(stdin_);
      close(stdout_);
    }

    void writeLine(const std::string& line)
    {
      std::string text = line + "\n";
      ASSERT_EQ(write(stdin_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    void closeInput()
    {
      close(stdin_);
      stdin_ = -1;
    }

    // The next line of its output; "" at the end.
    std::string readLine()
    {
      std::string line;
      char c;
      while (read(stdout_, &c, 1) == 1)
      {
        if (c == '\n')
        {
          output_ += line + "\n";
          return line;
        }
        line.push_back(c);
      }
      output_ += line;
      return line;
    }

    // Reads lines up to and including `wanted`; false at the end of output.
    bool readUntil(const std::string& wanted)
    {
      for (std::string line = readLine(); !line.empty(); line = readLine())
        if (line == wanted)
          return true;
      return false;
    }

    // Sends `signal` and returns the exit status (-1 when it did not exit).
    int stop(int signal)
    {
      kill(pid_, signal);
      while (!readLine().empty())
        ;
      int status = 0;
      waitpid(pid_, &status, 0);
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const std::string& output() const { return output_; }

  private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    std::string output_;
  };

  TEST(VaxoSimProgram, AnswersAPromptCallOnTheConnectionThatUploadedTheScript)
  {
    notara::test::TempDir dir;
    auto record = dir.path() / "rec";
    SimProcess sim({"--port", "0", "--record", record.string()});

    const std::string prefix = "vaxo-sim listening on 127.0.0.1:";
    std::string first = sim.readLine();
    ASSERT_EQ(first.rfind(prefix, 0), 0u) << first;
    auto port = static_cast<unsigned short>(std::stoi(first.substr(prefix.size())));
    ASSERT_NE(port, 0);

    boost::asio::io_context io;
    boost::asio::ip::tcp::socket socket(io);
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), port});
    boost::asio::streambuf received;
    auto readSocketLine = [&] {
      boost::asio::read_until(socket, received, '\n');
      std::istream in(&received);
      std::string line;
      std::getline(in, line);
      return line;
    };
    EXPECT_EQ(readSocketLine(), R"({"tag":"__system","system":"hello","connection":"1"})");

    // Sent in two pieces, cut inside a string, as a network may deliver it.
    std::size_t cut = uploadedScript.find("\"debug\"") + 3;
    boost::asio::write(socket, boost::asio::buffer(uploadedScript.substr(0, cut)));
    ASSERT_TRUE(sim.readUntil("[1] var midi.connectionID = connectionID"));
    boost::asio::write(socket, boost::asio::buffer(uploadedScript.substr(cut)));
    ASSERT_TRUE(sim.readUntil("[1] var midi.connected = 1")) << sim.output();

    sim.writeLine("midi.setDebug(3)");
    EXPECT_EQ(readSocketLine(), R"({"tag":"midictl","value":["debug",3]})");

    // A call from the connection itself, and a bad one answered with an error.
    boost::asio::write(socket, boost::asio::buffer(std::string("midi.setParameter(5),midi.setDebug(),")));
    EXPECT_EQ(readSocketLine(), R"({"tag":"midictl","value":["setparameter",5]})");
    Json error = Json::parse(readSocketLine());
    EXPECT_EQ(error["tag"], "error");
    EXPECT_NE(error["error"].get<std::string>().find("takes 1 argument"), std::string::npos) << error.dump();

    sim.writeLine("send 1 {\"tag\":\"raw\",\"value\":1}");
    EXPECT_EQ(readSocketLine(), R"({"tag":"raw","value":1})");

    EXPECT_EQ(notara::test::readFile(record / "connection-1.bin"),
              uploadedScript + "midi.setParameter(5),midi.setDebug(),");

    // Without its input it serves on; a signal stops it cleanly.
    sim.closeInput();
    ASSERT_TRUE(sim.readUntil("vaxo-sim: end of standard input; serving on until SIGINT or SIGTERM"));
    EXPECT_EQ(sim.stop(SIGTERM), 0);
    EXPECT_NE(sim.output().find("vaxo-sim: stopping (SIGTERM)"), std::string::npos) << sim.output();
  }
}
