// The payload's sizes: refused before any reading when too large for a 32-bit image, and
// checked against what 32-bit Windows maps.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "pack_process.h"
#include "pack_support.h"
#include "table_test.h"

namespace fs = std::filesystem;

namespace {

std::string Row(std::size_t row) { return Manifest()[row].fileName; }

// Payload folders too large for a 32-bit image, made of sparse files; the first file is
// unreadable to the unprivileged user who runs the tool, so any attempt to read before
// the sizes are checked would show.
struct Oversize {
  const char* name;
  std::vector<std::pair<std::size_t, std::uintmax_t>> rowSizes;
  bool namesTheFolder;  // else it names the last row resized
  const char* problem;
};

const Oversize kOversizes[] = {
    {"FileOfFiveGiB",
     {{9, 5ull << 30}},
     false,
     "5368709120 bytes, more than the 2130706432 bytes with which a 32-bit Windows launcher "
     "still starts"},
    {"PayloadOfTwoAndAHalfGiB",
     {{1, 1342177280}, {9, 1342177280}},
     true,
     "the payload holds 2684778669 bytes, more than the 2130706432 bytes with which a 32-bit "
     "Windows launcher still starts"},
};

// The commands that read the payload's sizes; "$STUB", "$PAYLOAD" and "$OUT" stand for the
// test's stub, payload and output.
struct SizesCommand {
  const char* name;
  std::vector<std::string> args;
};

const SizesCommand kSizesCommands[] = {
    {"Pack", {"pack", "--stub", "$STUB", "--payload", "$PAYLOAD", "-o", "$OUT"}},
    {"Check", {"check", "--payload", "$PAYLOAD"}},
};
TABLE_ROW_NAMES(Oversize);
TABLE_ROW_NAMES(SizesCommand);

class OversizedPayload : public PackTest,
                         public ::testing::WithParamInterface<std::tuple<Oversize, SizesCommand>> {
};

TEST_P(OversizedPayload, IsRefusedByPackAndCheckBeforeAnyReading) {
  const auto& [oversize, command] = GetParam();
  const std::string payload = CopyPayload();
  ASSERT_EQ(::chmod((payload + "/" + Row(0)).c_str(), 0), 0);
  for (const auto& [row, size] : oversize.rowSizes) {
    fs::resize_file(payload + "/" + Row(row), size);
  }
  const std::string named =
      oversize.namesTheFolder ? payload : payload + "/" + Row(oversize.rowSizes.back().first);
  const std::string stub = dir + "/stub.exe";
  fs::copy_file(kStub32, stub);
  std::vector<std::string> args;
  for (const std::string& arg : command.args) {
    args.push_back(arg == "$STUB"      ? stub
                   : arg == "$PAYLOAD" ? payload
                   : arg == "$OUT"     ? dir + "/o"
                                       : arg);
  }
  const CommandResult run = RunPack(args, true, dir);
  EXPECT_EQ(run.exitCode, 1);
  // The unreadable file is said beside the sizes, found without reading it.
  EXPECT_EQ(run.output, "selfinst-pack: " + payload + "/" + Row(0) +
                            ": cannot read: Permission denied\n" + "selfinst-pack: " + named +
                            ": " + oversize.problem + "\n");
  EXPECT_FALSE(fs::exists(dir + "/o"));
}

// A PE32 that carries more than 32-bit Windows maps starts only large-address-aware: pack
// marks it so, and verify refuses one that is not. The image is written whole (about
// 1.8 GB on disk for a few seconds); the flag and the checksum are changed in place.
TEST_F(PackTest, APayloadAboveWhatWindowsMapsNeedsTheLargeAddressFlag) {
  const std::string payload = CopyPayload();
  std::uintmax_t others = 0;
  for (std::size_t row = 0; row < Manifest().size(); ++row) {
    others += row == 9 ? 0 : fs::file_size(payload + "/" + Row(row));
  }
  fs::resize_file(payload + "/" + Row(9), 1862270977 - others);  // sparse
  const std::string image = dir + "/large.exe";
  // Gigabytes through the sanitized build, on a machine running other tests.
  const auto run = [](const std::vector<std::string>& args) {
    ToolRun tool;
    tool.args = args;
    tool.stdoutToStderr = true;
    tool.timeoutSeconds = 300;
    return RunTool(tool);
  };
  const ToolResult pack = run({"pack", "--stub", kStub32, "--payload", payload, "-o", image});
  ASSERT_EQ(pack.exitCode, 0) << pack.err;
  EXPECT_EQ(run({"verify", image}).exitCode, 0);

  // The flag sits in the first kilobyte; the checksum follows the change of that one word.
  Bytes head(1024);
  std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
  file.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  ImageFile headers = ImageInMemory(image, head);
  headers.size = fs::file_size(image);  // the rest is past the head, as on disk
  PeImage pe;
  Report report;
  ASSERT_TRUE(ParsePeImage(headers, &pe, &report)) << Lines(report);
  ASSERT_NE(pe.characteristics & coff::kLargeAddressAware, 0);
  const std::size_t characteristics = pe.coffOffset + coff::kCharacteristics.offset;
  const std::size_t checkSumAt = OptionalFieldAt(pe, optional::kCheckSum);
  ASSERT_EQ(characteristics % 2, 0u) << "one 16-bit word of the sum";
  std::uint32_t checkSum = 0;
  ASSERT_TRUE(Get(head, checkSumAt, Field{"", 0, 4}, &checkSum));
  const std::uint64_t length = headers.size;
  std::uint32_t sum = static_cast<std::uint32_t>(checkSum - length);  // the folded word sum
  sum = sum > coff::kLargeAddressAware ? sum - coff::kLargeAddressAware
                                       : sum + 0xFFFF - coff::kLargeAddressAware;
  PutU16(&head, characteristics, pe.characteristics & ~coff::kLargeAddressAware);
  PutU32(&head, checkSumAt, static_cast<std::uint32_t>(sum + length));
  file.seekp(0);
  file.write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
  file.close();

  const ToolResult verify = run({"verify", image});
  EXPECT_EQ(verify.exitCode, 1);
  EXPECT_EQ(verify.err, "selfinst-pack: " + image +
                            ": the image is not large-address-aware, so its 1862270977 bytes "
                            "of payload leave it no room to start\n");
  fs::remove(image);
}

// What limits prints: the ceiling and what 32-bit Windows maps, both used below.
TEST(PackLimits, NameTheCeilingAndWhat32BitWindowsMaps) {
  const CommandResult limits = RunPack({"limits"});
  ASSERT_EQ(limits.exitCode, 0);
  EXPECT_EQ(limits.output,
            "largest payload: 2130706432 bytes\n"
            "largest payload 32-bit Windows maps: 1862270976 bytes\n");
}

// Between what 32-bit Windows maps and the ceiling, the payload is taken, and one line says
// where its launcher runs; at the ceiling itself too, and a byte more is refused.
struct PayloadTotal {
  const char* name;
  std::uintmax_t total;
  int exitCode;
  const char* line;  // after "selfinst-pack: " and the payload folder; "" for none
};

const PayloadTotal kTotals[] = {
    {"WhatThirtyTwoBitWindowsMaps", 1862270976, 0, ""},
    {"AByteMoreThanThirtyTwoBitWindowsMaps", 1862270977, 0,
     ": warning: the payload holds 1862270977 bytes, more than the 1862270976 bytes 32-bit "
     "Windows can map for a program: the launcher runs on 64-bit Windows only\n"},
    {"TheCeiling", 2130706432, 0,
     ": warning: the payload holds 2130706432 bytes, more than the 1862270976 bytes 32-bit "
     "Windows can map for a program: the launcher runs on 64-bit Windows only\n"},
    {"AByteAboveTheCeiling", 2130706433, 1,
     ": the payload holds 2130706433 bytes, more than the 2130706432 bytes with which a 32-bit "
     "Windows launcher still starts\n"},
};

class PayloadOfTotal : public PackTest, public ::testing::WithParamInterface<PayloadTotal> {};

TEST_P(PayloadOfTotal, IsCheckedAgainstWhatWindowsMapsAndTheCeiling) {
  const std::string payload = CopyPayload();
  std::uintmax_t others = 0;
  for (std::size_t row = 0; row < Manifest().size(); ++row) {
    others += row == 9 ? 0 : fs::file_size(payload + "/" + Row(row));
  }
  fs::resize_file(payload + "/" + Row(9), GetParam().total - others);  // sparse
  const CommandResult run = RunPack({"check", "--payload", payload});
  EXPECT_EQ(run.exitCode, GetParam().exitCode);
  const std::string line = GetParam().line;
  EXPECT_EQ(run.output, line.empty() ? "" : "selfinst-pack: " + payload + line);
}

TABLE_TEST_ROWS(Totals, PayloadOfTotal, kTotals);

INSTANTIATE_TEST_SUITE_P(Sizes, OversizedPayload,
                         ::testing::Combine(::testing::ValuesIn(kOversizes),
                                            ::testing::ValuesIn(kSizesCommands)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  std::get<1>(info.param).name;
                         });

}  // namespace
