// Hostile images given to list, verify and extract: each is refused with one line
// naming the image, quickly and without growing, and nothing is written from it.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "pack_support.h"

namespace fs = std::filesystem;

namespace {

// Runs list, verify and extract on `path`: each must fail with exit code 1 and one line
// naming the image, and write nothing. Returns the problem each one gave after the name.
std::vector<std::string> ProblemsOfEveryReadingCommand(const std::string& path,
                                                       const std::string& outDir) {
  std::vector<std::string> problems;
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"list", path}, std::vector<std::string>{"verify", path},
        std::vector<std::string>{"extract", path, "-C", outDir}}) {
    const CommandResult run = RunPack(command);
    const std::string prefix = "selfinst-pack: " + path + ": ";
    EXPECT_EQ(run.exitCode, 1) << command[0] << ": " << run.output;
    EXPECT_EQ(CountLines(run.output), 1) << command[0] << ": " << run.output;
    EXPECT_EQ(run.output.rfind(prefix, 0), 0u) << command[0] << ": " << run.output;
    const std::string rest = run.output.substr(std::min(prefix.size(), run.output.size()));
    problems.push_back(rest.substr(0, rest.find('\n')));
  }
  EXPECT_FALSE(fs::exists(outDir));
  return problems;
}

// The store section of a good image rewritten by `craft`, which is given the section's
// first byte and its raw size; the checksum is fixed afterwards.
struct CraftedImage {
  const char* name;
  void (*craft)(Bytes* image, std::size_t store, std::uint32_t size);
  const char* problem;
};

const CraftedImage kCraftedImages[] = {
    {"EveryRootEntrySharesOneItem",
     [](Bytes* image, std::size_t store, std::uint32_t) {
       // 131,070 entries, all leading to the first item's type directory.
       PutU16(image, store + 12, 0xFFFF);
       PutU16(image, store + 14, 0xFFFF);
       for (std::uint32_t i = 1; i < 131070; ++i) {
         std::copy_n(image->begin() + static_cast<long>(store + 16), 8,
                     image->begin() + static_cast<long>(store + 16 + 8 * i));
       }
     },
     "the root holds 131070 entries, more than the 11 keys of the manifest"},
    {"AKeyOf65535Characters",
     [](Bytes* image, std::size_t store, std::uint32_t size) {
       PutU32(image, store + 16, 0x80000000u | (size - 131072));
       PutU16(image, store + size - 131072, 0xFFFF);
     },
     "the key of type entry 0 is 65535 characters long, longer than any key (12)"},
    {"AnItemLargerThanTheSection",
     [](Bytes* image, std::size_t store, std::uint32_t) {
       PutU32(image, store + 632 + 4, 0x7FFFFFFF);
     },
     "the 2147483647 bytes of DATA_1 lie outside the store's section"},
    {"AnItemBeforeTheSection",
     [](Bytes* image, std::size_t store, std::uint32_t) { PutU32(image, store + 632, 0x1000); },
     "the 786379 bytes of DATA_1 lie outside the store's section"},
    {"ADirectoryOutsideTheSection",
     [](Bytes* image, std::size_t store, std::uint32_t) {
       PutU32(image, store + 20, 0x80000000u | 0x7FFFFFF0u);
     },
     "the type directory of DATA_1 lies outside the store"},
    {"ATypeDirectoryWithTwoNames",
     [](Bytes* image, std::size_t store, std::uint32_t) { PutU16(image, store + 104 + 12, 2); },
     "the type directory of DATA_1 holds 2 entries, not one"},
    {"ANumberedType",
     [](Bytes* image, std::size_t store, std::uint32_t) { PutU32(image, store + 16, 3); },
     "type entry 0 is not a key leading to a directory"},
};

class HostileImage : public PackTest, public ::testing::WithParamInterface<CraftedImage> {};

TEST_P(HostileImage, IsRefusedByEveryReadingCommandBeforeItIsFollowed) {
  Bytes image = Packed(kStub32, "good.exe");
  const ParsedImage parsed = Parse(image);
  GetParam().craft(&image, parsed.store.sectionOffset, parsed.store.sectionSize);
  FixCheckSum(&image);
  const std::string path = dir + "/crafted.exe";
  WriteBytes(path, image);
  for (const std::string& problem : ProblemsOfEveryReadingCommand(path, dir + "/out")) {
    EXPECT_EQ(problem, GetParam().problem);
  }
}

void PrintTo(const CraftedImage& c, std::ostream* out) { *out << c.name; }

INSTANTIATE_TEST_SUITE_P(Crafted, HostileImage, ::testing::ValuesIn(kCraftedImages),
                         [](const auto& info) { return std::string(info.param.name); });

// Things that are not regular files are refused without reading them.
struct NotAFile {
  const char* name;
  std::string (*make)(const std::string& dir);
  const char* problem;
};

const NotAFile kNotFiles[] = {
    {"Folder",
     [](const std::string& dir) {
       fs::create_directory(dir + "/image.exe");
       return dir + "/image.exe";
     },
     "a folder, not a regular file"},
    {"EndlessDevice", [](const std::string&) { return std::string("/dev/zero"); },
     "not a regular file"},
    {"Fifo",
     [](const std::string& dir) {
       EXPECT_EQ(::mkfifo((dir + "/image.exe").c_str(), 0644), 0);
       return dir + "/image.exe";
     },
     "not a regular file"},
};

class NotARegularFile : public PackTest, public ::testing::WithParamInterface<NotAFile> {};

TEST_P(NotARegularFile, IsRefusedByListVerifyAndExtract) {
  const std::string path = GetParam().make(dir);
  for (const std::string& problem : ProblemsOfEveryReadingCommand(path, dir + "/out")) {
    EXPECT_EQ(problem, GetParam().problem);
  }
}

void PrintTo(const NotAFile& n, std::ostream* out) { *out << n.name; }

INSTANTIATE_TEST_SUITE_P(Inputs, NotARegularFile, ::testing::ValuesIn(kNotFiles),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PackTest, ControlCharactersFromAnImageAreEscapedWhenPrinted) {
  Bytes image = Packed(kStub32, "good.exe");
  const ParsedImage parsed = Parse(image);
  // README_TXT's key becomes "README" ESC "[31" (still ten characters).
  const std::size_t key = parsed.store.sectionOffset + 808 + 2;
  PutU16(&image, key + 2 * 6, 0x1B);
  PutU16(&image, key + 2 * 7, '[');
  PutU16(&image, key + 2 * 8, '3');
  PutU16(&image, key + 2 * 9, '1');
  FixCheckSum(&image);
  WriteBytes(dir + "/escape.exe", image);
  const CommandResult list = RunPack({"list", dir + "/escape.exe"});
  EXPECT_EQ(list.exitCode, 0);
  EXPECT_EQ(list.output.find('\x1b'), std::string::npos);
  EXPECT_NE(list.output.find("README\\u001b[31 "), std::string::npos) << list.output;
  const CommandResult verify = RunPack({"verify", dir + "/escape.exe"});
  EXPECT_EQ(verify.exitCode, 1);
  EXPECT_EQ(verify.output.find('\x1b'), std::string::npos);
  EXPECT_NE(verify.output.find("key README\\u001b[31 is not in the manifest"), std::string::npos)
      << verify.output;
}

TEST_F(PackTest, ControlCharactersInASectionNameAreEscapedWhenPrinted) {
  Bytes image = Packed(kStub32, "good.exe");
  const std::size_t name = Parse(image).pe.sections.back().headerOffset;
  const char renamed[] = "\x1b[31m\n\r\a";
  std::copy_n(renamed, 8, image.begin() + static_cast<long>(name));
  FixCheckSum(&image);
  WriteBytes(dir + "/renamed.exe", image);
  const CommandResult verify = RunPack({"verify", dir + "/renamed.exe"});
  EXPECT_EQ(verify.exitCode, 1);
  EXPECT_EQ(verify.output.find_first_of("\x1b\r\a"), std::string::npos) << verify.output;
  EXPECT_NE(verify.output.find("\\u001b[31m\\u000a\\u000d\\u0007"), std::string::npos)
      << verify.output;
  EXPECT_EQ(CountLines(verify.output), 1) << verify.output;
}

// Cut-short images: every reading command fails with one line and never reads out of
// range (the sanitizers would stop the tool).
TEST_F(PackTest, TruncatedImagesAreRefusedByEveryReadingCommand) {
  const Bytes good = Packed(kStub32, "good.exe");
  const ParsedImage parsed = Parse(good);
  for (std::size_t length :
       {std::size_t{0}, std::size_t{2}, std::size_t{0x40}, std::size_t{0x100}, std::size_t{0x400},
        parsed.store.sectionOffset + 40, parsed.store.sectionOffset + 300}) {
    const std::string path = dir + "/cut" + std::to_string(length) + ".exe";
    WriteBytes(path, Bytes(good.begin(), good.begin() + static_cast<long>(length)));
    ProblemsOfEveryReadingCommand(path, dir + "/out");
  }
}

}  // namespace
