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
#include <map>
#include <string>
#include <vector>

#include "io/output_folder.h"
#include "payload/ceiling.h"
#include "payload/payload_folder.h"
#include "pe/loader_checks.h"
#include "store/pack_image.h"
#include "store/store_reader.h"
#include "store/store_verify.h"

namespace {

constexpr const char* kUsage =
    "usage: selfinst-pack pack --stub LINKED.exe --payload DIR -o OUT.exe [--depfile FILE]\n"
    "       selfinst-pack list IMAGE.exe\n"
    "       selfinst-pack verify IMAGE.exe [--payload DIR]\n"
    "       selfinst-pack extract IMAGE.exe -C DIR\n"
    "       selfinst-pack check --payload DIR\n"
    "       selfinst-pack sizes --payload DIR -o payload_sizes.h\n"
    "       selfinst-pack sizes IMAGE.exe -o payload_sizes.h\n"
    "       selfinst-pack names\n"
    "       selfinst-pack limits\n"
    "Options may come in any order; after -- every argument is an image path.\n";
constexpr int kUsageError = 2;
int UsageError(const std::string& problem);

using Options = std::map<std::string, std::string>;

void Say(const std::string& subject, const std::string& what) {
  (void)std::fprintf(stderr, "selfinst-pack: %s: %s\n", Shown(subject).c_str(),
                     Shown(what).c_str());
}

// Each problem of the report, one line each.
int Fail(const Report& report) {
  for (const Problem& problem : report) {
    Say(problem.subject, problem.what);
  }
  return 1;
}

// An image opened with its headers and its store parsed.
struct LoadedImage {
  ImageFile file;
  PeImage image;
  StoreView store;
};

bool LoadImage(const std::string& path, LoadedImage* loaded, Report* report) {
  return OpenImageFile(path, kLargestImage, &loaded->file, report) &&
         ParsePeImage(loaded->file, &loaded->image, report) &&
         ReadStore(loaded->file, loaded->image, &loaded->store, report);
}

// A checked payload folder, its files opened, and a warning for a payload that only
// starts where 32-bit programs get 4 GB.
bool LoadPayload(const std::string& folder, std::vector<PayloadFile>* files, OpenPayload* payload,
                 Report* report) {
  if (!CheckPayload(folder, files, report)) {
    return false;
  }
  std::uint64_t total = 0;
  for (const PayloadFile& file : *files) {
    total += file.size;
  }
  std::string warning;
  if (PayloadWarning(total, &warning)) {
    Say(folder, "warning: " + warning);
  }
  return payload == nullptr || OpenPayloadFiles(folder, *files, payload, report);
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

bool IdentityOfPath(const std::string& path, FileIdentity* identity, Report* report) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const bool known = fd >= 0 && IdentityOf(fd, identity);
  const std::string reason = std::strerror(errno);
  if (fd >= 0) {
    (void)::close(fd);
  }
  return known || Refuse(report, path, "cannot open: " + reason);
}

// Opens the one output of a command at `path`, to replace what is there.
bool BeginOneOutput(const std::string& path, const Inputs& inputs, std::size_t* output,
                    Report* report) {
  std::string folder;
  std::string name;
  if (!SplitOutput(path, &folder, &name, report) ||
      !BeginOutputs(folder, false, Existing::kReplace, inputs, report)) {
    return false;
  }
  if (!CreateOutput(name, output, report)) {
    DiscardOutputs();
    return false;
  }
  return true;
}

// The image an output holds now, read back from its file.
bool ReadBack(std::size_t output, ImageFile* file, Report* report) {
  const int fd = ::dup(OutputDescriptor(output));
  if (fd < 0) {
    return Refuse(report, OutputPath(output), std::string("cannot read: ") + std::strerror(errno));
  }
  return ImageFromDescriptor(OutputPath(output), fd, file, report);
}

// Runs verify's checks on what pack wrote, read back from the file but for the items, whose
// bytes (and the checksum of them all) passed the writer: pack never puts in place an image
// verify refuses.
bool VerifyOutput(std::size_t output, std::uint32_t writtenCheckSum, Report* report) {
  LoadedImage loaded;
  if (!ReadBack(output, &loaded.file, report)) {
    return false;
  }
  const bool verified =
      ParsePeImage(loaded.file, &loaded.image, report) &&
      ReadStore(loaded.file, loaded.image, &loaded.store, report) &&
      VerifyWrittenImage(loaded.file, loaded.image, loaded.store, writtenCheckSum, report);
  CloseImageFile(&loaded.file);
  return verified;
}

// A path as a make rule spells it: make reads `$` as a variable, a space as the end of the
// name, `#` as a comment, `:` as the rule's colon and `\` as an escape.
bool MakeEscaped(const std::string& path, std::string* escaped, Report* report) {
  for (const char c : path) {
    if (c == '\n' || c == '\r') {
      return Refuse(report, path, "holds a line break, which a depfile cannot name");
    }
    if (c == '$') {
      escaped->push_back('$');
    } else if (c == ' ' || c == '#' || c == ':' || c == '\\' || c == '\t') {
      escaped->push_back('\\');
    }
    escaped->push_back(c);
  }
  return true;
}

// `OUT: payload files...`, so that a build reruns pack when a payload file changes. Written
// before the image: a depfile beside a missing image only makes the build pack again.
bool WriteDepfile(const Options& options, const std::vector<PayloadFile>& files,
                  const Inputs& inputs, Report* report) {
  if (options.count("--depfile") == 0) {
    return true;
  }
  std::string text;
  if (!MakeEscaped(options.at("-o"), &text, report)) {
    return false;
  }
  text += ":";
  for (const PayloadFile& file : files) {
    text += " ";
    if (!MakeEscaped(file.path, &text, report)) {
      return false;
    }
  }
  text += "\n";
  std::size_t output = 0;
  if (!BeginOneOutput(options.at("--depfile"), inputs, &output, report)) {
    return false;
  }
  if (!WriteOutput(output, text.data(), text.size(), report) || !PlaceOutputs(report)) {
    DiscardOutputs();
    return false;
  }
  return true;
}

int Pack(const Options& options) {
  Report report;
  std::vector<PayloadFile> files;
  OpenPayload payload;
  const std::string& stubPath = options.at("--stub");
  Bytes stubBytes;
  FileIdentity stubIdentity;
  if (!LoadPayload(options.at("--payload"), &files, &payload, &report) ||
      !IdentityOfPath(stubPath, &stubIdentity, &report) ||
      !ReadSmallFile(stubPath, kLargestStub, &stubBytes, &report)) {
    ClosePayloadFiles(&payload);
    return Fail(report);
  }
  payload.inputs.files.push_back(stubIdentity);
  const ImageFile stub = ImageInMemory(stubPath, std::move(stubBytes));
  std::size_t output = 0;
  if (!CheckCompiledSizes(stub, files, &report) ||
      !WriteDepfile(options, files, payload.inputs, &report) ||
      !BeginOneOutput(options.at("-o"), payload.inputs, &output, &report)) {
    ClosePayloadFiles(&payload);
    return Fail(report);
  }
  std::uint32_t checkSum = 0;
  bool packed = PackImage(stub, files, payload, output, &checkSum, &report);
  ClosePayloadFiles(&payload);
  if (packed && !VerifyOutput(output, checkSum, &report)) {
    Say(stubPath, "pack made an image that verify refuses, and kept nothing");
    packed = false;
  }
  if (!packed || !PlaceOutputs(&report)) {
    DiscardOutputs();
    return Fail(report);
  }
  return 0;
}

int List(const Options& options) {
  const std::string& imagePath = options.at("IMAGE");
  LoadedImage loaded;
  Report report;
  if (!LoadImage(imagePath, &loaded, &report)) {
    return Fail(report);
  }
  Report signatureProblems;
  const Signature signature = ReadSignature(loaded.file, loaded.image, &signatureProblems);
  const char* signatureText = signature == Signature::kSigned ? "signed"
                              : signature == Signature::kNone ? "unsigned"
                                                              : "malformed certificate table";
  std::printf("%s: %s, %zu items, %s\n", Shown(imagePath).c_str(),
              loaded.image.is64 ? "PE32+" : "PE32", loaded.store.items.size(), signatureText);
  std::printf("%-14s %-10s %8s %10s %10s\n", "key", "name", "language", "size", "offset");
  for (const StoredItem& item : loaded.store.items) {
    std::printf("%-14s %-10s %8u %10u 0x%08llx\n", item.key.c_str(), item.name.c_str(),
                item.language, item.size, static_cast<unsigned long long>(item.fileOffset));
  }
  CloseImageFile(&loaded.file);
  return 0;
}

// Compares each item with its payload file as the image's bytes pass.
struct PayloadComparison {
  std::vector<std::uint64_t> compared;  // per row
  std::vector<bool> differs;            // per row, said once
  Bytes chunk;
};

int Verify(const Options& options) {
  const std::string& imagePath = options.at("IMAGE");
  LoadedImage loaded;
  Report report;
  if (!LoadImage(imagePath, &loaded, &report)) {
    return Fail(report);
  }
  std::vector<PayloadFile> files;
  OpenPayload payload;
  const bool withPayload = options.count("--payload") != 0;
  if (withPayload && !LoadPayload(options.at("--payload"), &files, &payload, &report)) {
    return Fail(report);
  }
  std::vector<const StoredItem*> byRow;
  Report ignored;
  (void)MatchRows(loaded.file, loaded.store, &byRow, &ignored);
  PayloadComparison comparison{std::vector<std::uint64_t>(files.size(), 0),
                               std::vector<bool>(files.size(), false), Bytes(kChunkSize)};
  const auto differs = [&](std::size_t row) {
    if (!comparison.differs[row]) {
      comparison.differs[row] = true;
      Refuse(&report, imagePath,
             "item " + UpperCase(Manifest()[row].itemKey) + " differs from the payload file " +
                 Manifest()[row].fileName);
    }
  };
  for (std::size_t row = 0; withPayload && row < byRow.size(); ++row) {
    if (byRow[row] != nullptr && byRow[row]->size != files[row].size) {
      differs(row);
    }
  }
  const ItemTaker compare = [&](std::size_t row, const std::uint8_t* data, std::size_t size) {
    if (comparison.differs[row]) {
      return true;
    }
    Report readProblem;
    if (!ReadPayload(files[row], payload.fds[row], comparison.compared[row], size,
                     comparison.chunk.data(), &readProblem)) {
      report.insert(report.end(), readProblem.begin(), readProblem.end());
      return false;
    }
    comparison.compared[row] += size;
    if (!std::equal(data, data + size, comparison.chunk.data())) {
      differs(row);
    }
    return true;
  };
  const bool verified = VerifyImage(loaded.file, loaded.image, loaded.store,
                                    withPayload ? compare : ItemTaker{}, &report);
  for (std::size_t row = 0; verified && row < payload.fds.size(); ++row) {
    (void)PayloadUnchanged(files[row], payload, row, &report);
  }
  ClosePayloadFiles(&payload);
  CloseImageFile(&loaded.file);
  if (!verified || !report.empty()) {
    return Fail(report);
  }
  std::printf("%s: store verified, %zu items\n", Shown(imagePath).c_str(),
              loaded.store.items.size());
  return 0;
}

int Extract(const Options& options) {
  const std::string& imagePath = options.at("IMAGE");
  LoadedImage loaded;
  Report report;
  FileIdentity imageIdentity;
  if (!LoadImage(imagePath, &loaded, &report)) {
    return Fail(report);
  }
  if (!IdentityOf(loaded.file.fd, &imageIdentity)) {
    return Fail({{imagePath, std::string("cannot read: ") + std::strerror(errno)}});
  }
  // Names come from the manifest, never from the image; the files are written as the
  // image is verified, and named only if it verifies.
  const std::string& folder = options.at("-C");
  Inputs inputs;
  inputs.files.push_back(imageIdentity);
  bool begun = false;
  std::vector<bool> created(Manifest().size(), false);
  std::vector<std::size_t> outputs(Manifest().size(), 0);
  const ItemTaker write = [&](std::size_t row, const std::uint8_t* data, std::size_t size) {
    if (!report.empty()) {
      return true;  // the image fails already: nothing is written, the rest is still checked
    }
    if (!begun) {
      if (!BeginOutputs(folder, true, Existing::kKeep, inputs, &report)) {
        return false;
      }
      begun = true;
      // Every name is claimed before a byte is written: a file in the way stops it at once.
      for (std::size_t r = 0; r < Manifest().size(); ++r) {
        if (!CreateOutput(Manifest()[r].fileName, &outputs[r], &report)) {
          return false;
        }
        created[r] = true;
      }
    }
    return WriteOutput(outputs[row], data, size, &report);
  };
  const bool verified = VerifyImage(loaded.file, loaded.image, loaded.store, write, &report);
  CloseImageFile(&loaded.file);
  if (!verified || !report.empty() || !begun || !PlaceOutputs(&report)) {
    if (begun) {
      DiscardOutputs();
    }
    return Fail(report);
  }
  return 0;
}

int Check(const Options& options) {
  Report report;
  std::vector<PayloadFile> files;
  return LoadPayload(options.at("--payload"), &files, nullptr, &report) ? 0 : Fail(report);
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
    return Refuse(report, imagePath, std::string("cannot read: ") + std::strerror(errno));
  }
  inputs->files.push_back(identity);
  const bool verified = VerifyImage(loaded.file, loaded.image, loaded.store, ItemTaker{}, report);
  CloseImageFile(&loaded.file);
  if (!verified) {
    return false;
  }
  sizes->assign(Manifest().size(), 0);
  for (const StoredItem& item : loaded.store.items) {
    (*sizes)[static_cast<std::size_t>(RowOfKey(item.key))] = item.size;
  }
  return true;
}

int Sizes(const Options& options) {
  if (options.count("IMAGE") != 0 && options.count("--payload") != 0) {
    return UsageError("sizes takes --payload or an image, not both");
  }
  if (options.count("IMAGE") == 0 && options.count("--payload") == 0) {
    return UsageError("sizes needs --payload or an image");
  }
  Report report;
  std::vector<std::uint64_t> sizes;
  Inputs inputs;
  if (options.count("IMAGE") != 0) {
    if (!ImageSizes(options.at("IMAGE"), &sizes, &inputs, &report)) {
      return Fail(report);
    }
  } else {
    std::vector<PayloadFile> files;
    OpenPayload payload;
    if (!LoadPayload(options.at("--payload"), &files, &payload, &report)) {
      return Fail(report);
    }
    ClosePayloadFiles(&payload);
    inputs = payload.inputs;
    for (const PayloadFile& file : files) {
      sizes.push_back(file.size);
    }
  }
  const std::string text = SizesHeader(sizes);
  const Bytes header(text.begin(), text.end());
  Bytes old;
  Report notThere;
  // Left as it is when unchanged, so that an unchanged payload rebuilds nothing.
  if (ReadSmallFile(options.at("-o"), header.size(), &old, &notThere) && old == header) {
    return 0;
  }
  std::size_t output = 0;
  if (!BeginOneOutput(options.at("-o"), inputs, &output, &report)) {
    return Fail(report);
  }
  if (!WriteOutput(output, header.data(), header.size(), &report) || !PlaceOutputs(&report)) {
    DiscardOutputs();
    return Fail(report);
  }
  return 0;
}

int Names(const Options&) {
  for (const ManifestFile& file : Manifest()) {
    std::printf("%s\n", file.fileName);
  }
  return 0;
}

int Limits(const Options&) {
  std::printf("largest payload: %llu bytes\n", static_cast<unsigned long long>(kLargestPayload));
  std::printf("largest payload 32-bit Windows maps: %llu bytes\n",
              static_cast<unsigned long long>(kLargestPayloadOn32BitWindows));
  return 0;
}

struct Verb {
  const char* name;
  bool takesImage;
  bool imageOptional;
  std::vector<std::string> required;
  std::vector<std::string> optional;
  int (*run)(const Options&);
};

const std::vector<Verb>& Verbs() {
  static const std::vector<Verb> verbs = {
      {"pack", false, false, {"--stub", "--payload", "-o"}, {"--depfile"}, Pack},
      {"list", true, false, {}, {}, List},
      {"verify", true, false, {}, {"--payload"}, Verify},
      {"extract", true, false, {"-C"}, {}, Extract},
      {"check", false, false, {"--payload"}, {}, Check},
      {"sizes", true, true, {"-o"}, {"--payload"}, Sizes},
      {"names", false, false, {}, {}, Names},
      {"limits", false, false, {}, {}, Limits},
  };
  return verbs;
}

int UsageError(const std::string& problem) {
  (void)std::fprintf(stderr, "selfinst-pack: %s (see selfinst-pack --help)\n",
                     Shown(problem).c_str());
  return kUsageError;
}

bool IsOption(const std::string& arg) {
  return arg == "--stub" || arg == "--payload" || arg == "-o" || arg == "-C" || arg == "--depfile";
}

}  // namespace

namespace {

// Options and positional words; false with what is wrong (a usage problem has no subject).
// A help request counts only where an option's name can stand, never as an option's value,
// and after "--" every argument is a word.
bool ParseArguments(const std::vector<std::string>& args, Options* options,
                    std::vector<std::string>* words, bool* wantsHelp, Report* report) {
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool isWord = optionsEnded || arg.size() < 2 || arg[0] != '-';
    if (isWord) {
      words->push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--help" || arg == "-h") {
      *wantsHelp = true;
    } else if (IsOption(arg)) {
      if (i + 1 == args.size()) {
        return Refuse(report, "", arg + " needs a value");
      }
      if (args[i + 1].empty()) {
        return Refuse(report, "", arg + " needs a non-empty value");
      }
      if (!options->emplace(arg, args[++i]).second) {
        return Refuse(report, "", arg + " is given twice");
      }
    } else {
      return Refuse(report, "", "unknown option " + arg);
    }
  }
  return true;
}

// Whether `options` fit `verb`; false with what is wrong.
bool CheckVerbOptions(const Verb& verb, const Options& options, Report* report) {
  for (const auto& entry : options) {
    const std::string& option = entry.first;
    const auto listed = [&option](const std::vector<std::string>& names) {
      return std::find(names.begin(), names.end(), option) != names.end();
    };
    if (!listed(verb.required) && !listed(verb.optional)) {
      return Refuse(report, "", option + " does not apply to " + verb.name);
    }
  }
  for (const std::string& option : verb.required) {
    if (options.count(option) == 0) {
      return Refuse(report, "", std::string(verb.name) + " needs " + option);
    }
  }
  return true;
}

int Run(const std::vector<std::string>& args) {
  Options options;
  std::vector<std::string> words;
  bool wantsHelp = false;
  Report report;
  const bool parsed = ParseArguments(args, &options, &words, &wantsHelp, &report);
  if (wantsHelp) {
    (void)std::fputs(kUsage, stdout);
    return 0;
  }
  if (!parsed) {
    return UsageError(report.front().what);
  }
  if (words.empty()) {
    return UsageError("no command given");
  }
  const auto& verbs = Verbs();
  const auto verb = std::find_if(verbs.begin(), verbs.end(),
                                 [&words](const Verb& v) { return words[0] == v.name; });
  if (verb == verbs.end()) {
    return UsageError("unknown command " + words[0]);
  }
  const std::size_t wanted = verb->takesImage ? 2 : 1;
  const bool imageLeftOut = verb->imageOptional && words.size() == 1;
  if (words.size() != wanted && !imageLeftOut) {
    return UsageError(words[0] + (verb->takesImage ? " takes one image" : " takes no image") +
                      ", not " + std::to_string(words.size() - 1));
  }
  if (!CheckVerbOptions(*verb, options, &report)) {
    return UsageError(report.front().what);
  }
  if (verb->takesImage && !imageLeftOut) {
    if (words[1].empty()) {
      return UsageError(words[0] + " needs a non-empty image path");
    }
    options["IMAGE"] = words[1];
  }
  return verb->run(options);
}

}  // namespace

// Standard output that could not be written (a full disk, a closed pipe) is a failure.
int CheckStandardOutput(int result) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    Say("standard output", std::string("cannot write: ") + std::strerror(errno));
    return 1;
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
  return 1;
}
