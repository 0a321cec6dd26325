// selfinst-pack: the store it writes, what verify catches, and how it treats bad input.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "item_store.h"

namespace fs = std::filesystem;

namespace {

const std::string kPack = SELFINST_PACK;
const std::string kPayload = TEST_PAYLOAD_DIR;
const std::string kStub32 = BUILD_DIR "/../win32/launcher-stub.exe";
const std::string kStub64 = BUILD_DIR "/../win64/launcher-stub.exe";

struct CommandResult {
  int exitCode;
  std::string output;  // stdout and stderr
};

// `asUser`, a copy of the tool (one that user may run) is run through setpriv as an
// unprivileged user when this is root, since root may read any file whatever its mode.
CommandResult RunPack(const std::string& arguments, const std::string& asUser = "") {
  std::string command = kPack;
  if (!asUser.empty() && ::geteuid() == 0) {
    command = "setpriv --reuid=65534 --regid=65534 --clear-groups " + asUser;
  }
  std::string output;
  FILE* pipe = ::popen((command + " " + arguments + " 2>&1").c_str(), "r");
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
    output.append(chunk, n);
  }
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::vector<Bytes> PayloadItems(const std::string& dir) {
  std::vector<Bytes> items;
  for (const ManifestFile& file : Manifest()) {
    items.push_back(ReadBytes(dir + "/" + file.fileName));
  }
  return items;
}

class PackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(kStub32) && fs::exists(kStub64))
        << "the launcher stubs are built by ./build.sh";
    char pattern[] = "/tmp/tq30-pack-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override { fs::remove_all(dir); }

  // Packs `stub` with the test payload into dir/name and returns the image.
  Bytes Packed(const std::string& stub, const std::string& name) {
    const std::string out = dir + "/" + name;
    const CommandResult run =
        RunPack("pack --stub " + stub + " --payload " + kPayload + " -o " + out);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    return ReadBytes(out);
  }

  // Everything verify finds in `image`, checksum aside.
  static std::vector<std::string> Problems(const Bytes& image, bool withPayload) {
    PeImage pe;
    StoreView store;
    std::string error;
    if (!ParsePeImage(image, &pe, &error) || !ReadStore(image, pe, &store, &error)) {
      return {"unreadable: " + error};
    }
    const std::vector<Bytes> payload = PayloadItems(kPayload);
    return VerifyStore(image, store, withPayload ? &payload : nullptr);
  }

  std::string dir;
};

TEST_F(PackTest, PackedImagesOfBothFormatsVerifyAgainstTheirPayload) {
  for (const std::string& stub : {kStub32, kStub64}) {
    const Bytes image = Packed(stub, "out.exe");
    EXPECT_EQ(Problems(image, true), std::vector<std::string>{}) << stub;
    const CommandResult run = RunPack("verify " + dir + "/out.exe --payload " + kPayload);
    EXPECT_EQ(run.exitCode, 0) << run.output;
  }
}

TEST_F(PackTest, HeadersAreUpdatedForTheNewSection) {
  for (const std::string& stub : {kStub32, kStub64}) {
    const Bytes before = ReadBytes(stub);
    const Bytes after = Packed(stub, "out.exe");
    PeImage old;
    PeImage now;
    std::string error;
    ASSERT_TRUE(ParsePeImage(before, &old, &error)) << error;
    ASSERT_TRUE(ParsePeImage(after, &now, &error)) << error;
    ASSERT_EQ(now.sections.size(), old.sections.size() + 1);
    const Section& store = now.sections.back();
    EXPECT_EQ(store.name, ".rsrc");
    EXPECT_EQ(store.virtualAddress % now.sectionAlignment, 0u);
    EXPECT_EQ(store.pointerToRawData % 4096, 0u) << "page-aligned, so loaders can map it";
    EXPECT_EQ(store.pointerToRawData + store.sizeOfRawData, after.size());
    EXPECT_EQ(now.sizeOfImage,
              AlignUp(store.virtualAddress + store.virtualSize, now.sectionAlignment));
    const DataDirectory resources = ReadDataDirectory(after, now, kResourceDirectory);
    EXPECT_EQ(resources.rva, store.virtualAddress);
    EXPECT_EQ(resources.size, store.virtualSize);
    std::uint32_t oldData = 0;
    std::uint32_t newData = 0;
    std::uint32_t checkSum = 0;
    ReadU32(before, SizeOfInitializedDataOffset(old), &oldData);
    ReadU32(after, SizeOfInitializedDataOffset(now), &newData);
    ReadU32(after, CheckSumOffset(now), &checkSum);
    EXPECT_EQ(newData, oldData + store.sizeOfRawData);
    EXPECT_EQ(checkSum, ComputeCheckSum(after, CheckSumOffset(now)));
    // The stub's own bytes are kept as they were, headers aside.
    EXPECT_TRUE(std::equal(before.begin() + static_cast<long>(old.sizeOfHeaders), before.end(),
                           after.begin() + static_cast<long>(old.sizeOfHeaders)));
  }
}

TEST_F(PackTest, StoreLayoutIsExactlyThePlannedOne) {
  const Bytes image = Packed(kStub32, "out.exe");
  PeImage pe;
  StoreView store;
  std::string error;
  ASSERT_TRUE(ParsePeImage(image, &pe, &error) && ReadStore(image, pe, &store, &error)) << error;
  // Root 16 + 11 * 8 = 104; type and name directories 24 each; data entries 16 each.
  EXPECT_EQ(store.items[0].typeDirectory, 104u);
  EXPECT_EQ(store.items[0].nameDirectory, 104u + 11 * 24);
  EXPECT_EQ(store.items[0].dataEntry, 104u + 22 * 24);
  const std::uint32_t strings = 104 + 22 * 24 + 11 * 16;
  // "README_TXT" is stored first, the shared "SELFINST" right after it.
  const StoredItem* readme = nullptr;
  for (const StoredItem& item : store.items) {
    if (item.key == "README_TXT") {
      readme = &item;
    }
    EXPECT_EQ(item.nameString, strings + 2 + 2 * 10) << item.key;
  }
  ASSERT_NE(readme, nullptr);
  EXPECT_EQ(readme->keyString, strings);
  EXPECT_EQ((readme->dataRva - store.sectionRva) % 16, 0u);
  EXPECT_EQ(readme->dataRva - store.sectionRva,
            PlanStore({2805, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}).block[0]);
}

TEST_F(PackTest, ListShowsTheElevenKeysInStoreOrderWithTheirSizes) {
  Packed(kStub32, "out.exe");
  const CommandResult run = RunPack("list " + dir + "/out.exe");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const char* expected[][2] = {
      {"DATA_1", "786379"},   {"DATA_2", "951332"},   {"DISK1_ID", "3"},
      {"DISK2_ID", "3"},      {"README_TXT", "2805"}, {"SETUP_EXE", "47616"},
      {"SETUP_INS", "12743"}, {"SETUP_PKG", "230"},   {"_INST32I_EX_", "311998"},
      {"_SETUP_DLL", "5968"}, {"_SETUP_LIB", "42743"}};
  std::vector<std::string> lines;
  std::string line;
  for (char c : run.output) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  ASSERT_EQ(lines.size(), 13u) << run.output;
  EXPECT_NE(lines[0].find("PE32, 11 items, unsigned"), std::string::npos) << lines[0];
  for (size_t i = 0; i < 11; ++i) {
    char key[32];
    char name[32];
    unsigned language = 0;
    unsigned size = 0;
    ASSERT_EQ(std::sscanf(lines[i + 2].c_str(), "%31s %31s %u %u", key, name, &language, &size), 4);
    EXPECT_STREQ(key, expected[i][0]);
    EXPECT_STREQ(name, "SELFINST");
    EXPECT_EQ(language, 1033u);
    EXPECT_EQ(std::to_string(size), expected[i][1]);
  }
}

TEST_F(PackTest, ExtractGivesBackThePayloadByteForByte) {
  Packed(kStub64, "out.exe");
  const CommandResult run = RunPack("extract " + dir + "/out.exe -C " + dir + "/unpacked");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  for (const ManifestFile& file : Manifest()) {
    EXPECT_EQ(ReadBytes(dir + "/unpacked/" + file.fileName),
              ReadBytes(kPayload + "/" + file.fileName))
        << file.fileName;
  }
}

TEST_F(PackTest, SameStubAndPayloadGiveIdenticalBytes) {
  EXPECT_EQ(Packed(kStub32, "a.exe"), Packed(kStub32, "b.exe"));
  EXPECT_EQ(Packed(kStub64, "a.exe"), Packed(kStub64, "b.exe"));
}

// Each layout rule, broken in a copy of a good image, is caught by verify.
struct Breakage {
  const char* name;
  void (*breakIt)(Bytes* image, const StoreView& store);
  const char* expectedProblem;  // a part of one line verify prints
};

std::size_t At(const StoreView& store, std::uint32_t offset) {
  return store.sectionOffset + offset;
}

const Breakage kBreakages[] = {
    {"RootOrder",
     [](Bytes* image, const StoreView& store) {
       // Swap the first two root entries.
       std::swap_ranges(image->begin() + static_cast<long>(At(store, 16)),
                        image->begin() + static_cast<long>(At(store, 24)),
                        image->begin() + static_cast<long>(At(store, 24)));
     },
     "root entries out of order"},
    {"UnalignedBlock",
     [](Bytes* image, const StoreView& store) {
       WriteU32(image, At(store, store.items[3].dataEntry), store.items[3].dataRva + 2);
     },
     "is not on a 4-byte boundary"},
    {"BlockOutOfPlace",
     [](Bytes* image, const StoreView& store) {
       WriteU32(image, At(store, store.items[3].dataEntry), store.items[3].dataRva + 4);
     },
     "block of DISK2_ID at offset"},
    {"WrongLanguage",
     [](Bytes* image, const StoreView& store) {
       WriteU32(image, At(store, store.items[5].nameDirectory + 16), 1031);
     },
     "the language of SETUP_EXE is 1031, not 1033"},
    {"WrongCodePage",
     [](Bytes* image, const StoreView& store) {
       WriteU32(image, At(store, store.items[0].dataEntry + 8), 1252);
     },
     "the code page of DATA_1 is 1252, not 0"},
    {"DuplicatedNameString",
     [](Bytes* image, const StoreView& store) {
       // A second "SELFINST", over the start of README_TXT's block, used by one item.
       const StoredItem& item = store.items[2];
       const std::uint32_t copyAt = store.items[4].dataRva - store.sectionRva;
       for (std::uint32_t i = 0; i < 18; ++i) {
         (*image)[At(store, copyAt + i)] = (*image)[At(store, item.nameString + i)];
       }
       WriteU32(image, At(store, item.typeDirectory + 16), 0x80000000u | copyAt);
     },
     "the name of DISK1_ID is not the one shared SELFINST string"},
    {"LowerCaseKey",
     [](Bytes* image, const StoreView& store) {
       (*image)[At(store, store.items[10].keyString + 2 + 2 * 9)] = 'b';
     },
     "key _SETUP_LIb is not stored in upper case"},
    {"MissingKey",
     [](Bytes* image, const StoreView& store) {
       (*image)[At(store, store.items[4].keyString + 2)] = 'Q';
     },
     "key README_TXT is missing"},
    {"GapNotZero",
     [](Bytes* image, const StoreView& store) {
       const StoredItem& disk1 = store.items[2];
       (*image)[disk1.fileOffset + disk1.size] = 0x5A;
     },
     "non-zero byte in the gap"},
    {"ItemDiffersFromPayload",
     [](Bytes* image, const StoreView& store) { (*image)[store.items[1].fileOffset + 100] ^= 1; },
     "item DATA_2 differs from the payload file data.2"},
};

class VerifyCatches : public PackTest, public ::testing::WithParamInterface<Breakage> {};

TEST_P(VerifyCatches, BrokenRule) {
  Bytes image = Packed(kStub32, "good.exe");
  PeImage pe;
  StoreView store;
  std::string error;
  ASSERT_TRUE(ParsePeImage(image, &pe, &error) && ReadStore(image, pe, &store, &error)) << error;
  ASSERT_EQ(Problems(image, true), std::vector<std::string>{});
  GetParam().breakIt(&image, store);
  bool found = false;
  for (const std::string& problem : Problems(image, true)) {
    found = found || problem.find(GetParam().expectedProblem) != std::string::npos;
  }
  EXPECT_TRUE(found) << "verify missed: " << GetParam().expectedProblem;
  WriteBytes(dir + "/broken.exe", image);
  const CommandResult run = RunPack("verify " + dir + "/broken.exe --payload " + kPayload);
  EXPECT_NE(run.exitCode, 0);
  EXPECT_NE(run.output.find(GetParam().expectedProblem), std::string::npos) << run.output;
}

void PrintTo(const Breakage& b, std::ostream* out) { *out << b.name; }

INSTANTIATE_TEST_SUITE_P(Rules, VerifyCatches, ::testing::ValuesIn(kBreakages),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PackTest, VerifyCatchesAWrongChecksum) {
  Bytes image = Packed(kStub64, "good.exe");
  PeImage pe;
  std::string error;
  ASSERT_TRUE(ParsePeImage(image, &pe, &error));
  WriteU32(&image, CheckSumOffset(pe), 12345);
  WriteBytes(dir + "/broken.exe", image);
  const CommandResult run = RunPack("verify " + dir + "/broken.exe");
  EXPECT_NE(run.exitCode, 0);
  EXPECT_NE(run.output.find("the image checksum is wrong"), std::string::npos) << run.output;
}

// Bad input: a one-line error naming the file and the problem, a non-zero exit, and
// no output file (partial or whole) left behind.
struct BadInput {
  const char* name;
  // Prepares dir/payload and dir/stub.exe from good copies; returns the file the error
  // must name.
  std::string (*prepare)(const std::string& dir);
  const char* problem;
};

std::string CopyPayload(const std::string& dir) {
  fs::copy(kPayload, dir + "/payload");
  return dir + "/payload";
}

std::string CopyStub(const std::string& dir, const std::string& stub = kStub32) {
  fs::copy_file(stub, dir + "/stub.exe");
  return dir + "/stub.exe";
}

Bytes Truncated(const Bytes& bytes, std::size_t length) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<long>(std::min(length, bytes.size())));
}

const BadInput kBadInputs[] = {
    {"MissingPayloadFile",
     [](const std::string& dir) {
       CopyStub(dir);
       fs::remove(CopyPayload(dir) + "/setup.pkg");
       return dir + "/payload/setup.pkg";
     },
     "missing payload file"},
    {"EmptyPayloadFile",
     [](const std::string& dir) {
       CopyStub(dir);
       WriteBytes(CopyPayload(dir) + "/disk1.id", {});
       return dir + "/payload/disk1.id";
     },
     "empty payload file"},
    {"PayloadFileTooLarge",
     [](const std::string& dir) {
       CopyStub(dir);
       fs::resize_file(CopyPayload(dir) + "/data.2", 0x80000000ull);  // sparse
       return dir + "/payload/data.2";
     },
     "too large for the image format"},
    {"PayloadFileIsAFolder",
     [](const std::string& dir) {
       CopyStub(dir);
       const std::string file = CopyPayload(dir) + "/readme.txt";
       fs::remove(file);
       fs::create_directory(file);
       return file;
     },
     "not a regular file"},
    {"StubIsNotAnImage",
     [](const std::string& dir) {
       CopyPayload(dir);
       WriteBytes(dir + "/stub.exe", Bytes(4096, 'x'));
       return dir + "/stub.exe";
     },
     "not a PE image"},
    {"StubIsTruncated",
     [](const std::string& dir) {
       CopyPayload(dir);
       WriteBytes(dir + "/stub.exe", Truncated(ReadBytes(kStub32), 300));
       return dir + "/stub.exe";
     },
     "truncated image"},
    {"StubAlreadyHasAStore",
     [](const std::string& dir) {
       CopyPayload(dir);
       CommandResult first = RunPack("pack --stub " + kStub32 + " --payload " + kPayload + " -o " +
                                     dir + "/stub.exe");
       EXPECT_EQ(first.exitCode, 0) << first.output;
       return dir + "/stub.exe";
     },
     "already has a resource section"},
    {"StubHasNoRoomForAnotherSectionHeader",
     [](const std::string& dir) {
       CopyPayload(dir);
       Bytes stub = ReadBytes(kStub64);
       PeImage pe;
       std::string error;
       EXPECT_TRUE(ParsePeImage(stub, &pe, &error));
       // The headers end right after the section table.
       const auto tableEnd = static_cast<std::uint32_t>(pe.sectionTableOffset +
                                                        pe.sections.size() * kSectionHeaderSize);
       WriteU32(&stub, pe.optionalOffset + 60, tableEnd);
       WriteBytes(dir + "/stub.exe", stub);
       return dir + "/stub.exe";
     },
     "no room in its header for another section header"},
    {"StubHasDataAfterItsLastSection",
     [](const std::string& dir) {
       CopyPayload(dir);
       Bytes stub = ReadBytes(kStub32);
       stub.resize(stub.size() + 100, 0xAB);
       WriteBytes(dir + "/stub.exe", stub);
       return dir + "/stub.exe";
     },
     "data after its last section"},
};

class PackRefuses : public PackTest, public ::testing::WithParamInterface<BadInput> {};

TEST_P(PackRefuses, WithOneLineNamingTheFileAndLeavesNoOutput) {
  const std::string named = GetParam().prepare(dir);
  const CommandResult run = RunPack("pack --stub " + dir + "/stub.exe --payload " + dir +
                                    "/payload -o " + dir + "/out.exe");
  EXPECT_NE(run.exitCode, 0);
  EXPECT_EQ(run.output.rfind("selfinst-pack: " + named + ": ", 0), 0u) << run.output;
  EXPECT_NE(run.output.find(GetParam().problem), std::string::npos) << run.output;
  EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
  for (const auto& entry : fs::directory_iterator(dir)) {
    EXPECT_EQ(entry.path().filename().string().find("out.exe"), std::string::npos) << entry.path();
  }
}

void PrintTo(const BadInput& b, std::ostream* out) { *out << b.name; }

INSTANTIATE_TEST_SUITE_P(BadInputs, PackRefuses, ::testing::ValuesIn(kBadInputs),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PackTest, UnreadablePayloadFileIsRefusedNamingIt) {
  CopyStub(dir);
  const std::string payload = CopyPayload(dir);
  ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
  ASSERT_EQ(::chmod((payload + "/setup.ins").c_str(), 0), 0);
  const std::string tool = dir + "/selfinst-pack";
  fs::copy_file(kPack, tool);
  const CommandResult run = RunPack(
      "pack --stub " + dir + "/stub.exe --payload " + payload + " -o " + dir + "/out.exe", tool);
  EXPECT_NE(run.exitCode, 0);
  EXPECT_EQ(run.output, "selfinst-pack: " + payload + "/setup.ins: cannot read payload file\n");
  EXPECT_FALSE(fs::exists(dir + "/out.exe"));
}

// Malformed images: list, verify and extract each fail with one line and never read out
// of range (the sanitizers would stop the tool).
TEST_F(PackTest, MalformedImagesAreRefusedByEveryReadingCommand) {
  const Bytes good = Packed(kStub32, "good.exe");
  PeImage pe;
  StoreView store;
  std::string error;
  ASSERT_TRUE(ParsePeImage(good, &pe, &error) && ReadStore(good, pe, &store, &error));
  std::vector<Bytes> malformed;
  for (std::size_t length :
       {std::size_t{0}, std::size_t{2}, std::size_t{0x40}, std::size_t{0x100}, std::size_t{0x400},
        store.sectionOffset + 40, store.sectionOffset + 300}) {
    malformed.push_back(Truncated(good, length));
  }
  Bytes pointsOutside = good;  // a root entry whose directory lies past the store
  WriteU32(&pointsOutside, store.sectionOffset + 20, 0x80000000u | 0x7FFFFFF0u);
  malformed.push_back(pointsOutside);
  Bytes dataOutside = good;  // an item whose bytes lie past the image
  WriteU32(&dataOutside, store.sectionOffset + store.items[0].dataEntry + 4, 0x7FFFFFFFu);
  malformed.push_back(dataOutside);

  for (std::size_t i = 0; i < malformed.size(); ++i) {
    const std::string path = dir + "/bad" + std::to_string(i) + ".exe";
    WriteBytes(path, malformed[i]);
    for (const std::string& command :
         {"list " + path, "verify " + path, "extract " + path + " -C " + dir + "/x"}) {
      const CommandResult run = RunPack(command);
      EXPECT_EQ(run.exitCode, 1) << command << ": " << run.output;
      EXPECT_EQ(run.output.rfind("selfinst-pack: " + path + ": ", 0), 0u) << run.output;
      EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
    }
  }
}

// The built launchers: GUI programs with ASLR and DEP, importing only system DLLs, whose
// only resources are the store's items.
struct LauncherImage {
  const char* name;
  std::uint16_t machine;
  std::uint16_t requiredFlags;  // DllCharacteristics bits
};

void PrintTo(const LauncherImage& l, std::ostream* out) { *out << l.name; }

constexpr std::uint16_t kDynamicBase = 0x0040;
constexpr std::uint16_t kHighEntropyVa = 0x0020;
constexpr std::uint16_t kNxCompatible = 0x0100;

class BuiltLauncher : public ::testing::TestWithParam<LauncherImage> {};

TEST_P(BuiltLauncher, IsHardenedAndCarriesOnlyItsStore) {
  const std::string path = std::string(DIST_DIR) + "/" + GetParam().name;
  const Bytes image = ReadBytes(path);
  PeImage pe;
  StoreView store;
  std::string error;
  ASSERT_TRUE(ParsePeImage(image, &pe, &error) && ReadStore(image, pe, &store, &error))
      << path << ": " << error;
  EXPECT_EQ(pe.machine, GetParam().machine);
  EXPECT_EQ(Subsystem(image, pe), 2) << "a GUI program, no console";
  const std::uint16_t flags = DllCharacteristics(image, pe);
  EXPECT_EQ(flags & GetParam().requiredFlags, GetParam().requiredFlags) << std::hex << flags;
  EXPECT_NE(ReadDataDirectory(image, pe, 5).rva, 0u) << "relocations, so ASLR can move it";

  std::vector<std::string> dlls;
  ASSERT_TRUE(ReadImportedDlls(image, pe, &dlls, &error)) << error;
  EXPECT_FALSE(dlls.empty());
  for (const std::string& dll : dlls) {
    const std::string upper = UpperCase(dll);
    EXPECT_TRUE(upper == "KERNEL32.DLL" || upper == "USER32.DLL" || upper == "SHELL32.DLL" ||
                upper == "MSVCRT.DLL")
        << "imports " << dll;
  }
  EXPECT_EQ(store.items.size(), 11u);
  EXPECT_EQ(VerifyStore(image, store, nullptr), std::vector<std::string>{});
  EXPECT_EQ(std::count_if(pe.sections.begin(), pe.sections.end(),
                          [](const Section& s) { return s.name == ".rsrc"; }),
            1);
}

INSTANTIATE_TEST_SUITE_P(
    Dist, BuiltLauncher,
    ::testing::Values(LauncherImage{"tq30-setup.exe", 0x014C, kDynamicBase | kNxCompatible},
                      LauncherImage{"tq30-setup-x64.exe", 0x8664,
                                    kDynamicBase | kNxCompatible | kHighEntropyVa}),
    [](const auto& info) {
      return std::string(info.param.machine == 0x014C ? "PE32" : "PE32Plus");
    });

}  // namespace
