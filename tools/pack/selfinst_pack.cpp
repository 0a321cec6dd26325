// selfinst-pack: attaches the item store to a linked launcher, and lists, checks and
// unpacks the store of a built one.
//
//   selfinst-pack pack --stub LINKED.exe --payload DIR -o OUT.exe
//   selfinst-pack list OUT.exe
//   selfinst-pack verify OUT.exe [--payload DIR]
//   selfinst-pack extract OUT.exe -C DIR
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "item_store.h"

namespace {

constexpr const char* kUsage =
    "usage: selfinst-pack pack --stub LINKED.exe --payload DIR -o OUT.exe\n"
    "       selfinst-pack list IMAGE.exe\n"
    "       selfinst-pack verify IMAGE.exe [--payload DIR]\n"
    "       selfinst-pack extract IMAGE.exe -C DIR\n";
constexpr std::uintmax_t kLargestItem = 0x7FFFFFFF;

int Fail(const std::string& path, const std::string& problem) {
  (void)std::fprintf(stderr, "selfinst-pack: %s: %s\n", path.c_str(), problem.c_str());
  return 1;
}

bool ReadWholeFile(const std::string& path, Bytes* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return false;
  }
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// Writes through a temporary file in the same folder, so a failure leaves no partial
// output behind.
bool WriteWholeFile(const std::string& path, const Bytes& bytes, std::string* problem) {
  const std::string temporary = path + ".partial-" + std::to_string(::getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      (void)std::remove(temporary.c_str());
      *problem = "cannot write the output file";
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    (void)std::remove(temporary.c_str());
    *problem = "cannot write the output file";
    return false;
  }
  return true;
}

// The payload files in manifest order; on failure, the failing file and the problem.
bool ReadPayload(const std::string& dir, std::vector<Bytes>* items, std::string* path,
                 std::string* problem) {
  namespace fs = std::filesystem;
  for (const ManifestFile& file : Manifest()) {
    *path = dir + "/" + file.fileName;
    std::error_code ec;
    const fs::file_status status = fs::status(*path, ec);
    if (!fs::exists(status)) {
      *problem = "missing payload file";
      return false;
    }
    if (!fs::is_regular_file(status)) {
      *problem = "payload file is not a regular file";
      return false;
    }
    const std::uintmax_t size = fs::file_size(*path, ec);
    if (ec) {
      *problem = "cannot read payload file";
      return false;
    }
    if (size == 0) {
      *problem = "empty payload file (an empty item would end the manifest)";
      return false;
    }
    if (size > kLargestItem) {
      *problem = "payload file too large for the image format";
      return false;
    }
    Bytes bytes;
    if (!ReadWholeFile(*path, &bytes) || bytes.size() != size) {
      *problem = "cannot read payload file";
      return false;
    }
    items->push_back(std::move(bytes));
  }
  return true;
}

// An image read whole, with its headers and its store parsed.
struct LoadedImage {
  Bytes bytes;
  PeImage image;
  StoreView store;
};

bool LoadImage(const std::string& path, LoadedImage* loaded, std::string* problem) {
  if (!ReadWholeFile(path, &loaded->bytes)) {
    *problem = "cannot read the image";
    return false;
  }
  return ParsePeImage(loaded->bytes, &loaded->image, problem) &&
         ReadStore(loaded->bytes, loaded->image, &loaded->store, problem);
}

int Pack(const std::string& stubPath, const std::string& payloadDir, const std::string& outPath) {
  std::vector<Bytes> items;
  std::string path;
  std::string problem;
  if (!ReadPayload(payloadDir, &items, &path, &problem)) {
    return Fail(path, problem);
  }
  Bytes stub;
  if (!ReadWholeFile(stubPath, &stub)) {
    return Fail(stubPath, "cannot read the stub");
  }
  Bytes out;
  if (!AttachStore(stub, items, &out, &problem)) {
    return Fail(stubPath, problem);
  }
  if (!WriteWholeFile(outPath, out, &problem)) {
    return Fail(outPath, problem);
  }
  return 0;
}

int List(const std::string& imagePath) {
  LoadedImage loaded;
  std::string problem;
  if (!LoadImage(imagePath, &loaded, &problem)) {
    return Fail(imagePath, problem);
  }
  const bool isSigned = ReadDataDirectory(loaded.bytes, loaded.image, kSecurityDirectory).rva != 0;
  std::printf("%s: %s, %zu items, %s\n", imagePath.c_str(), loaded.image.is64 ? "PE32+" : "PE32",
              loaded.store.items.size(), isSigned ? "signed" : "unsigned");
  std::printf("%-14s %-10s %8s %10s %10s\n", "key", "name", "language", "size", "offset");
  for (const StoredItem& item : loaded.store.items) {
    std::printf("%-14s %-10s %8u %10u 0x%08zx\n", item.key.c_str(), item.name.c_str(),
                item.language, item.size, item.fileOffset);
  }
  return 0;
}

int Verify(const std::string& imagePath, const std::string& payloadDir) {
  LoadedImage loaded;
  std::string problem;
  if (!LoadImage(imagePath, &loaded, &problem)) {
    return Fail(imagePath, problem);
  }
  std::vector<Bytes> payload;
  std::string path;
  if (!payloadDir.empty() && !ReadPayload(payloadDir, &payload, &path, &problem)) {
    return Fail(path, problem);
  }
  std::vector<std::string> problems =
      VerifyStore(loaded.bytes, loaded.store, payloadDir.empty() ? nullptr : &payload);
  // A signature's certificate table belongs after the last section, never inside one.
  const DataDirectory certificates =
      ReadDataDirectory(loaded.bytes, loaded.image, kSecurityDirectory);
  if (certificates.rva != 0) {
    std::uint64_t sectionsEnd = 0;
    for (const Section& section : loaded.image.sections) {
      sectionsEnd = std::max<std::uint64_t>(
          sectionsEnd, std::uint64_t{section.pointerToRawData} + section.sizeOfRawData);
    }
    if (certificates.rva < sectionsEnd ||
        std::uint64_t{certificates.rva} + certificates.size > loaded.bytes.size()) {
      problems.emplace_back("the certificate table is not after the last section");
    }
  }
  std::uint32_t stored = 0;
  (void)ReadU32(loaded.bytes, CheckSumOffset(loaded.image), &stored);
  if (stored != ComputeCheckSum(loaded.bytes, CheckSumOffset(loaded.image))) {
    problems.emplace_back("the image checksum is wrong");
  }
  for (const std::string& line : problems) {
    (void)std::fprintf(stderr, "selfinst-pack: %s: %s\n", imagePath.c_str(), line.c_str());
  }
  if (!problems.empty()) {
    return 1;
  }
  std::printf("%s: store verified, %zu items\n", imagePath.c_str(), loaded.store.items.size());
  return 0;
}

int Extract(const std::string& imagePath, const std::string& outDir) {
  LoadedImage loaded;
  std::string problem;
  if (!LoadImage(imagePath, &loaded, &problem)) {
    return Fail(imagePath, problem);
  }
  // Names come from the manifest, never from the loaded.image, so nothing can be written
  // outside the folder; an item the manifest does not know is refused.
  std::map<std::string, std::string> names;
  for (const ManifestFile& file : Manifest()) {
    names[UpperCase(file.itemKey)] = file.fileName;
  }
  std::error_code ec;
  std::filesystem::create_directories(outDir, ec);
  int result = 0;
  for (const StoredItem& item : loaded.store.items) {
    const auto name = names.find(UpperCase(item.key));
    if (name == names.end()) {
      result = Fail(imagePath, "item " + item.key + " is not in the manifest; not extracted");
      continue;
    }
    const auto* first = loaded.bytes.data() + item.fileOffset;
    if (!WriteWholeFile(outDir + "/" + name->second, Bytes(first, first + item.size), &problem)) {
      result = Fail(outDir + "/" + name->second, problem);
    }
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  std::map<std::string, std::string> options;
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if ((arg == "--stub" || arg == "--payload" || arg == "-o" || arg == "-C") &&
        i + 1 < args.size()) {
      options[arg] = args[++i];
    } else if (!arg.empty() && arg[0] == '-') {
      (void)std::fputs(kUsage, stderr);
      return 2;
    } else {
      positional.push_back(arg);
    }
  }
  const std::string command = positional.empty() ? "" : positional[0];
  if (command == "pack" && positional.size() == 1 && options.count("--stub") &&
      options.count("--payload") && options.count("-o")) {
    return Pack(options["--stub"], options["--payload"], options["-o"]);
  }
  if (command == "list" && positional.size() == 2 && options.empty()) {
    return List(positional[1]);
  }
  if (command == "verify" && positional.size() == 2) {
    return Verify(positional[1], options["--payload"]);
  }
  if (command == "extract" && positional.size() == 2 && options.count("-C")) {
    return Extract(positional[1], options["-C"]);
  }
  (void)std::fputs(kUsage, stderr);
  return 2;
}
