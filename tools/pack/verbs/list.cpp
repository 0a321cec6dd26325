// list: the items a built launcher carries, with their files, sizes and SHA-256.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/json_output.h"
#include "cli/messages.h"
#include "io/sha256.h"
#include "io/shown.h"
#include "payload/manifest.h"
#include "pe/authenticode.h"
#include "pe/loader_checks.h"
#include "verbs/loaded_inputs.h"
#include "verbs/verbs.h"

namespace {

// The items in manifest order, then any the manifest does not name, each hashed as the
// image's bytes pass in one read of it.
bool ListItems(const LoadedImage& loaded, std::vector<ListedItem>* listed,
               AuthenticodeCheck* signature, Report* report) {
  std::vector<const StoredItem*> order;
  for (const StoredItem& item : loaded.store.items) {
    order.push_back(&item);
  }
  const auto rank = [](const StoredItem* item) {
    const int row = RowOfKey(item->key);
    return row < 0 ? Manifest().size() : static_cast<std::size_t>(row);
  };
  std::stable_sort(order.begin(), order.end(),
                   [&rank](const StoredItem* a, const StoredItem* b) { return rank(a) < rank(b); });
  std::vector<Sha256> hashes(order.size());
  std::vector<Span> spans;
  for (std::size_t i = 0; i < order.size(); ++i) {
    spans.push_back({order[i]->fileOffset, order[i]->size,
                     [&hashes, i](const std::uint8_t* data, std::size_t size) {
                       hashes[i].Add(data, size);
                       return true;
                     }});
  }
  signature->AddSpans(&spans);
  std::uint32_t unused = 0;
  if (!ScanImage(loaded.file, loaded.file.size, spans, &unused, report)) {
    return false;
  }
  for (std::size_t i = 0; i < order.size(); ++i) {
    const std::size_t row = rank(order[i]);
    listed->push_back({row < Manifest().size() ? Manifest()[row].fileName : "", order[i]->key,
                       order[i]->size, hashes[i].Hex()});
  }
  return true;
}

void PrintListing(const std::string& imagePath, const LoadedImage& loaded,
                  const SignatureVerdict& signature, const std::vector<ListedItem>& listed,
                  bool json) {
  std::uint64_t bytes = 0;
  for (const ListedItem& item : listed) {
    bytes += item.size;
  }
  const char* format = loaded.image.is64 ? "PE32+" : "PE32";
  if (json) {
    PrintListingJson(imagePath, format, signature, listed, bytes);
    return;
  }
  std::printf("%s: %s, %zu items, %s\n", Shown(imagePath).c_str(), format, listed.size(),
              Shown(signature.Text()).c_str());
  std::printf("%-13s %-13s %10s  %s\n", "file", "key", "size", "sha256");
  for (const ListedItem& item : listed) {
    std::printf("%-13s %-13s %10u  %s\n", item.file.empty() ? "-" : item.file.c_str(),
                Shown(item.key).c_str(), item.size, item.sha256.c_str());
  }
  std::printf("total: %zu files, %llu bytes\n", listed.size(),
              static_cast<unsigned long long>(bytes));
}

}  // namespace

int List(const Arguments& arguments) {
  LoadedImage loaded;
  Report report;
  std::vector<ListedItem> listed;
  if (!LoadImage(arguments.image, &loaded, &report)) {
    return Fail(report);
  }
  // The listing says "malformed certificate table" or what is wrong with the signature, as
  // verify would, and the problem's own line follows it with the exit code verify gives.
  Report signatureProblems;
  AuthenticodeCheck signature(loaded.file, loaded.image,
                              ReadSignature(loaded.file, loaded.image, &signatureProblems));
  if (!ListItems(loaded, &listed, &signature, &report)) {
    return Fail(report);
  }
  const SignatureVerdict verdict = signature.Finish();
  PrintListing(arguments.image, loaded, verdict, listed, arguments.json);
  if (verdict.table == Signature::kSigned && !verdict.valid) {
    for (const std::string& line : verdict.Problems()) {
      Refuse(&signatureProblems, arguments.image, line);
    }
  }
  (void)std::fflush(stdout);  // the listing first, then the lines that say why it fails
  return signatureProblems.empty() ? 0 : Fail(signatureProblems);
}
