// Hostile images given to list, verify and extract: each is refused with one line
// naming the image, quickly and without growing, and nothing is written from it.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "pack_support.h"
#include "table_test.h"

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

// A good image rewritten or cut short by `craft`; the checksum is fixed afterwards where
// the headers are whole. A cut image is never read out of range (the sanitizers would
// stop the tool).
struct CraftedImage {
  const char* name;
  void (*craft)(Bytes* image, const ParsedImage& parsed);
  const char* problem;
  bool fixCheckSum = true;
};

void CutAt(Bytes* image, std::size_t length) {
  ASSERT_LT(length, image->size());
  image->resize(length);
}

constexpr const char* kFirstTypeEntry = "the type entry of DATA_1";  // the root's sorted order

const CraftedImage kCraftedImages[] = {
    {"EveryRootEntrySharesOneItem",
     [](Bytes* image, const ParsedImage& parsed) {
       // 131,070 entries, all leading to the first item's type directory.
       PutU16(image,
              FieldAt(parsed, "the root directory", resourceDirectory::kNumberOfNamedEntries),
              0xFFFF);
       PutU16(image, FieldAt(parsed, "the root directory", resourceDirectory::kNumberOfIdEntries),
              0xFFFF);
       const std::size_t first = RecordAt(parsed, kFirstTypeEntry);
       for (std::uint32_t i = 1; i < 131070; ++i) {
         std::copy_n(image->begin() + static_cast<long>(first), resourceEntry::kRecordSize,
                     image->begin() + static_cast<long>(first + resourceEntry::kRecordSize * i));
       }
     },
     "the root holds 131070 entries, more than the 11 keys of the manifest"},
    {"AKeyOf65535Characters",
     [](Bytes* image, const ParsedImage& parsed) {
       const std::uint32_t key = parsed.store.sectionSize - resourceString::Size(0xFFFF);
       PutU32(image, FieldAt(parsed, kFirstTypeEntry, resourceEntry::kName),
              resourceEntry::kNameIsString | key);
       PutU16(image, parsed.store.sectionOffset + key, 0xFFFF);
     },
     "the key of type entry 0 is 65535 characters long, longer than any key (12)"},
    {"AnItemLargerThanTheSection",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, FieldAt(parsed, "the data entry of DATA_1", resourceDataEntry::kSize),
              0x7FFFFFFF);
     },
     "the 2147483647 bytes of DATA_1 lie outside the store's section"},
    {"AnItemBeforeTheSection",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, FieldAt(parsed, "the data entry of DATA_1", resourceDataEntry::kOffsetToData),
              0x1000);
     },
     "the 786379 bytes of DATA_1 lie outside the store's section"},
    {"ADirectoryOutsideTheSection",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, FieldAt(parsed, kFirstTypeEntry, resourceEntry::kOffsetToData),
              resourceEntry::kDataIsDirectory | 0x7FFFFFF0u);
     },
     "the type directory of DATA_1 lies outside the store"},
    {"ATypeDirectoryWithTwoNames",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU16(image,
              FieldAt(parsed, "the type directory of DATA_1",
                      resourceDirectory::kNumberOfNamedEntries),
              2);
     },
     "the type directory of DATA_1 holds 2 entries, not one"},
    {"ANumberedType",
     [](Bytes* image, const ParsedImage& parsed) {
       PutU32(image, FieldAt(parsed, kFirstTypeEntry, resourceEntry::kName), 3);
     },
     "type entry 0 is not a key leading to a directory"},
    {"CutToNothing", [](Bytes* image, const ParsedImage&) { CutAt(image, 0); },
     "not a PE image (no MZ header)", false},
    {"CutToTwoBytes", [](Bytes* image, const ParsedImage&) { CutAt(image, 2); },
     "truncated image: the PE header lies past the end of the file", false},
    {"CutAfterTheDosHeader", [](Bytes* image, const ParsedImage&) { CutAt(image, 0x40); },
     "truncated image: the PE header lies past the end of the file", false},
    {"CutAt0x100", [](Bytes* image, const ParsedImage&) { CutAt(image, 0x100); },
     "truncated image: the data directories are cut short", false},
    {"CutAt0x400", [](Bytes* image, const ParsedImage&) { CutAt(image, 0x400); },
     "truncated image: section 0 lies past the end", false},
    {"CutInTheRootEntries",
     [](Bytes* image, const ParsedImage& parsed) {
       CutAt(image, RecordAt(parsed, "the type entry of DISK2_ID"));
     },
     "truncated image: section 9 lies past the end", false},
    {"CutInTheTypeDirectories",
     [](Bytes* image, const ParsedImage& parsed) {
       CutAt(image, FieldAt(parsed, "the type directory of _INST32I_EX_",
                            resourceDirectory::kTimeDateStamp));
     },
     "truncated image: section 9 lies past the end", false},
};

class HostileImage : public PackTest, public ::testing::WithParamInterface<CraftedImage> {};

TEST_P(HostileImage, IsRefusedByEveryReadingCommandBeforeItIsFollowed) {
  const std::string path = Crafted("crafted.exe", GetParam().craft, GetParam().fixCheckSum);
  for (const std::string& problem : ProblemsOfEveryReadingCommand(path, dir + "/out")) {
    EXPECT_EQ(problem, GetParam().problem);
  }
}

TABLE_TEST_ROWS(Crafted, HostileImage, kCraftedImages);

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

TABLE_TEST_ROWS(Inputs, NotARegularFile, kNotFiles);

TEST_F(PackTest, ControlCharactersFromAnImageAreEscapedWhenPrinted) {
  const std::string path = Crafted("escape.exe", [](Bytes* image, const ParsedImage& parsed) {
    // README_TXT's key becomes "README" ESC "[31" (still ten characters).
    const char* const key = "the type string README_TXT";
    PutU16(image, UnitAt(parsed, key, 6), 0x1B);
    PutU16(image, UnitAt(parsed, key, 7), '[');
    PutU16(image, UnitAt(parsed, key, 8), '3');
    PutU16(image, UnitAt(parsed, key, 9), '1');
  });
  const CommandResult list = RunPack({"list", path});
  EXPECT_EQ(list.exitCode, 0);
  EXPECT_EQ(list.output.find('\x1b'), std::string::npos);
  EXPECT_NE(list.output.find("README\\u001b[31 "), std::string::npos) << list.output;
  const CommandResult verify = RunPack({"verify", path});
  EXPECT_EQ(verify.exitCode, 1);
  EXPECT_EQ(verify.output.find('\x1b'), std::string::npos);
  EXPECT_NE(verify.output.find("key README\\u001b[31 is not in the manifest"), std::string::npos)
      << verify.output;
}

TEST_F(PackTest, ControlCharactersInASectionNameAreEscapedWhenPrinted) {
  const std::string path = Crafted("renamed.exe", [](Bytes* image, const ParsedImage& parsed) {
    const std::size_t name = parsed.pe.sections.back().headerOffset;
    const char renamed[] = "\x1b[31m\n\r\a";
    std::copy_n(renamed, sectionHeader::kNameSize, image->begin() + static_cast<long>(name));
  });
  const CommandResult verify = RunPack({"verify", path});
  EXPECT_EQ(verify.exitCode, 1);
  EXPECT_EQ(verify.output.find_first_of("\x1b\r\a"), std::string::npos) << verify.output;
  EXPECT_NE(verify.output.find("\\u001b[31m\\u000a\\u000d\\u0007"), std::string::npos)
      << verify.output;
  EXPECT_EQ(CountLines(verify.output), 1) << verify.output;
}

}  // namespace
