// The command line: help and usage texts, usage errors that name what is wrong in one line
// with exit code 2, verify's words for what it proved, and progress shown on a terminal
// only. Each row's expected text is whole lines, exactly as printed.
#include <algorithm>
#include <filesystem>

#include "pack_process.h"
#include "pack_support.h"
#include "table_test.h"

namespace fs = std::filesystem;

namespace {

enum class Stderr { kPipe, kTerminal, kNarrowTerminal };  // narrow: 30 columns

struct Usage {
  const char* name;
  // "$DIR" the test's folder, "$IMAGE" a launcher packed there as good.exe, "$PAYLOAD" the
  // test payload, "$STUB" the PE32 stub; the same words stand in `expected`.
  std::vector<std::string> args;
  int exitCode;
  const char* expected;  // whole lines, stdout before stderr
  bool whole = false;    // the output is `expected` and nothing else
  Stderr stderrOn = Stderr::kPipe;
};

const char* const kVerifiedJson =
    R"j({"image":"$DIR/good.exe","verified":true,"payload":"$PAYLOAD","contents":"match",)j"
    R"j("items":11,"summary":"11 items match $PAYLOAD, byte for byte","signature":"none",)j"
    R"j("signer":null,)j"
    R"j("digest":null,"weak_digest":false,"chain":{"checked":false,"ca":null,"trusted":null},)j"
    R"j("timestamp":null,)j"
    R"j("problems":[]})j"
    "\n";
const char* const kIntactJson =
    R"j({"image":"$DIR/good.exe","verified":true,"payload":null,"contents":"not compared",)j"
    R"j("items":11,"summary":"store intact, 11 items (contents not compared)",)j"
    R"j("signature":"none","signer":null,)j"
    R"j("digest":null,"weak_digest":false,"chain":{"checked":false,"ca":null,"trusted":null},)j"
    R"j("timestamp":null,)j"
    R"j("problems":[]})j"
    "\n";
const char* const kRefusedJson =
    R"j({"image":"$DIR/missing.exe","verified":false,"payload":null,"contents":"not compared",)j"
    R"j("items":null,"summary":"refused","signature":null,"signer":null,)j"
    R"j("digest":null,"weak_digest":false,"chain":{"checked":false,"ca":null,"trusted":null},)j"
    R"j("timestamp":null,)j"
    R"j("problems":[{"subject":"$DIR/missing.exe",)j"
    R"j("what":"cannot open: No such file or directory"}]})j"
    "\n"
    "selfinst-pack: $DIR/missing.exe: cannot open: No such file or directory\n";
const char* const kUnprovedJson =
    R"j({"image":"$DIR/good.exe","verified":false,"payload":"$DIR/nowhere",)j"
    R"j("contents":"not proved","items":null,"summary":"refused","signature":null,)j"
    R"j("signer":null,)j"
    R"j("digest":null,"weak_digest":false,"chain":{"checked":false,"ca":null,"trusted":null},)j"
    R"j("timestamp":null,)j"
    R"j("problems":[{"subject":)j"
    R"j("$DIR/nowhere","what":"cannot open the payload folder: No such file or directory"}]})j"
    "\n"
    "selfinst-pack: $DIR/nowhere: cannot open the payload folder: No such file or directory\n";

const Usage kUsages[] = {
    {"HelpPrintsUsage",
     {"--help"},
     0,
     "usage: selfinst-pack COMMAND [ARGUMENTS]\n"
     "  pack     makes a launcher: the stub with a payload folder's files, their sizes in its "
     "table\n"},
    {"HelpForPack",
     {"help", "pack"},
     0,
     "usage: selfinst-pack pack --stub STUB.exe --payload DIR -o OUT.exe\n"
     "makes a launcher: the stub with a payload folder's files, their sizes in its table\n"
     "  --stub STUB.exe  the stub as built, for any payload: dist/tq30-stub.exe or "
     "tq30-stub-x64.exe\n"
     "  --payload DIR    the folder holding the eleven files\n"
     "  -o OUT.exe       the launcher to write (replaced when there)\n"
     "example: selfinst-pack pack --stub dist/tq30-stub.exe --payload payload -o tq30-setup.exe\n",
     true},
    {"HelpAfterAVerb",
     {"extract", "--help"},
     0,
     "usage: selfinst-pack extract IMAGE -C DIR\n"
     "writes the files a built launcher carries into a folder, once it verifies, signature "
     "included\n"
     "  IMAGE   the built launcher to read\n"
     "  -C DIR  the folder to write into (made when missing)\n"
     "example: selfinst-pack extract dist/tq30-setup.exe -C unpacked\n",
     true},
    {"HelpCommand", {"help"}, 0, "  help     shows a command's usage, or this\n"},
    {"HelpForACommand",
     {"help", "verify"},
     0,
     "usage: selfinst-pack verify IMAGE [--payload DIR] [--ca FILE] [--tsa-ca FILE] [--json]\n"
     "checks a built launcher's store and loader fields, and its items against a payload\n"
     "  IMAGE          the built launcher to check\n"
     "  --payload DIR  compares every item with its file, byte for byte\n"
     "  --ca FILE      also checks that the signer and the timestamp chain to a CA of FILE (PEM)\n"
     "  --tsa-ca FILE  checks the timestamp against FILE (PEM) instead of --ca's, and that there "
     "is one\n"
     "  --json         prints one JSON document instead\n"
     "example: selfinst-pack verify dist/tq30-setup.exe --payload payload --ca your-ca.pem\n",
     true},
    {"ShortHelpAfterAVerb", {"list", "-h"}, 0, "usage: selfinst-pack list IMAGE [--json]\n"},
    {"HelpForAnUnknownCommand",
     {"help", "unpack"},
     2,
     "selfinst-pack: help: unknown command unpack (see selfinst-pack --help)\n"},
    {"Version", {"--version"}, 0, "selfinst-pack 1.0.0"},  // and the commit, when built from git
    {"NoVerb", {}, 2, "selfinst-pack: no command given (see selfinst-pack --help)\n"},
    {"UnknownVerb",
     {"unpack", "$DIR/a.exe"},
     2,
     "selfinst-pack: unknown command unpack (see selfinst-pack --help)\n"},
    {"UnknownOption",
     {"list", "$DIR/a.exe", "--verbose"},
     2,
     "selfinst-pack: unknown option --verbose (see selfinst-pack help list)\n"},
    {"EmptyFolderForExtract",
     {"extract", "$DIR/missing.exe", "-C", ""},
     2,
     "selfinst-pack: -C needs a non-empty value (see selfinst-pack help extract)\n"},
    {"EmptyPayloadForVerify",
     {"verify", "$DIR/missing.exe", "--payload", ""},
     2,
     "selfinst-pack: --payload needs a non-empty value (see selfinst-pack help verify)\n"},
    {"OptionWithoutValue",
     {"extract", "$DIR/missing.exe", "-C"},
     2,
     "selfinst-pack: -C needs a value: -C DIR (see selfinst-pack help extract)\n"},
    {"RepeatedOption",
     {"verify", "$DIR/missing.exe", "--payload", "$DIR", "--payload", "$DIR"},
     2,
     "selfinst-pack: --payload is given twice (see selfinst-pack help verify)\n"},
    {"TsaCaWithoutValue",
     {"verify", "$DIR/missing.exe", "--tsa-ca"},
     2,
     "selfinst-pack: --tsa-ca needs a value: --tsa-ca FILE (see selfinst-pack help verify)\n"},
    {"TsaCaNotThere",
     {"verify", "$DIR/missing.exe", "--tsa-ca=$DIR/none.pem"},
     1,
     "selfinst-pack: $DIR/none.pem: cannot open: No such file or directory\n"},
    {"OptionOfAnotherVerb",
     {"list", "$DIR/missing.exe", "-C", "$DIR"},
     2,
     "selfinst-pack: -C does not apply to list (see selfinst-pack help list)\n"},
    // The launcher's sizes are pack's to write: no build reads them from a payload.
    {"NoDepfile",
     {"pack", "--stub", "$DIR/a", "--payload", "$DIR", "-o", "$DIR/b", "--depfile", "$DIR/d"},
     2,
     "selfinst-pack: unknown option --depfile (see selfinst-pack help pack)\n"},
    {"OutputForVerify",
     {"verify", "$DIR/missing.exe", "-o", "$DIR/x"},
     2,
     "selfinst-pack: -o does not apply to verify (see selfinst-pack help verify)\n"},
    {"MissingOption",
     {"pack", "--stub", "$DIR/a", "-o", "$DIR/b"},
     2,
     "selfinst-pack: pack needs --payload DIR (see selfinst-pack help pack)\n"},
    {"FolderWithoutItsOption",
     {"check", "$DIR/payload"},
     2,
     "selfinst-pack: check needs --payload DIR; for $DIR/payload, write --payload $DIR/payload "
     "(see selfinst-pack help check)\n"},
    {"NoImage",
     {"list"},
     2,
     "selfinst-pack: list needs IMAGE, the built launcher to read (see selfinst-pack help list)\n"},
    {"TwoImages",
     {"list", "$DIR/a.exe", "$DIR/b.exe"},
     2,
     "selfinst-pack: unexpected argument $DIR/b.exe: list takes one IMAGE "
     "(see selfinst-pack help list)\n"},
    {"ImageForPack",
     {"pack", "$DIR/a.exe", "--stub", "a", "--payload", "b", "-o", "c"},
     2,
     "selfinst-pack: unexpected argument $DIR/a.exe: pack takes only options "
     "(see selfinst-pack help pack)\n"},
    {"NoSizesCommand",
     {"sizes", "--payload", "$DIR", "-o", "$DIR/s.h"},
     2,
     "selfinst-pack: unknown command sizes (see selfinst-pack --help)\n"},
    // A long option's value after an =, as after a space; a flag takes none.
    {"ValueAfterAnEquals",
     {"verify", "$IMAGE", "--payload=$PAYLOAD"},
     0,
     "$DIR/good.exe: 11 items match $PAYLOAD, byte for byte\n",
     true},
    {"ValueAfterAnEqualsMayStartWithADash",
     {"verify", "$DIR/missing.exe", "--payload=-$DIR"},
     1,
     "selfinst-pack: $DIR/missing.exe: cannot open: No such file or directory\n"},
    {"EmptyValueAfterAnEquals",
     {"check", "--payload="},
     2,
     "selfinst-pack: --payload needs a non-empty value (see selfinst-pack help check)\n"},
    {"FlagWithAValue",
     {"list", "$DIR/a.exe", "--json=yes"},
     2,
     "selfinst-pack: --json takes no value (see selfinst-pack help list)\n"},
    {"UnknownOptionWithAValue",
     {"list", "$DIR/a.exe", "--verbose=1"},
     2,
     "selfinst-pack: unknown option --verbose (see selfinst-pack help list)\n"},
    {"RepeatedOptionOnceAfterAnEquals",
     {"verify", "$DIR/missing.exe", "--payload=$DIR", "--payload", "$DIR"},
     2,
     "selfinst-pack: --payload is given twice (see selfinst-pack help verify)\n"},
    // A help request is an option's name, never an option's value.
    {"HelpAsAnOptionsValue",
     {"extract", "$DIR/missing.exe", "-C", "--help"},
     1,
     "selfinst-pack: $DIR/missing.exe: cannot open: No such file or directory\n"},
    {"AfterTheEndOfOptions",
     {"list", "--", "$DIR/-odd.exe"},
     1,
     "selfinst-pack: $DIR/-odd.exe: cannot open: No such file or directory\n"},
    {"LineBreakInAPath",
     {"list", "$DIR/a\nb\x1b.exe"},
     1,
     "selfinst-pack: $DIR/a\\u000ab\\u001b.exe: cannot open: No such file or directory\n"},
    {"C1ControlInAPath",
     {"list",
      "$DIR/a\xc2\x9b"
      "31mb.exe"},
     1,
     "selfinst-pack: $DIR/a\\u009b31mb.exe: cannot open: No such file or directory\n"},
    {"ByteNotUtf8InAPath",
     {"list", "$DIR/a\xff\x9b.exe"},
     1,
     "selfinst-pack: $DIR/a\\xff\\x9b.exe: cannot open: No such file or directory\n"},
    {"OverlongUtf8InAPath",
     {"list", "$DIR/a\xc0\x8a.exe"},
     1,
     "selfinst-pack: $DIR/a\\xc0\\x8a.exe: cannot open: No such file or directory\n"},
    {"Utf8LettersInAPathStay",
     {"list", "$DIR/\xc3\xa9t\xc3\xa9.exe"},
     1,
     "selfinst-pack: $DIR/\xc3\xa9t\xc3\xa9.exe: cannot open: No such file or directory\n"},
    // What verify proved, in words and as JSON.
    {"VerifyAgainstThePayload",
     {"verify", "$IMAGE", "--payload", "$PAYLOAD"},
     0,
     "$DIR/good.exe: 11 items match $PAYLOAD, byte for byte\n",
     true},
    {"VerifyWithoutAPayload",
     {"verify", "$IMAGE"},
     0,
     "$DIR/good.exe: store intact, 11 items (contents not compared)\n",
     true},
    {"VerifyAsJson",
     {"verify", "$IMAGE", "--payload", "$PAYLOAD", "--json"},
     0,
     kVerifiedJson,
     true},
    {"VerifyAsJsonWithoutAPayload", {"verify", "$IMAGE", "--json"}, 0, kIntactJson, true},
    {"VerifyRefusedAsJson", {"verify", "--json", "$DIR/missing.exe"}, 1, kRefusedJson, true},
    {"VerifyAgainstAMissingPayloadAsJson",
     {"verify", "$IMAGE", "--payload", "$DIR/nowhere", "--json"},
     1,
     kUnprovedJson,
     true},
    // Progress on a terminal, shown at once (SELFINST_PACK_PROGRESS_DELAY=0); none on a pipe.
    {"PackShowsProgressOnATerminal",
     {"pack", "--stub", "$STUB", "--payload", "$PAYLOAD", "-o", "$DIR/out.exe"},
     0,
     "",
     false,
     Stderr::kTerminal},
    {"VerifyShowsProgressOnATerminal",
     {"verify", "$IMAGE", "--payload", "$PAYLOAD"},
     0,
     "$DIR/good.exe: 11 items match $PAYLOAD, byte for byte\n",
     false,
     Stderr::kTerminal},
    {"ExtractShowsProgressOnATerminal",
     {"extract", "$IMAGE", "-C", "$DIR/out"},
     0,
     "",
     false,
     Stderr::kTerminal},
    {"VerifyShowsProgressWithinANarrowTerminal",
     {"verify", "$IMAGE", "--payload", "$PAYLOAD"},
     0,
     "$DIR/good.exe: 11 items match $PAYLOAD, byte for byte\n",
     false,
     Stderr::kNarrowTerminal},
    {"PackSaysNothingOnAPipe",
     {"pack", "--stub", "$STUB", "--payload", "$PAYLOAD", "-o", "$DIR/out.exe"},
     0,
     "",
     true},
    {"ExtractSaysNothingOnAPipe", {"extract", "$IMAGE", "-C", "$DIR/out"}, 0, "", true},
};

std::string Replaced(std::string text, const std::string& dir) {
  const std::pair<std::string, std::string> words[] = {
      {"$IMAGE", "$DIR/good.exe"}, {"$DIR", dir}, {"$PAYLOAD", kPayload}, {"$STUB", kStub32}};
  for (const auto& word : words) {
    for (std::size_t at = text.find(word.first); at != std::string::npos;
         at = text.find(word.first, at + word.second.size())) {
      text.replace(at, word.first.size(), word.second);
    }
  }
  return text;
}

class CommandLine : public PackTest, public ::testing::WithParamInterface<Usage> {};

TEST_P(CommandLine, SaysWhatIsWrongOnOneLine) {
  const Usage& row = GetParam();
  ToolRun run;
  bool writes = false;
  for (const std::string& arg : row.args) {
    if (arg == "$IMAGE") {
      Packed(kStub32, "good.exe");
    }
    writes = writes || arg == "-o" || arg == "-C";
    run.args.push_back(Replaced(arg, dir));
  }
  run.env = {"SELFINST_PACK_PROGRESS_DELAY=0"};
  run.stderrOnTerminal = row.stderrOn != Stderr::kPipe;
  run.terminalColumns = row.stderrOn == Stderr::kNarrowTerminal ? 30 : 0;
  run.stdoutToStderr = !run.stderrOnTerminal;
  const std::vector<std::string> before = FolderEntries(dir);
  const ToolResult result = RunTool(run);
  const std::string output = result.out + result.err;
  const std::string expected = Replaced(row.expected, dir);
  EXPECT_EQ(result.exitCode, row.exitCode) << output;
  if (row.whole) {
    EXPECT_EQ(output, expected);
  } else {
    EXPECT_NE(("\n" + output).find("\n" + expected), std::string::npos) << output;
  }
  if (row.exitCode != 0) {
    EXPECT_EQ(CountLines(output), CountLines(expected)) << output;
  }
  if (row.stderrOn == Stderr::kTerminal) {
    // A line rewritten in place, and cleared at the end: the last thing written is a \r.
    EXPECT_NE(result.err.find("\rselfinst-pack: " + row.args[0] + ": "), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find(" MB)"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.back(), '\r') << result.err;
    EXPECT_EQ(result.err.find('\n'), std::string::npos) << result.err;
  } else if (row.stderrOn == Stderr::kNarrowTerminal) {
    // Each state of the line is narrower than the terminal, so that none wraps.
    EXPECT_NE(result.err.find("\rselfinst-pack: "), std::string::npos) << result.err;
    EXPECT_EQ(result.err.back(), '\r') << result.err;
    std::size_t widest = 0;
    for (std::size_t at = 0, end = 0; at < result.err.size(); at = end + 1) {
      end = std::min(result.err.find('\r', at), result.err.size());
      widest = std::max(widest, end - at);
    }
    EXPECT_EQ(widest, 29u) << result.err;
  } else {
    EXPECT_EQ(output.find('\r'), std::string::npos) << output;
  }
  if (row.exitCode != 0 || !writes) {
    EXPECT_EQ(FolderEntries(dir), before) << "nothing written";
  }
}

TABLE_TEST_ROWS(Usages, CommandLine, kUsages);

// The manual page as `man -l` renders it holds what the usage texts show: each row takes
// its lines from `selfinst-pack --help` and `help COMMAND`, so that a verb or option added
// to the table and missing from the page fails here.
struct Wanted {
  std::string section;  // the heading the text stands under: "EXAMPLES", or a command's name
  std::string text;
};

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

std::string Trimmed(const std::string& line) {
  const std::size_t first = line.find_first_not_of(' ');
  return first == std::string::npos ? ""
                                    : line.substr(first, line.find_last_not_of(' ') + 1 - first);
}

// The commands `--help` lists: "  NAME  summary" lines.
std::vector<std::string> Commands() {
  std::vector<std::string> commands;
  for (const std::string& line : LinesOf(RunPack({"--help"}).output)) {
    if (line.compare(0, 2, "  ") == 0 && line.size() > 2 && line[2] != ' ') {
      commands.push_back(line.substr(2, line.find(' ', 2) - 2));
    }
  }
  return commands;
}

std::vector<Wanted> CommandsAndSynopses() {
  std::vector<Wanted> wanted;
  for (const std::string& command : Commands()) {
    const std::string usage = LinesOf(RunPack({"help", command}).output).at(0);
    wanted.push_back({command, usage.substr(std::string("usage: ").size())});
  }
  return wanted;
}

// Each "  TAG  description" row of each command's usage: the tag and the description.
std::vector<Wanted> OperandsAndOptions() {
  std::vector<Wanted> wanted;
  for (const std::string& command : Commands()) {
    for (const std::string& line : LinesOf(RunPack({"help", command}).output)) {
      if (line.compare(0, 2, "  ") != 0) {
        continue;
      }
      const std::size_t gap = line.find("  ", 2);
      wanted.push_back({command, line.substr(2, gap - 2)});
      wanted.push_back({command, Trimmed(line.substr(gap)) + "."});
    }
  }
  return wanted;
}

std::vector<Wanted> Examples() {
  std::vector<Wanted> wanted;
  for (const std::string& command : Commands()) {
    for (const std::string& line : LinesOf(RunPack({"help", command}).output)) {
      if (line.compare(0, 9, "example: ") == 0) {
        wanted.push_back({"EXAMPLES", line.substr(9)});
      }
    }
  }
  return wanted;
}

// "Exit codes: 0 done, 1 ..., 2 a usage error." as "0" over "done." each.
std::vector<Wanted> ExitCodes() {
  std::vector<Wanted> wanted;
  for (const std::string& line : LinesOf(RunPack({"--help"}).output)) {
    if (line.compare(0, 12, "Exit codes: ") != 0) {
      continue;
    }
    std::string rest = line.substr(12, line.size() - 13);
    for (std::size_t at = 0; at < rest.size();) {
      const std::size_t end = std::min(rest.find(", ", at), rest.size());
      const std::string entry = rest.substr(at, end - at);
      wanted.push_back({"EXIT STATUS", entry.substr(0, entry.find(' '))});
      wanted.push_back({"EXIT STATUS", entry.substr(entry.find(' ') + 1) + "."});
      at = end + 2;
    }
  }
  return wanted;
}

struct PageRow {
  const char* name;
  std::vector<Wanted> (*wanted)();
  std::size_t atLeast;  // so that a usage text read wrongly cannot pass with nothing wanted
};

const PageRow kPageRows[] = {
    {"EveryCommandWithItsSynopsis", CommandsAndSynopses, 8},
    {"EveryOperandAndOptionOfEachCommand", OperandsAndOptions, 26},
    {"AnExampleOfEachCommand", Examples, 8},
    {"TheExitCodes", ExitCodes, 6},
};

class ManualPage : public PackTest, public ::testing::WithParamInterface<PageRow> {};

TEST_P(ManualPage, HoldsWhatTheUsageTextsShow) {
  ToolRun man;
  man.tool = "/usr/bin/man";
  man.args = {"-l", SELFINST_PACK_MAN_PAGE};
  man.env = {"MANWIDTH=1000", "MANPAGER=cat", "PAGER=cat", "LC_ALL=C.UTF-8"};
  const ToolResult rendered = RunTool(man);
  ASSERT_EQ(rendered.exitCode, 0) << rendered.err;
  // Each line under its heading: a section's at the margin, a command's indented by three.
  std::vector<std::pair<std::string, std::string>> lines;  // heading, the line trimmed
  std::string section;
  std::string command;
  for (const std::string& line : LinesOf(rendered.out)) {
    if (!line.empty() && line[0] != ' ') {
      section = line;
      command.clear();
    } else if (line.compare(0, 3, "   ") == 0 && line.size() > 3 && line[3] != ' ') {
      command = Trimmed(line);
    }
    lines.emplace_back(section, Trimmed(line));
    if (!command.empty()) {
      lines.emplace_back(command, Trimmed(line));
    }
  }
  const std::vector<Wanted> wanted = GetParam().wanted();
  EXPECT_GE(wanted.size(), GetParam().atLeast);
  for (const Wanted& want : wanted) {
    const bool found = std::any_of(lines.begin(), lines.end(), [&want](const auto& line) {
      return line.first == want.section && line.second.find(want.text) != std::string::npos;
    });
    EXPECT_TRUE(found) << "not under " << want.section << ": " << want.text;
  }
}

TABLE_TEST_ROWS(Page, ManualPage, kPageRows);

// pack takes a payload folder of any name: none of it reaches a makefile.
struct FolderName {
  const char* name;
  const char* folder;  // the payload folder's name in the test's folder
};

const FolderName kFolderNames[] = {
    {"PlainName", "payload"},
    {"SpaceDollarAndHash", "pay $x #1"},
    {"ColonPipeAndWildcards", "a:b|c*d?e[f]"},
    {"Backslash", "a\\c"},
    {"EqualsPercentAndSemicolon", "p=x%y;z"},
    {"QuotesAndParentheses", "p'x\"y$(z)"},
};

class PackFolderName : public PackTest, public ::testing::WithParamInterface<FolderName> {};

TEST_P(PackFolderName, IsPackedAndVerifiesAgainstIt) {
  const std::string payload = CopyPayload(GetParam().folder);
  const CommandResult run =
      RunPack({"pack", "--stub", kStub32, "--payload", payload, "-o", dir + "/out.exe"});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const CommandResult verified = RunPack({"verify", dir + "/out.exe", "--payload", payload});
  EXPECT_EQ(verified.exitCode, 0) << verified.output;
}

TABLE_TEST_ROWS(Paths, PackFolderName, kFolderNames);

}  // namespace
