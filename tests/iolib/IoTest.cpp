// libKIVIOcpp against real node scripts in a temporary folder (hostile ones
// too: hung, runaway, ignoring SIGTERM, leaving children), its printed texts,
// and the names it exports.
#include "cKivIO.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "ConsoleCapture.h"
#include "ElfSymbols.h"
#include "Gatewayd.h"
#include "TestSupport.h"

namespace {

// Runs each test inside a fresh folder (the bridge finds "./pynodes.py"
// relative to the working directory) and goes back afterwards.
class NodeScript : public testing::Test {
 protected:
  void WriteScript(const std::string& shellBody) { kivtest::WriteNodeScript(dir_, shellBody + "\n"); }

  // OutputAll's result and what it printed.
  std::pair<std::string, std::string> RunOutputAll() {
    kivtest::ConsoleCapture console;
    std::string result = OutputAll();
    return {result, console.Text()};
  }

  // The message OutputAll threw ("" when it returned), and that it printed
  // nothing then.
  std::string OutputAllError() {
    kivtest::ConsoleCapture console;
    try {
      OutputAll();
      return "";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(console.Text(), "");
      return error.what();
    }
  }

  // Whether none is left of the process group the script wrote to ./group
  // (with kGroupToFile).
  bool GroupEnded() {
    const pid_t group = std::stoi(kivtest::ReadFile(dir_.File("group")));
    return kivtest::WaitUntil([&] { return kivtest::LiveProcessesInGroup(group).empty(); });
  }

  std::string File(const std::string& name) const { return dir_.File(name); }

 private:
  kivtest::TempDir dir_;
  kivtest::WorkingDirectory inDir_{dir_.path()};
};

// A script's first command: its process group id (field 5 of its stat) to
// ./group.
constexpr char kGroupToFile[] = "cut -d' ' -f5 /proc/$$/stat > group; ";

std::string Repeat(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += text;
  return all;
}

TEST_F(NodeScript, OutputAllPassesTheScriptOutputOnUnchanged) {
  const std::string longLine = Repeat("0123456789", 30);  // 300 characters: three reads
  std::string manyLines;
  for (int i = 0; i < 2000; ++i) manyLines += "node " + std::to_string(i) + " value=42\n";
  struct Case {
    std::string script;
    std::string expected;
  } const cases[] = {
      {"printf 'temp=21\\nhum=40\\n'", "temp=21\nhum=40\n"},
      {"printf '%s\\n' '" + longLine + "'; echo second", longLine + "\nsecond\n"},
      {"printf 'a=1\\nb=2'", "a=1\nb=2"},  // no final newline, none added
      {"exit 0", ""},
      {"echo partial; echo complaint >&2; exit 3", "partial\n"},  // status and stderr ignored
      {"i=0; while [ $i -lt 2000 ]; do echo \"node $i value=42\"; i=$((i+1)); done", manyLines},
      // Bytes, not text: a NUL and what follows it are kept, in any read.
      {"printf 'abc\\000def\\nnext\\n'", std::string("abc\0def\nnext\n", 13)},
      {"printf '%s\\000\\377\\376' '" + longLine + "'", longLine + std::string("\0\377\376", 3)},
  };
  for (const Case& c : cases) {
    WriteScript(c.script);
    const auto [result, printed] = RunOutputAll();
    EXPECT_EQ(result, c.expected) << c.script;
    EXPECT_EQ(printed, "retrive data = " + c.expected) << c.script;
  }
}

TEST_F(NodeScript, MissingScriptGivesEmptyData) {
  const auto [result, printed] = RunOutputAll();
  EXPECT_EQ(result, "");
  EXPECT_EQ(printed, "retrive data = ");
}

TEST_F(NodeScript, OutputAboveItsBoundIsRefusedWithItsSize) {
  kivtest::ScopedEnvironment bound({{"KIV_NODE_OUTPUT_BYTES", std::string("1000")}});
  WriteScript("printf '%1000s' ''");
  EXPECT_EQ(RunOutputAll().first, std::string(1000, ' '));
  WriteScript("printf '%1001s' ''");
  EXPECT_EQ(OutputAllError(),
            "./pynodes.py printed 1001 bytes, more than the limit of 1000 bytes; its output is not "
            "passed on");
}

// However a script holds on (a hung command, a TERM it ignores, a child that
// keeps the output open), the run ends at its time limit and leaves no
// process of its group behind; a finished script's leftovers go too.
TEST_F(NodeScript, ARunEndsAtItsTimeLimitWithItsWholeGroup) {
  kivtest::ScopedEnvironment limit({{"KIV_NODE_TIMEOUT_MS", std::string("500")}});
  const std::string timedOut =
      "./pynodes.py did not end within its time limit of 500 ms, so its process group was "
      "killed; its output is not passed on";
  struct Case {
    const char* body;
    std::string error;
  } const cases[] = {
      {"sleep 3600", timedOut},
      {"trap '' TERM; echo partial; while :; do sleep 1; done", timedOut},
      {"sleep 3600 & echo started", timedOut},
      {"sleep 3600 >/dev/null & echo done", ""},  // its standard error holds no run
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    WriteScript(std::string(kGroupToFile) + c.body);
    EXPECT_EQ(OutputAllError(), c.error);
    EXPECT_TRUE(GroupEnded());
  }
}

TEST_F(NodeScript, AStopEndsTheRunAtOnce) {
  int stop[2];
  ASSERT_EQ(pipe(stop), 0);
  kivtest::ScopedEnvironment settings(
      {{"KIV_NODE_STOP_FD", std::to_string(stop[0])}, {"KIV_NODE_TIMEOUT_MS", "600000"}});
  WriteScript(std::string("trap '' TERM; ") + kGroupToFile + "while :; do sleep 1; done");
  std::thread stopper([&] {
    kivtest::WaitUntil([&] { return access(File("group").c_str(), F_OK) == 0; });
    EXPECT_EQ(write(stop[1], "x", 1), 1);
  });
  EXPECT_EQ(OutputAllError(), "./pynodes.py was ended early: a stop was asked for");
  stopper.join();
  EXPECT_TRUE(GroupEnded());
  // Once stopping, a script is not started at all.
  WriteScript("touch started");
  EXPECT_EQ(OutputAllError(), "./pynodes.py was ended early: a stop was asked for");
  EXPECT_NE(access(File("started").c_str(), F_OK), 0);
  close(stop[0]);
  close(stop[1]);
}

// The script's standard error reaches ours, but the same complaint every
// cycle (a missing script, the same traceback) only once a minute.
TEST_F(NodeScript, ARepeatedComplaintIsHeldBack) {
  const std::string complaint = "complaint " + std::to_string(getpid());
  auto complaints = [&](const std::string& text, int runs) {
    WriteScript("echo '" + text + "' >&2");
    kivtest::ConsoleCapture errors(STDERR_FILENO);
    for (int i = 0; i < runs; ++i) RunOutputAll();
    return kivtest::Occurrences(errors.Text(), text + "\n");
  };
  EXPECT_EQ(complaints(complaint, 3), 1u);
  EXPECT_EQ(complaints(complaint + " changed", 1), 1u);
  kivtest::ConsoleCapture errors(STDERR_FILENO);
  unlink(File("pynodes.py").c_str());
  for (int i = 0; i < 3; ++i) RunOutputAll();
  EXPECT_LE(kivtest::Occurrences(errors.Text(), "pynodes.py"), 1u) << errors.Text();
}

TEST(Exec, RefusesLimitsThatAreNotWholeNumbersInRange) {
  const std::pair<const char*, const char*> cases[] = {
      {"KIV_NODE_TIMEOUT_MS", "0"},     {"KIV_NODE_TIMEOUT_MS", "86400001"},
      {"KIV_NODE_TIMEOUT_MS", "5s"},    {"KIV_NODE_OUTPUT_BYTES", "-1"},
      {"KIV_NODE_OUTPUT_BYTES", "67108865"}, {"KIV_NODE_STOP_FD", "1000000"},
  };
  for (const auto& [name, value] : cases) {
    kivtest::ScopedEnvironment setting({{name, std::string(value)}});
    try {
      exec("true");
      ADD_FAILURE() << name << "=" << value << " accepted";
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find(name), std::string::npos) << error.what();
    }
  }
}

TEST(Exec, CapturesStandardOutputOnly) {
  EXPECT_EQ(exec("echo out; echo err >&2"), "out\n");
  EXPECT_EQ(exec("printf 'x'"), "x");
  EXPECT_EQ(exec("true"), "");
}

TEST(Exec, NullCommandThrowsLikeAFailedStart) {
  try {
    exec(nullptr);
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "popen() failed!");
  }
}

TEST(Input, PrintsTheCommandAndReturnsEmpty) {
  struct Case {
    const char* input;
    std::string printed;
  } const cases[] = {
      {"{\"switch\":\"on\"}", "\ninput ={\"switch\":\"on\"}\n"},
      {"", "\ninput =\n"},
      {"100%s%n", "\ninput =100%s%n\n"},  // the text is data, never a format
      {"two\nlines", "\ninput =two\nlines\n"},
      {nullptr, ""},
  };
  for (const Case& c : cases) {
    kivtest::ConsoleCapture console;
    const std::string result = Input(c.input);
    EXPECT_EQ(console.Text(), c.printed) << (c.input ? c.input : "(null)");
    EXPECT_EQ(result, "");
  }
}

TEST(Output, ReturnsEmpty) { EXPECT_EQ(Output(), ""); }

// Instantiations of the standard library's templates that the library's code
// needed (functions, their local statics, type information): the std
// namespace has default visibility, so every C++ library exports those it
// instantiates. They are not the library's interface.
bool IsStandardLibraryInstance(const std::string& symbol) {
  for (const char* prefix : {"_ZSt", "_ZNSt", "_ZNKSt", "_ZN9__gnu_cxx", "_ZNK9__gnu_cxx",
                             "_ZZSt", "_ZZNSt", "_ZZNKSt", "_ZGVZSt", "_ZGVZNSt", "_ZTISt",
                             "_ZTSSt", "_ZTVSt", "_ZTINSt", "_ZTSNSt", "_ZTVNSt"}) {
    if (symbol.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// The gateway binds to these names: exec with its parameter types encoded,
// the other three bare. The return type's ABI tag ([abi:cxx11] with the
// C++11 string ABI) is part of exec's symbol but not of its signature.
TEST(Library, ExportsExecDecoratedAndTheOthersBare) {
  std::set<std::string> exported;
  for (const std::string& symbol :
       kivtest::ExportedSymbols(kivtest::BuildDir() + "/iolib/libKIVIOcpp.so")) {
    if (IsStandardLibraryInstance(symbol)) continue;
    std::string name = kivtest::Demangle(symbol);
    const std::string abiTag = "[abi:cxx11]";
    const size_t tag = name.find(abiTag);
    if (tag != std::string::npos) name.erase(tag, abiTag.size());
    exported.insert(name);
  }
  const std::set<std::string> expected = {"exec(char const*)", "OutputAll", "Input", "Output"};
  EXPECT_EQ(exported, expected);
}

}  // namespace
