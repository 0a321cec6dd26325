// selfinst-pack: attaches the item store to a linked launcher; lists, checks and unpacks
// the store of a built one; checks a payload folder and writes its sizes header.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "attach_store.h"
#include "file_io.h"
#include "payload_folder.h"
#include "store_reader.h"

namespace {

constexpr const char* kUsage =
    "usage: selfinst-pack pack --stub LINKED.exe --payload DIR -o OUT.exe\n"
    "       selfinst-pack list IMAGE.exe\n"
    "       selfinst-pack verify IMAGE.exe [--payload DIR]\n"
    "       selfinst-pack extract IMAGE.exe -C DIR\n"
    "       selfinst-pack check --payload DIR\n"
    "       selfinst-pack sizes --payload DIR -o payload_sizes.h\n"
    "       selfinst-pack sizes IMAGE.exe -o payload_sizes.h\n"
    "       selfinst-pack names\n"
    "Options may come in any order; after -- every argument is an image path.\n";
constexpr int kUsageError = 2;
int UsageError(const std::string& problem);

using Options = std::map<std::string, std::string>;

// A path as given, but with control characters escaped: one problem, one line.
std::string Shown(const std::string& path) {
  std::string shown;
  for (const char c : path) {
    const auto unit = static_cast<unsigned char>(c);
    shown += unit < 0x20 || unit == 0x7F ? Printable(unit) : std::string(1, c);
  }
  return shown;
}

int Fail(const std::string& path, const std::string& problem) {
  (void)std::fprintf(stderr, "selfinst-pack: %s: %s\n", Shown(path).c_str(), problem.c_str());
  return 1;
}

int FailEach(const std::string& path, const std::vector<std::string>& problems) {
  for (const std::string& problem : problems) {
    (void)Fail(path, problem);
  }
  return 1;
}

// An image read whole, with its headers and its store parsed.
struct LoadedImage {
  Bytes bytes;
  PeImage image;
  StoreView store;
};

bool LoadImage(const std::string& path, LoadedImage* loaded, std::string* problem) {
  return ReadRegularFile(path, kLargestImage, &loaded->bytes, problem) &&
         ParsePeImage(loaded->bytes, &loaded->image, problem) &&
         ReadStore(loaded->bytes, loaded->image, &loaded->store, problem);
}

bool LoadPayload(const std::string& folder, std::vector<Bytes>* items, std::string* path,
                 std::string* problem) {
  std::vector<PayloadFile> files;
  return CheckPayload(folder, &files, path, problem) && ReadPayload(files, items, path, problem);
}

int Pack(const Options& options) {
  std::vector<Bytes> items;
  std::string path;
  std::string problem;
  if (!LoadPayload(options.at("--payload"), &items, &path, &problem)) {
    return Fail(path, problem);
  }
  const std::string& stubPath = options.at("--stub");
  Bytes stub;
  Bytes out;
  if (!ReadRegularFile(stubPath, kLargestImage, &stub, &problem) ||
      !AttachStore(stub, items, &out, &problem)) {
    return Fail(stubPath, problem);
  }
  if (!WriteOutputs({{options.at("-o"), &out}}, Existing::kReplace, &path, &problem)) {
    return Fail(path, problem);
  }
  return 0;
}

int List(const Options& options) {
  const std::string& imagePath = options.at("IMAGE");
  LoadedImage loaded;
  std::string problem;
  if (!LoadImage(imagePath, &loaded, &problem)) {
    return Fail(imagePath, problem);
  }
  const Signature signature = ReadSignature(loaded.bytes, loaded.image, &problem);
  const char* signatureText = signature == Signature::kSigned ? "signed"
                              : signature == Signature::kNone ? "unsigned"
                                                              : "malformed certificate table";
  std::printf("%s: %s, %zu items, %s\n", imagePath.c_str(), loaded.image.is64 ? "PE32+" : "PE32",
              loaded.store.items.size(), signatureText);
  std::printf("%-14s %-10s %8s %10s %10s\n", "key", "name", "language", "size", "offset");
  for (const StoredItem& item : loaded.store.items) {
    std::printf("%-14s %-10s %8u %10u 0x%08zx\n", item.key.c_str(), item.name.c_str(),
                item.language, item.size, item.fileOffset);
  }
  return 0;
}

int Verify(const Options& options) {
  const std::string& imagePath = options.at("IMAGE");
  LoadedImage loaded;
  std::string problem;
  if (!LoadImage(imagePath, &loaded, &problem)) {
    return Fail(imagePath, problem);
  }
  std::vector<Bytes> payload;
  std::string path;
  const bool withPayload = options.count("--payload") != 0;
  if (withPayload && !LoadPayload(options.at("--payload"), &payload, &path, &problem)) {
    return Fail(path, problem);
  }
  const std::vector<std::string> problems =
      VerifyImage(loaded.bytes, loaded.image, loaded.store, withPayload ? &payload : nullptr);
  if (!problems.empty()) {
    return FailEach(imagePath, problems);
  }
  std::printf("%s: store verified, %zu items\n", imagePath.c_str(), loaded.store.items.size());
  return 0;
}

int Extract(const Options& options) {
  const std::string& imagePath = options.at("IMAGE");
  LoadedImage loaded;
  std::string problem;
  if (!LoadImage(imagePath, &loaded, &problem)) {
    return Fail(imagePath, problem);
  }
  // Nothing is written from an image that does not verify; names come from the
  // manifest, never from the image.
  const std::vector<std::string> problems =
      VerifyImage(loaded.bytes, loaded.image, loaded.store, nullptr);
  if (!problems.empty()) {
    return FailEach(imagePath, problems);
  }
  const std::string& folder = options.at("-C");
  std::string created;
  if (!MakeFolder(folder, &created, &problem)) {
    return Fail(folder, problem);
  }
  std::vector<Bytes> files(Manifest().size());
  std::vector<Output> outputs;
  for (const StoredItem& item : loaded.store.items) {
    const auto row = static_cast<std::size_t>(RowOfKey(item.key));
    const auto* first = loaded.bytes.data() + item.fileOffset;
    files[row].assign(first, first + item.size);
  }
  for (std::size_t row = 0; row < files.size(); ++row) {
    outputs.push_back({folder + "/" + Manifest()[row].fileName, &files[row]});
  }
  std::string path;
  // The folder may hold the user's files, even the image itself: none is ever replaced.
  if (!WriteOutputs(outputs, Existing::kKeep, &path, &problem)) {
    RemoveEmptyFolders(folder, created);
    return Fail(path, problem);
  }
  return 0;
}

int Check(const Options& options) {
  std::vector<PayloadFile> files;
  std::string path;
  std::string problem;
  if (!CheckPayload(options.at("--payload"), &files, &path, &problem)) {
    return Fail(path, problem);
  }
  return 0;
}

int Sizes(const Options& options) {
  std::vector<PayloadFile> files;
  std::string path;
  std::string problem;
  if (options.count("IMAGE") != 0 && options.count("--payload") != 0) {
    return UsageError("sizes takes --payload or an image, not both");
  }
  if (options.count("IMAGE") != 0) {
    // The sizes of the items a built launcher carries, in manifest order.
    LoadedImage loaded;
    const std::string& imagePath = options.at("IMAGE");
    if (!LoadImage(imagePath, &loaded, &problem)) {
      return Fail(imagePath, problem);
    }
    const std::vector<std::string> problems =
        VerifyImage(loaded.bytes, loaded.image, loaded.store, nullptr);
    if (!problems.empty()) {
      return FailEach(imagePath, problems);
    }
    files.resize(Manifest().size());
    for (const StoredItem& item : loaded.store.items) {
      files[static_cast<std::size_t>(RowOfKey(item.key))].size = item.size;
    }
  } else if (options.count("--payload") == 0) {
    return UsageError("sizes needs --payload or an image");
  } else if (!CheckPayload(options.at("--payload"), &files, &path, &problem)) {
    return Fail(path, problem);
  }
  const std::string text = SizesHeader(files);
  const Bytes header(text.begin(), text.end());
  Bytes old;
  // Left as it is when unchanged, so that an unchanged payload rebuilds nothing.
  if (ReadRegularFile(options.at("-o"), header.size(), &old, &problem) && old == header) {
    return 0;
  }
  return WriteOutputs({{options.at("-o"), &header}}, Existing::kReplace, &path, &problem)
             ? 0
             : Fail(path, problem);
}

int Names(const Options&) {
  for (const ManifestFile& file : Manifest()) {
    std::printf("%s\n", file.fileName);
  }
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
      {"pack", false, false, {"--stub", "--payload", "-o"}, {}, Pack},
      {"list", true, false, {}, {}, List},
      {"verify", true, false, {}, {"--payload"}, Verify},
      {"extract", true, false, {"-C"}, {}, Extract},
      {"check", false, false, {"--payload"}, {}, Check},
      {"sizes", true, true, {"-o"}, {"--payload"}, Sizes},
      {"names", false, false, {}, {}, Names},
  };
  return verbs;
}

int UsageError(const std::string& problem) {
  (void)std::fprintf(stderr, "selfinst-pack: %s (see selfinst-pack --help)\n", problem.c_str());
  return kUsageError;
}

bool IsOption(const std::string& arg) {
  return arg == "--stub" || arg == "--payload" || arg == "-o" || arg == "-C";
}

}  // namespace

namespace {

// Options and positional words; "" when they are well formed, else what is wrong. A help
// request counts only where an option's name can stand, never as an option's value, and
// after "--" every argument is a word.
std::string ParseArguments(const std::vector<std::string>& args, Options* options,
                           std::vector<std::string>* words, bool* wantsHelp) {
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
        return arg + " needs a value";
      }
      if (args[i + 1].empty()) {
        return arg + " needs a non-empty value";
      }
      if (!options->emplace(arg, args[++i]).second) {
        return arg + " is given twice";
      }
    } else {
      return "unknown option " + arg;
    }
  }
  return "";
}

// The problem with `options` for `verb`, or "".
std::string CheckVerbOptions(const Verb& verb, const Options& options) {
  for (const auto& entry : options) {
    const std::string& option = entry.first;
    const auto listed = [&option](const std::vector<std::string>& names) {
      return std::find(names.begin(), names.end(), option) != names.end();
    };
    if (!listed(verb.required) && !listed(verb.optional)) {
      return option + " does not apply to " + verb.name;
    }
  }
  for (const std::string& option : verb.required) {
    if (options.count(option) == 0) {
      return std::string(verb.name) + " needs " + option;
    }
  }
  return "";
}

int Run(const std::vector<std::string>& args) {
  Options options;
  std::vector<std::string> words;
  bool wantsHelp = false;
  const std::string problem = ParseArguments(args, &options, &words, &wantsHelp);
  if (wantsHelp) {
    (void)std::fputs(kUsage, stdout);
    return 0;
  }
  if (!problem.empty()) {
    return UsageError(problem);
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
  const std::string optionProblem = CheckVerbOptions(*verb, options);
  if (!optionProblem.empty()) {
    return UsageError(optionProblem);
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

int main(int argc, char** argv) { return Run(std::vector<std::string>(argv + 1, argv + argc)); }
