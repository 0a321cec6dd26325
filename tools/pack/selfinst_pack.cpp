// selfinst-pack: attaches the item store to a linked launcher; lists, checks and unpacks
// the store of a built one; checks a payload folder and writes its sizes header. Images and
// payloads are streamed in bounded chunks: memory stays flat at any payload size.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/json_text.h"
#include "cli/progress.h"
#include "cli/version.h"
#include "io/output_folder.h"
#include "io/sha256.h"
#include "io/system_io.h"
#include "payload/ceiling.h"
#include "payload/depfile.h"
#include "payload/payload_folder.h"
#include "pe/authenticode.h"
#include "pe/loader_checks.h"
#include "store/pack_image.h"
#include "store/store_reader.h"
#include "store/store_verify.h"

namespace {

// Exit codes: a problem with the input or the system, and a command line that asks for
// something the tool does not do.
constexpr int kFailure = 1;
constexpr int kUsageError = 2;

const std::vector<VerbSpec>& Verbs();

int UsageError(const std::string& problem, const VerbSpec* verb = nullptr) {
  const std::string help =
      verb == nullptr ? "selfinst-pack --help" : std::string("selfinst-pack help ") + verb->name;
  (void)std::fprintf(stderr, "selfinst-pack: %s (see %s)\n", Shown(problem).c_str(), help.c_str());
  return kUsageError;
}

void Say(const std::string& subject, const std::string& what) {
  (void)std::fprintf(stderr, "selfinst-pack: %s: %s\n", Shown(subject).c_str(),
                     Shown(what).c_str());
}

void Print(const Report& report) {
  for (const Problem& problem : report) {
    Say(problem.subject,
        (problem.severity == Severity::kWarning ? "warning: " : "") + problem.what);
  }
}

// Each problem of the report, one line each.
int Fail(const Report& report) {
  Print(report);
  return kFailure;
}

// Anything read from outside goes into JSON as it is: the library escapes it, and a byte
// that is not UTF-8 becomes U+FFFD rather than an error.
void PrintJson(const nlohmann::ordered_json& document) {
  (void)std::printf("%s\n", JsonLine(document).c_str());
}

// An image opened with its headers and its store parsed; the file closes with it.
struct LoadedImage {
  ImageFile file;
  PeImage image;
  StoreView store;
  LoadedImage() = default;
  LoadedImage(const LoadedImage&) = delete;
  LoadedImage& operator=(const LoadedImage&) = delete;
  ~LoadedImage() { CloseImageFile(&file); }
};

bool LoadImage(const std::string& path, LoadedImage* loaded, Report* report) {
  return OpenImageFile(path, kLargestImage, &loaded->file, report) &&
         ParsePeImage(loaded->file, &loaded->image, report) &&
         ReadStore(loaded->file, loaded->image, &loaded->store, report);
}

// A checked payload folder; its files, once opened, close with it.
struct LoadedPayload {
  std::vector<PayloadFile> files;
  std::uint64_t bytes = 0;  // of all the files, summed once
  OpenPayload open;
  LoadedPayload() = default;
  LoadedPayload(const LoadedPayload&) = delete;
  LoadedPayload& operator=(const LoadedPayload&) = delete;
  ~LoadedPayload() { ClosePayloadFiles(&open); }
};

// The folder checked, with a warning for a payload that only starts where 32-bit programs
// get 4 GB, and its files opened unless `checkOnly`.
bool LoadPayload(const std::string& folder, bool checkOnly, LoadedPayload* payload,
                 Report* report) {
  if (!CheckPayload(folder, &payload->files, report)) {
    return false;
  }
  for (const PayloadFile& file : payload->files) {
    payload->bytes += file.size;
  }
  // Shown at once, before the long work it warns of.
  Report warnings;
  WarnOfPayloadTotal(payload->bytes, folder, &warnings);
  Print(warnings);
  return checkOnly || OpenPayloadFiles(folder, payload->files, &payload->open, report);
}

std::uint64_t ItemBytes(const StoreView& store) {
  std::uint64_t total = 0;
  for (const StoredItem& item : store.items) {
    total += item.size;
  }
  return total;
}

// `-o PATH` as a folder and a file name in it.
bool SplitOutput(const std::string& path, std::string* folder, std::string* name, Report* report) {
  const std::size_t slash = path.find_last_of('/');
  *folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name->empty() || *name == "." || *name == "..") {
    return Refuse(report, path, "names a folder, not a file to write");
  }
  return true;
}

// A descriptor that closes when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { CloseIfOpen(&fd_); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool IdentityOfPath(const std::string& path, FileIdentity* identity, Report* report) {
  const Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  const bool known = fd.get() >= 0 && IdentityOf(fd.get(), identity);
  return known || Refuse(report, path, SystemError("cannot open"));
}

// Opens the one output of a command at `path`, to replace what is there.
bool BeginOneOutput(const std::string& path, const Inputs& inputs, OutputSet* output,
                    Report* report) {
  std::string folder;
  std::string name;
  return SplitOutput(path, &folder, &name, report) &&
         output->BeginReplacing(folder, name, inputs, report);
}

// The image an output holds now, read back from its file.
bool ReadBack(const OutputSet& output, ImageFile* file, Report* report) {
  const int fd = ::dup(output.Descriptor(0));
  if (fd < 0) {
    return Refuse(report, output.Path(0), SystemError("cannot read"));
  }
  return ImageFromDescriptor(output.Path(0), fd, file, report);
}

// Runs verify's checks on what pack wrote, read back from the file but for the items, whose
// bytes (and the checksum of them all) passed the writer: pack never puts in place an image
// verify refuses.
bool VerifyOutput(const OutputSet& output, std::uint32_t writtenCheckSum, Report* report) {
  LoadedImage loaded;
  return ReadBack(output, &loaded.file, report) &&
         ParsePeImage(loaded.file, &loaded.image, report) &&
         ReadStore(loaded.file, loaded.image, &loaded.store, report) &&
         VerifyWrittenImage(loaded.file, loaded.image, loaded.store, writtenCheckSum, report);
}

// Written before the image, so that a build reruns pack when a payload file changes: a
// depfile beside a missing image only makes the build pack again.
bool WriteDepfile(const Arguments& arguments, const std::vector<PayloadFile>& files,
                  const Inputs& inputs, Report* report) {
  if (arguments.depfile.empty()) {
    return true;
  }
  std::string rule;
  OutputSet depfile;
  return DepfileRule(arguments.depfile, arguments.output, files, &rule, report) &&
         BeginOneOutput(arguments.depfile, inputs, &depfile, report) &&
         depfile.Write(0, rule.data(), rule.size(), report) && depfile.Place(report);
}

int Pack(const Arguments& arguments) {
  Report report;
  LoadedPayload payload;
  const std::string& stubPath = arguments.stub;
  Bytes stubBytes;
  FileIdentity stubIdentity;
  if (!LoadPayload(arguments.payload, false, &payload, &report) ||
      !IdentityOfPath(stubPath, &stubIdentity, &report) ||
      !ReadSmallFile(stubPath, kLargestStub, &stubBytes, &report)) {
    return Fail(report);
  }
  payload.open.inputs.files.push_back(stubIdentity);
  const ImageFile stub = ImageInMemory(stubPath, std::move(stubBytes));
  OutputSet output;
  if (!CheckCompiledSizes(stub, payload.files, &report) ||
      !WriteDepfile(arguments, payload.files, payload.open.inputs, &report) ||
      !BeginOneOutput(arguments.output, payload.open.inputs, &output, &report)) {
    return Fail(report);
  }
  std::uint32_t checkSum = 0;
  bool packed = false;
  {
    Progress progress("pack", payload.bytes);
    packed = PackImage(stub, payload.files, payload.open, &output, &checkSum, &report,
                       [&progress](std::size_t size) { progress.Add(size); });
  }
  if (packed && !VerifyOutput(output, checkSum, &report)) {
    Say(stubPath, "pack made an image that verify refuses, and kept nothing");
    packed = false;
  }
  if (!packed || !output.Place(&report)) {
    return Fail(report);
  }
  return 0;
}

struct ListedItem {
  std::string file;  // "" for a key no manifest row names
  std::string key;
  std::uint32_t size;
  std::string sha256;
};

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

nlohmann::ordered_json SignerJson(const SignatureVerdict& signature) {
  return signature.signer.empty() ? nlohmann::ordered_json(nullptr)
                                  : nlohmann::ordered_json(signature.signer);
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
    nlohmann::ordered_json items = nlohmann::ordered_json::array();
    for (const ListedItem& item : listed) {
      items.push_back({{"file", item.file.empty() ? nullptr : nlohmann::ordered_json(item.file)},
                       {"key", item.key},
                       {"size", item.size},
                       {"sha256", item.sha256}});
    }
    PrintJson({{"image", imagePath},
               {"format", format},
               {"signature", signature.State()},
               {"signer", SignerJson(signature)},
               {"items", items},
               {"total", {{"files", listed.size()}, {"bytes", bytes}}}});
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

int List(const Arguments& arguments) {
  LoadedImage loaded;
  Report report;
  std::vector<ListedItem> listed;
  if (!LoadImage(arguments.image, &loaded, &report)) {
    return Fail(report);
  }
  // The listing says "malformed certificate table"; the table's faults are verify's to name.
  Report signatureProblems;
  AuthenticodeCheck signature(loaded.file, loaded.image,
                              ReadSignature(loaded.file, loaded.image, &signatureProblems));
  if (!ListItems(loaded, &listed, &signature, &report)) {
    return Fail(report);
  }
  PrintListing(arguments.image, loaded, signature.Finish(), listed, arguments.json);
  return 0;
}

// Compares each item with its payload file as the image's bytes pass; a row that differs
// is said once.
class PayloadComparison {
 public:
  PayloadComparison(const std::string& imagePath, const LoadedPayload& payload, Report* report)
      : imagePath_(imagePath),
        payload_(payload),
        report_(report),
        compared_(payload.files.size(), 0),
        differs_(payload.files.size(), false),
        chunk_(kChunkSize) {}

  // Items of another size than their files differ before a byte is read.
  void CompareSizes(const StoreView& store) {
    for (const StoredItem& item : store.items) {
      const int row = RowOfKey(item.key);
      if (row >= 0 && item.size != payload_.files[static_cast<std::size_t>(row)].size) {
        Differs(static_cast<std::size_t>(row));
      }
    }
  }

  bool Take(std::size_t row, const std::uint8_t* data, std::size_t size) {
    if (differs_[row]) {
      return true;
    }
    if (!ReadPayload(payload_.files[row], payload_.open.fds[row], compared_[row], size,
                     chunk_.data(), report_)) {
      return false;
    }
    compared_[row] += size;
    if (!std::equal(data, data + size, chunk_.data())) {
      Differs(row);
    }
    return true;
  }

 private:
  void Differs(std::size_t row) {
    if (!differs_[row]) {
      differs_[row] = true;
      Refuse(report_, imagePath_,
             "item " + UpperCase(Manifest()[row].itemKey) + " differs from the payload file " +
                 Manifest()[row].fileName);
    }
  }

  const std::string& imagePath_;
  const LoadedPayload& payload_;
  Report* report_;
  std::vector<std::uint64_t> compared_;  // per row
  std::vector<bool> differs_;            // per row
  Bytes chunk_;
};

// What verify proved, for people or for scripts.
int ReportVerify(const Arguments& arguments, bool verified, std::size_t items,
                 const SignatureVerdict& signature, const Report& report) {
  const std::string summary =
      (arguments.payload.empty()
           ? "store intact, " + std::to_string(items) + " items (contents not compared)"
           : std::to_string(items) + " items match " + arguments.payload + ", byte for byte") +
      (signature.table == Signature::kSigned ? "; " + signature.Text() : "");
  if (arguments.json) {
    nlohmann::ordered_json problems = nlohmann::ordered_json::array();
    for (const Problem& problem : report) {
      problems.push_back({{"subject", problem.subject}, {"what", problem.what}});
    }
    PrintJson({{"image", arguments.image},
               {"verified", verified},
               {"payload",
                arguments.payload.empty() ? nullptr : nlohmann::ordered_json(arguments.payload)},
               {"contents", arguments.payload.empty() ? "not compared"
                            : verified                ? "match"
                                                      : "not proved"},
               {"items", verified ? nlohmann::ordered_json(items) : nullptr},
               {"summary", verified ? summary : "refused"},
               {"signature", verified ? nlohmann::ordered_json(signature.State()) : nullptr},
               {"signer", verified ? SignerJson(signature) : nullptr},
               {"problems", problems}});
    (void)std::fflush(stdout);  // the document first, then the lines that say the same
  }
  if (!verified) {
    return Fail(report);
  }
  if (!arguments.json) {
    std::printf("%s: %s\n", Shown(arguments.image).c_str(), Shown(summary).c_str());
  }
  return 0;
}

int Verify(const Arguments& arguments) {
  LoadedImage loaded;
  LoadedPayload payload;
  Report report;
  const bool withPayload = !arguments.payload.empty();
  Bytes caPem;
  if ((!arguments.ca.empty() && !ReadSmallFile(arguments.ca, kLargestCaFile, &caPem, &report)) ||
      !LoadImage(arguments.image, &loaded, &report) ||
      (withPayload && !LoadPayload(arguments.payload, false, &payload, &report))) {
    return ReportVerify(arguments, false, 0, SignatureVerdict{}, report);
  }
  Report tableProblems;  // the loader's checks name them
  AuthenticodeCheck signature(loaded.file, loaded.image,
                              ReadSignature(loaded.file, loaded.image, &tableProblems));
  std::vector<Span> signedSpans;
  signature.AddSpans(&signedSpans);
  PayloadComparison comparison(arguments.image, payload, &report);
  if (withPayload) {
    comparison.CompareSizes(loaded.store);
  }
  bool verified = false;
  {
    Progress progress("verify", withPayload ? ItemBytes(loaded.store) : 0);
    const ItemTaker compare = [&](std::size_t row, const std::uint8_t* data, std::size_t size) {
      progress.Add(size);
      return comparison.Take(row, data, size);
    };
    verified = VerifyImage(loaded.file, loaded.image, loaded.store,
                           withPayload ? compare : ItemTaker{}, &report, signedSpans);
  }
  const SignatureVerdict verdict =
      signature.Finish(arguments.ca, arguments.ca.empty() ? nullptr : &caPem);
  if (verified && verdict.table == Signature::kSigned && !verdict.valid) {
    Refuse(&report, arguments.image, verdict.problem);
  } else if (verified && verdict.table == Signature::kNone && !arguments.ca.empty()) {
    Refuse(&report, arguments.image,
           "is unsigned: there is no chain to check against " + arguments.ca);
  }
  for (std::size_t row = 0; verified && row < payload.open.fds.size(); ++row) {
    (void)PayloadUnchanged(payload.files[row], payload.open, row, &report);
  }
  return ReportVerify(arguments, verified && report.empty(), loaded.store.items.size(), verdict,
                      report);
}

int Extract(const Arguments& arguments) {
  const std::string& imagePath = arguments.image;
  LoadedImage loaded;
  Report report;
  FileIdentity imageIdentity;
  if (!LoadImage(imagePath, &loaded, &report)) {
    return Fail(report);
  }
  if (!IdentityOf(loaded.file.fd, &imageIdentity)) {
    return Fail({{imagePath, SystemError("cannot read")}});
  }
  // Names come from the manifest, never from the image; the files are written as the
  // image is verified, and named only if it verifies.
  const std::string& folder = arguments.folder;
  Inputs inputs;
  inputs.files.push_back(imageIdentity);
  bool begun = false;
  OutputSet set;
  std::vector<std::size_t> outputs(Manifest().size(), 0);
  // Cleared before any problem is said.
  auto progress = std::make_unique<Progress>("extract", ItemBytes(loaded.store));
  const ItemTaker write = [&](std::size_t row, const std::uint8_t* data, std::size_t size) {
    if (!report.empty()) {
      return true;  // the image fails already: nothing is written, the rest is still checked
    }
    if (!begun) {
      if (!set.BeginNewFiles(folder, inputs, &report)) {
        return false;
      }
      begun = true;
      // Every name is claimed before a byte is written: a file in the way stops it at once,
      // with every other one in the way named.
      bool claimed = true;
      for (std::size_t r = 0; r < Manifest().size(); ++r) {
        claimed = claimed ? set.AddNewFile(Manifest()[r].fileName, &outputs[r], &report)
                          : (set.SayIfTaken(Manifest()[r].fileName, &report), false);
      }
      if (!claimed) {
        return false;
      }
    }
    progress->Add(size);
    return set.Write(outputs[row], data, size, &report);
  };
  const bool verified = VerifyImage(loaded.file, loaded.image, loaded.store, write, &report);
  progress.reset();
  if (!verified || !report.empty() || !begun || !set.Place(&report)) {
    return Fail(report);
  }
  return 0;
}

int Check(const Arguments& arguments) {
  Report report;
  LoadedPayload payload;
  return LoadPayload(arguments.payload, true, &payload, &report) ? 0 : Fail(report);
}

// The sizes of the items a built launcher carries, once the image verifies.
bool ImageSizes(const std::string& imagePath, std::vector<std::uint64_t>* sizes, Inputs* inputs,
                Report* report) {
  LoadedImage loaded;
  FileIdentity identity;
  if (!LoadImage(imagePath, &loaded, report)) {
    return false;
  }
  if (!IdentityOf(loaded.file.fd, &identity)) {
    return Refuse(report, imagePath, SystemError("cannot read"));
  }
  inputs->files.push_back(identity);
  if (!VerifyImage(loaded.file, loaded.image, loaded.store, ItemTaker{}, report)) {
    return false;
  }
  sizes->assign(Manifest().size(), 0);
  for (const StoredItem& item : loaded.store.items) {
    (*sizes)[static_cast<std::size_t>(RowOfKey(item.key))] = item.size;
  }
  return true;
}

// The sizes of a payload folder, checked.
bool PayloadSizes(const std::string& folder, std::vector<std::uint64_t>* sizes, Inputs* inputs,
                  Report* report) {
  LoadedPayload payload;
  if (!LoadPayload(folder, false, &payload, report)) {
    return false;
  }
  *inputs = payload.open.inputs;
  for (const PayloadFile& file : payload.files) {
    sizes->push_back(file.size);
  }
  return true;
}

int Sizes(const Arguments& arguments) {
  const VerbSpec* sizesVerb = FindVerb(Verbs(), "sizes");
  if (!arguments.image.empty() && !arguments.payload.empty()) {
    return UsageError("sizes takes --payload DIR or an IMAGE, not both", sizesVerb);
  }
  if (arguments.image.empty() && arguments.payload.empty()) {
    return UsageError("sizes needs --payload DIR or an IMAGE", sizesVerb);
  }
  Report report;
  std::vector<std::uint64_t> sizes;
  Inputs inputs;
  if (!(arguments.image.empty() ? PayloadSizes(arguments.payload, &sizes, &inputs, &report)
                                : ImageSizes(arguments.image, &sizes, &inputs, &report))) {
    return Fail(report);
  }
  const std::string text = SizesHeader(sizes);
  if (arguments.output == "-") {  // standard output, as for most tools; ./- names a file
    return std::fputs(text.c_str(), stdout) < 0 ? kFailure : 0;
  }
  const Bytes header(text.begin(), text.end());
  Bytes old;
  // Left as it is when unchanged, so that an unchanged payload rebuilds nothing. Whatever
  // keeps the old header from being read (it is missing, say) only means it is written anew.
  Report unreadable;
  if (ReadSmallFile(arguments.output, header.size(), &old, &unreadable) && old == header) {
    return 0;
  }
  OutputSet output;
  if (!BeginOneOutput(arguments.output, inputs, &output, &report) ||
      !output.Write(0, header.data(), header.size(), &report) || !output.Place(&report)) {
    return Fail(report);
  }
  return 0;
}

int Names(const Arguments&) {
  for (const ManifestFile& file : Manifest()) {
    std::printf("%s\n", file.fileName);
  }
  return 0;
}

int Limits(const Arguments&) {
  std::printf("largest payload: %llu bytes\n", static_cast<unsigned long long>(kLargestPayload));
  std::printf("largest payload 32-bit Windows maps: %llu bytes\n",
              static_cast<unsigned long long>(kLargestPayloadOn32BitWindows));
  return 0;
}

int Help(const Arguments& arguments) {
  if (arguments.topic.empty()) {
    (void)std::fputs(GlobalUsage(Verbs()).c_str(), stdout);
    return 0;
  }
  const VerbSpec* verb = FindVerb(Verbs(), arguments.topic);
  if (verb == nullptr) {
    return UsageError("help: unknown command " + arguments.topic);
  }
  (void)std::fputs(VerbUsage(*verb).c_str(), stdout);
  return 0;
}

// Every verb, its operands and options: what the parser accepts and the usage shows.
const std::vector<VerbSpec>& Verbs() {
  using A = Arguments;
  constexpr Need kNeeded = Need::kRequired;
  constexpr Need kOptional = Need::kOptional;
  static const std::vector<VerbSpec> verbs = {
      {"pack",
       "attaches the store of a payload folder to a linked launcher",
       {},
       {Value("--stub", "LINKED.exe", kNeeded, "the linked launcher, built for this payload",
              &A::stub),
        Value("--payload", "DIR", kNeeded, "the folder holding the eleven files", &A::payload),
        Value("-o", "OUT.exe", kNeeded, "the launcher to write (replaced when there)", &A::output),
        Value("--depfile", "FILE", kOptional,
              "also writes a make rule naming the payload files the launcher is made from",
              &A::depfile)},
       Pack},
      {"list",
       "shows the files a built launcher carries, with sizes and SHA-256",
       {{"IMAGE", kNeeded, "the built launcher to read", &A::image}},
       {Flag("--json", "prints one JSON document instead", &A::json)},
       List},
      {"verify",
       "checks a built launcher's store and loader fields, and its items against a payload",
       {{"IMAGE", kNeeded, "the built launcher to check", &A::image}},
       {Value("--payload", "DIR", kOptional, "compares every item with its file, byte for byte",
              &A::payload),
        Value("--ca", "FILE", kOptional,
              "also checks that a signature's certificate chains to a CA of FILE (PEM)", &A::ca),
        Flag("--json", "prints one JSON document instead", &A::json)},
       Verify},
      {"extract",
       "writes the files a built launcher carries into a folder, once it verifies",
       {{"IMAGE", kNeeded, "the built launcher to read", &A::image}},
       {Value("-C", "DIR", kNeeded, "the folder to write into (made when missing)", &A::folder)},
       Extract},
      {"check",
       "checks that a payload folder holds the eleven files and nothing else",
       {},
       {Value("--payload", "DIR", kNeeded, "the folder to check", &A::payload)},
       Check},
      {"sizes",
       "writes payload_sizes.h from a payload folder or from a built launcher",
       {{"IMAGE", kOptional, "the built launcher to read the sizes of", &A::image}},
       {Value("--payload", "DIR", kOptional, "the folder to read the sizes of (or IMAGE)",
              &A::payload),
        Value("-o", "FILE", kNeeded,
              "the header to write (left alone when unchanged; - for standard output)",
              &A::output)},
       Sizes},
      {"names", "prints the names of the eleven payload files, in manifest order", {}, {}, Names},
      {"limits", "prints the largest payload a launcher carries", {}, {}, Limits},
      {"help",
       "shows a command's usage, or this",
       {{"COMMAND", kOptional, "the command to show", &A::topic}},
       {},
       Help},
  };
  return verbs;
}

int Run(const std::vector<std::string>& args) {
  Invocation invocation;
  std::string problem;
  if (!ParseCommandLine(Verbs(), args, &invocation, &problem)) {
    return UsageError(problem, invocation.verb);
  }
  switch (invocation.action) {
    case Invocation::Action::kHelp:
      (void)std::fputs(invocation.verb == nullptr ? GlobalUsage(Verbs()).c_str()
                                                  : VerbUsage(*invocation.verb).c_str(),
                       stdout);
      return 0;
    case Invocation::Action::kVersion:
      (void)std::printf("%s\n", VersionLine().c_str());
      return 0;
    case Invocation::Action::kRun:
      break;
  }
  return invocation.verb->run(invocation.arguments);
}

}  // namespace

// Standard output that could not be written (a full disk, a closed pipe) is a failure.
int CheckStandardOutput(int result) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    Say("standard output", SystemError("cannot write"));
    return kFailure;
  }
  return result;
}

int main(int argc, char** argv) {
  try {
    return CheckStandardOutput(Run(std::vector<std::string>(argv + 1, argv + argc)));
  } catch (const std::exception& unexpected) {
    Say("unexpected failure", unexpected.what());
  } catch (...) {
    Say("unexpected failure", "an unknown error");
  }
  return kFailure;
}
