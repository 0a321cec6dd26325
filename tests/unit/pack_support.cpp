#include "pack_support.h"

#include "io/shown.h"
#include "pack_process.h"
#include "pe/image_checksum.h"
#include "store/size_table.h"
#include "store/store_layout.h"
#include "unprivileged.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {
std::string ToolUnderTest() {
  // Lets the same tests be run against another build of the tool.
  const char* other = std::getenv("TQ30_PACK_UNDER_TEST");
  return other != nullptr ? other : SELFINST_PACK;
}
}  // namespace

std::string PlainPack() {
  const char* other = std::getenv("TQ30_PLAIN_PACK_UNDER_TEST");
  return other != nullptr ? other : PLAIN_PACK;
}

const std::string kPack = ToolUnderTest();
const std::string kPayload = TEST_PAYLOAD_DIR;
const std::string kStub32 = WIN32_BUILD_DIR "/tq30-stub.exe";
const std::string kStub64 = WIN64_BUILD_DIR "/tq30-stub-x64.exe";
const std::string kOtherPlaceholderStub32 = WIN32_BUILD_DIR "/other-placeholder-stub.exe";
const std::string kOtherPlaceholderStub64 = WIN64_BUILD_DIR "/other-placeholder-stub.exe";

CommandResult RunPack(const std::vector<std::string>& args, bool asNobody,
                      const std::string& toolCopyDir) {
  ToolRun run;
  run.args = args;
  run.asNobody = asNobody;
  run.toolCopyDir = toolCopyDir;
  run.stdoutToStderr = true;
  const ToolResult result = RunTool(run);
  return {result.exitCode, result.err};
}

int CountLines(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
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

std::vector<std::string> FolderEntries(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void PutU16(Bytes* image, std::size_t at, std::uint32_t value) {
  Put(image, at, Field{"", 0, 2}, value);
}
void PutU32(Bytes* image, std::size_t at, std::uint32_t value) {
  Put(image, at, Field{"", 0, 4}, value);
}

ImageFile AsImage(const Bytes& image) { return ImageInMemory("image", image); }

std::string Lines(const Report& report) {
  std::string lines;
  for (const Problem& problem : report) {
    lines += problem.subject + ": " + problem.what + "\n";
  }
  return lines;
}

void FixCheckSum(Bytes* image) {
  // Found from the headers' fixed places, so that a stub the parser refuses can be fixed too.
  std::uint32_t peOffset = 0;
  ASSERT_TRUE(Get(*image, 0, dos::kNewHeader, &peOffset));
  const std::size_t at =
      std::size_t{peOffset} + coff::kSignatureSize + coff::kRecordSize + optional::kCheckSum.pe32;
  Put(image, at, Field{"CheckSum", 0, 4}, 0);
  CheckSum sum;
  AddToCheckSum(&sum, image->data(), image->size());
  Put(image, at, Field{"CheckSum", 0, 4}, FinishCheckSum(sum));
}

PeImage ParsePe(const Bytes& image) {
  PeImage pe;
  Report report;
  EXPECT_TRUE(ParsePeImage(AsImage(image), &pe, &report)) << Lines(report);
  return pe;
}

ParsedImage Parse(const Bytes& image) {
  ParsedImage parsed;
  Report report;
  const ImageFile file = AsImage(image);
  EXPECT_TRUE(ParsePeImage(file, &parsed.pe, &report)) << Lines(report);
  EXPECT_TRUE(ReadStore(file, parsed.pe, &parsed.store, &report)) << Lines(report);
  return parsed;
}

namespace {
constexpr Field kImportName{"Name", 12, 4};
constexpr std::uint32_t kImportDescriptorSize = 20;
}  // namespace

bool ReadImportedDlls(const Bytes& image, const PeImage& pe, std::vector<std::string>* dlls,
                      std::string* error) {
  const DataDirectory imports = DataDirectoryOf(pe, dataDirectory::kImport);
  const auto offsetOf = [&pe](std::uint32_t rva, std::uint32_t size, std::size_t* offset) {
    const Section* section = SectionOfRva(pe, rva, size);
    if (section != nullptr) {
      *offset = std::size_t{section->pointerToRawData} + (rva - section->virtualAddress);
    }
    return section != nullptr;
  };
  std::size_t at = 0;
  if (imports.rva != 0 && !offsetOf(imports.rva, kImportDescriptorSize, &at)) {
    *error = "import table lies outside the sections";
    return false;
  }
  for (; imports.rva != 0; at += kImportDescriptorSize) {
    std::uint32_t nameRva = 0;
    std::size_t nameOffset = 0;
    if (!Get(image, at, kImportName, &nameRva)) {
      *error = "import table is cut short";
      return false;
    }
    if (nameRva == 0) {
      break;
    }
    if (!offsetOf(nameRva, 1, &nameOffset)) {
      *error = "import name lies outside the sections";
      return false;
    }
    std::string name;
    while (nameOffset < image.size() && image[nameOffset] != 0 && name.size() < 256) {
      name += Printable(image[nameOffset++]);
    }
    dlls->push_back(name);
  }
  return true;
}

std::size_t RecordAt(const ParsedImage& parsed, const std::string& what) {
  std::vector<std::uint32_t> sizes(Manifest().size());
  for (const StoredItem& item : parsed.store.items) {
    sizes[static_cast<std::size_t>(RowOfKey(item.key))] = item.size;
  }
  for (const StoreRecord& record : StoreRecords(sizes, Manifest(), parsed.store.sectionRva)) {
    if (record.what == what) {
      return parsed.store.sectionOffset + record.at;
    }
  }
  ADD_FAILURE() << "no record " << what;
  return 0;
}
std::size_t FieldAt(const ParsedImage& parsed, const std::string& what, const Field& field) {
  return RecordAt(parsed, what) + field.offset;
}
std::size_t UnitAt(const ParsedImage& parsed, const std::string& what, std::size_t index) {
  return RecordAt(parsed, what) + resourceString::kUnitsAt + 2 * index;
}

std::size_t ItemIndex(const StoreView& store, const std::string& key) {
  for (std::size_t i = 0; i < store.items.size(); ++i) {
    if (store.items[i].key == key) {
      return i;
    }
  }
  ADD_FAILURE() << "no item " << key;
  return 0;
}

void PackTest::SetUp() {
  ASSERT_TRUE(fs::exists(kStub32) && fs::exists(kStub64))
      << "the launcher stubs are built by ./build.sh";
  char pattern[] = "/tmp/tq30-pack-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  dir = pattern;
  fs::permissions(dir, fs::perms::all);  // so that a test may run a tool as nobody
}

void PackTest::TearDown() { fs::remove_all(dir); }

Bytes PackTest::Packed(const std::string& stub, const std::string& name) {
  const std::string out = dir + "/" + name;
  const CommandResult run = RunPack({"pack", "--stub", stub, "--payload", kPayload, "-o", out});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  return ReadBytes(out);
}

std::string PackTest::Crafted(const std::string& name,
                              void (*craft)(Bytes* image, const ParsedImage& parsed),
                              bool fixCheckSum) {
  Bytes image = Packed(kStub32, "good.exe");
  const ParsedImage parsed = Parse(image);
  craft(&image, parsed);
  if (fixCheckSum) {
    FixCheckSum(&image);
  }
  const std::string path = dir + "/" + name;
  WriteBytes(path, image);
  return path;
}

std::string PackTest::CopyPayload(const std::string& name) {
  const std::string copy = dir + "/" + name;
  fs::copy(kPayload, copy);
  fs::permissions(copy, fs::perms::all);
  return copy;
}

std::map<std::string, std::string> TreeOf(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string relative = fs::relative(entry.path(), root).string();
    const fs::file_type type = entry.symlink_status().type();
    if (type == fs::file_type::symlink) {
      tree[relative] = "link to " + fs::read_symlink(entry.path()).string();
    } else if (type == fs::file_type::directory) {
      tree[relative] = "folder";
    } else if (type == fs::file_type::regular) {
      const Bytes bytes = ReadBytes(entry.path().string());
      tree[relative] =
          std::to_string(bytes.size()) + " bytes, hash " +
          std::to_string(std::hash<std::string>()(std::string(bytes.begin(), bytes.end())));
    } else {
      tree[relative] = "type " + std::to_string(static_cast<int>(type));
    }
  }
  return tree;
}
