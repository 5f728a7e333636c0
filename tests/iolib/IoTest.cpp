// libKIVIOcpp against real node scripts in a temporary folder, its printed
// texts, and the names it exports.
#include "cKivIO.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <set>
#include <stdexcept>
#include <string>

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

 private:
  kivtest::TempDir dir_;
  kivtest::WorkingDirectory inDir_{dir_.path()};
};

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
  };
  for (const Case& c : cases) {
    WriteScript(c.script);
    const auto [result, printed] = RunOutputAll();
    EXPECT_EQ(result, c.expected) << c.script;
    EXPECT_EQ(printed, "retrive data = " + c.expected) << c.script;
  }
}

// fgets stops at a newline, not at a NUL: the text behind a NUL up to the end
// of that read is lost, later reads are kept.
TEST_F(NodeScript, NulByteEndsTheTextOfItsRead) {
  WriteScript("printf 'abc\\000def\\nnext\\n'");
  EXPECT_EQ(RunOutputAll().first, "abc" "next\n");

  const std::string line = Repeat("x", 10) + std::string(1, '\0') + Repeat("y", 189);
  WriteScript("printf '" + Repeat("x", 10) + "\\000" + Repeat("y", 189) + "\\n'");
  // The first read takes 127 bytes; the second starts at byte 127.
  EXPECT_EQ(RunOutputAll().first, Repeat("x", 10) + line.substr(127) + "\n");
}

TEST_F(NodeScript, MissingScriptGivesEmptyData) {
  const auto [result, printed] = RunOutputAll();
  EXPECT_EQ(result, "");
  EXPECT_EQ(printed, "retrive data = ");
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

// The gateway binds to these names: exec with its parameter types encoded,
// the other three bare. The return type's ABI tag ([abi:cxx11] with the
// C++11 string ABI) is part of exec's symbol but not of its signature.
TEST(Library, ExportsExecDecoratedAndTheOthersBare) {
  std::set<std::string> exported;
  for (const std::string& symbol :
       kivtest::ExportedSymbols(kivtest::BuildDir() + "/iolib/libKIVIOcpp.so")) {
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
