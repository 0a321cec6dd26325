// Shared by the packer's tests: running the tool, files, a scratch folder per test,
// and images packed from the test payload.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "store/store_reader.h"
#include "store/store_verify.h"

extern const std::string kPack;  // the tool under test
extern const std::string kPayload;
extern const std::string kStub32;
extern const std::string kStub64;
// The same stubs built with other placeholders in their size tables.
extern const std::string kOtherPlaceholderStub32;
extern const std::string kOtherPlaceholderStub64;
// The packer built without sanitizers, into which tests/unit/swap_shim.cpp is preloaded.
std::string PlainPack();

struct CommandResult {
  int exitCode;        // -1 when ended by a signal, -2 when stopped for taking too long
  std::string output;  // stdout and stderr
};

// Runs the tool with `args`, each passed as it is. With `asNobody`, a copy of the tool in
// `toolCopyDir` runs as an unprivileged user, since root may read and
// write any file whatever its mode. A run longer than 20 s is stopped.
CommandResult RunPack(const std::vector<std::string>& args, bool asNobody = false,
                      const std::string& toolCopyDir = "");
int CountLines(const std::string& text);

Bytes ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const Bytes& bytes);
std::vector<std::string> FolderEntries(const std::string& dir);
// Everything under `root` by relative path: a file's length and a hash of its bytes, a
// link's target, a folder as "folder", anything else by its type alone (a FIFO is never
// opened).
std::map<std::string, std::string> TreeOf(const std::string& root);
// Little-endian writes into an image, for crafting broken ones.
void PutU16(Bytes* image, std::size_t at, std::uint32_t value);
void PutU32(Bytes* image, std::size_t at, std::uint32_t value);
// The checksum a loader expects, after a test changed an image.
void FixCheckSum(Bytes* image);

// An image held in memory, as the packer's readers take it.
ImageFile AsImage(const Bytes& image);
// Names of the DLLs the image imports, in import-table order.
bool ReadImportedDlls(const Bytes& image, const PeImage& pe, std::vector<std::string>* dlls,
                      std::string* error);
// The problems of a report, one per line, as the tool prints them.
std::string Lines(const Report& report);

// An image parsed with its store.
struct ParsedImage {
  PeImage pe;
  StoreView store;
};
ParsedImage Parse(const Bytes& image);
PeImage ParsePe(const Bytes& image);
std::size_t ItemIndex(const StoreView& store, const std::string& key);
// The file offset of the store's record `what` (as problems name it), as the packer planned
// the store for the items found; of a field of it; of the UTF-16 unit `index` of a string.
std::size_t RecordAt(const ParsedImage& parsed, const std::string& what);
std::size_t FieldAt(const ParsedImage& parsed, const std::string& what, const Field& field);
std::size_t UnitAt(const ParsedImage& parsed, const std::string& what, std::size_t index);

class PackTest : public ::testing::Test {
 public:
  // Packs `stub` with the test payload into dir/name and returns the image.
  Bytes Packed(const std::string& stub, const std::string& name);
  // The test payload packed into the PE32 stub, changed by `craft` as parsed before it, its
  // checksum fixed unless told not to, and written to dir/name; returns its path.
  std::string Crafted(const std::string& name,
                      void (*craft)(Bytes* image, const ParsedImage& parsed),
                      bool fixCheckSum = true);
  std::string CopyPayload(const std::string& name = "payload");

 protected:
  void SetUp() override;
  void TearDown() override;
  std::string dir;
};
