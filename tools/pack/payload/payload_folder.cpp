#include "payload/payload_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "io/system_io.h"
#include "payload/ceiling.h"
#include "payload/manifest.h"

namespace {

// What is wrong with one payload file, or "" when it is a regular, non-empty file.
std::string FileProblem(const std::string& path, std::uint64_t* size) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    const int reason = errno;
    struct stat link {};
    if (reason == ENOENT && ::lstat(path.c_str(), &link) == 0) {
      return "a symbolic link to nothing, not a regular file";
    }
    return reason == ENOENT ? "missing payload file" : SystemError("cannot read", reason);
  }
  if (S_ISDIR(status.st_mode)) {
    return "a folder, not a regular file";
  }
  if (!S_ISREG(status.st_mode)) {
    return "not a regular file";
  }
  *size = static_cast<std::uint64_t>(status.st_size);
  if (*size == 0) {
    return "empty payload file (an empty item would end the manifest)";
  }
  // Found with every other problem, not after a build.
  return ::access(path.c_str(), R_OK) == 0 ? "" : SystemError("cannot read");
}

std::string FolderProblem(const std::string& folder) {
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0) {
    return SystemError("cannot open the payload folder");
  }
  if (!S_ISDIR(status.st_mode)) {
    return "not a folder";
  }
  // A folder that cannot be listed or entered is said once, not once for each file.
  return ::access(folder.c_str(), R_OK | X_OK) == 0 ? ""
                                                    : SystemError("cannot open the payload folder");
}

[[nodiscard]] bool IsCarried(const std::string& name) {
  const auto& manifest = Manifest();
  return std::any_of(manifest.begin(), manifest.end(),
                     [&](const ManifestFile& file) { return name == file.fileName; });
}

// The names in the folder other than its subfolders (which nothing carries, and an output
// may be asked for in), or an empty set when it cannot be listed: its files' own problems
// are then reported one by one.
std::set<std::string> NamesIn(const std::string& folder) {
  std::set<std::string> names;
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) {
    return names;
  }
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    struct stat status {};
    const bool subfolder = ::fstatat(::dirfd(listing), entry->d_name, &status, 0) == 0 &&
                           S_ISDIR(status.st_mode) && !IsCarried(name);
    if (name != "." && name != ".." && !subfolder) {
      names.insert(name);
    }
  }
  ::closedir(listing);
  return names;
}

[[nodiscard]] bool SameButCase(const std::string& name, const char* wanted) {
  return name != wanted && ::strcasecmp(name.c_str(), wanted) == 0;
}

// A name in the folder that differs from `wanted` only in case, or "".
std::string OtherCase(const std::set<std::string>& names, const char* wanted) {
  const auto found = std::find_if(names.begin(), names.end(), [&](const std::string& name) {
    return SameButCase(name, wanted);
  });
  return found == names.end() ? "" : *found;
}

// Whether `name` is `wanted` with spaces after it, which a file manager hardly shows.
[[nodiscard]] bool SpacedName(const std::string& name, const char* wanted) {
  const std::size_t end = name.find_last_not_of(' ');
  return end != std::string::npos && end + 1 < name.size() && name.compare(0, end + 1, wanted) == 0;
}

// A name in the folder that is `wanted` with spaces after it, or "".
std::string SpacedVariant(const std::set<std::string>& names, const char* wanted) {
  const auto found = std::find_if(names.begin(), names.end(), [&](const std::string& name) {
    return SpacedName(name, wanted);
  });
  return found == names.end() ? "" : *found;
}

FileStamp StampOf(const struct stat& status) {
  const auto nanoseconds = [](const struct timespec& time) {
    return std::int64_t{time.tv_sec} * 1000000000 + time.tv_nsec;
  };
  return {static_cast<std::uint64_t>(status.st_size), nanoseconds(status.st_mtim),
          nanoseconds(status.st_ctim)};
}

// Each file the manifest names, with a hint where only its case or a trailing space differs;
// the good ones join `files`, and every size known is added to `total`.
void CheckManifestFiles(const std::string& folder, const std::set<std::string>& names,
                        std::vector<PayloadFile>* files, std::uint64_t* total, Report* report) {
  for (const ManifestFile& file : Manifest()) {
    PayloadFile checked{folder + "/" + file.fileName, 0};
    std::string problem = FileProblem(checked.path, &checked.size);
    const std::string otherCase = OtherCase(names, file.fileName);
    const std::string spaced = SpacedVariant(names, file.fileName);
    if (problem == "missing payload file" && !otherCase.empty()) {
      problem += " (" + otherCase + " is there: the names are case-sensitive)";
    } else if (problem == "missing payload file" && !spaced.empty()) {
      problem += " (\"" + spaced + "\" is there: its name ends in a space)";
    }
    if (!problem.empty()) {
      *total += checked.size;  // known for a file that cannot be read
      Refuse(report, checked.path, problem);
      continue;
    }
    // One file alone over the ceiling is named, not the folder.
    if (!CheckPayloadTotal(checked.size, checked.path, true, report)) {
      continue;
    }
    *total += checked.size;
    files->push_back(checked);
  }
}

// A file no row names is not carried; a case-only difference from a missing file was
// hinted at already, and one beside the file itself would be the same file on Windows.
void CheckOtherNames(const std::string& folder, const std::set<std::string>& names,
                     Report* report) {
  for (const std::string& name : names) {
    const auto& manifest = Manifest();
    const auto variant = std::find_if(manifest.begin(), manifest.end(), [&](const ManifestFile& f) {
      return SameButCase(name, f.fileName);
    });
    const auto spacedOf =
        std::find_if(manifest.begin(), manifest.end(),
                     [&](const ManifestFile& f) { return SpacedName(name, f.fileName); });
    const bool spacedHinted = spacedOf != manifest.end() && names.count(spacedOf->fileName) == 0 &&
                              OtherCase(names, spacedOf->fileName).empty();
    if (IsCarried(name) || spacedHinted ||
        (variant != manifest.end() && names.count(variant->fileName) == 0)) {
      continue;
    }
    std::string path = folder;
    path.append("/").append(name);
    Refuse(
        report, path,
        variant != manifest.end()
            ? std::string("differs only in case from ") + variant->fileName +
                  ", which is carried: on Windows they would be one file"
            : std::string("not a payload file: the launcher carries exactly these eleven files") +
                  (spacedOf != manifest.end() ? " (its name ends in a space)" : ""));
  }
}

}  // namespace

[[nodiscard]] bool CheckPayload(const std::string& folder, std::vector<PayloadFile>* files,
                                Report* report) {
  files->clear();
  const std::string folderProblem = FolderProblem(folder);
  if (!folderProblem.empty()) {
    return Refuse(report, folder, folderProblem);
  }
  // Every problem of the folder at once: one run shows the user all there is to mend.
  const std::set<std::string> names = NamesIn(folder);
  const StageProblems stage(report);
  std::uint64_t total = 0;
  CheckManifestFiles(folder, names, files, &total, report);
  CheckOtherNames(folder, names, report);
  // Too many bytes in the files found good already is a problem of its own, said beside
  // the others.
  if (total > kLargestPayload) {
    (void)CheckPayloadTotal(total, folder, false, report);
  }
  if (!stage.Passed()) {
    files->clear();
    return false;
  }
  return CheckPayloadTotal(total, folder, false, report);
}

[[nodiscard]] bool OpenPayloadFiles(const std::string& folder,
                                    const std::vector<PayloadFile>& files, OpenPayload* payload,
                                    Report* report) {
  int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  FileIdentity identity;
  const bool known = folderFd >= 0 && IdentityOf(folderFd, &identity);
  const std::string problem = known ? "" : SystemError("cannot open the payload folder");
  CloseIfOpen(&folderFd);
  if (!known) {
    return Refuse(report, folder, problem);
  }
  payload->inputs.folders.push_back(identity);
  for (const PayloadFile& file : files) {
    int fd = ::open(file.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0) {
      const std::string reason = SystemError("cannot read");
      CloseIfOpen(&fd);
      ClosePayloadFiles(payload);
      return Refuse(report, file.path, reason);
    }
    payload->fds.push_back(fd);
    payload->stamps.push_back(StampOf(status));
    payload->inputs.files.push_back(IdentityOfStatus(status));
    if (!S_ISREG(status.st_mode) || static_cast<std::uint64_t>(status.st_size) != file.size) {
      ClosePayloadFiles(payload);
      return Refuse(report, file.path, kChangedWhileRead);
    }
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  return true;
}

void ClosePayloadFiles(OpenPayload* payload) {
  for (const int fd : payload->fds) {
    (void)::close(fd);
  }
  payload->fds.clear();
  payload->stamps.clear();
}

[[nodiscard]] bool ReadPayload(const PayloadFile& file, int fd, std::uint64_t at, std::size_t size,
                               std::uint8_t* out, Report* report) {
  const ReadResult read = ReadFull(fd, at, size, out);
  return read == ReadResult::kRead || Refuse(report, file.path, ReadProblem(read));
}

[[nodiscard]] bool PayloadUnchanged(const PayloadFile& file, const OpenPayload& payload,
                                    std::size_t row, Report* report) {
  struct stat status {};
  if (::fstat(payload.fds[row], &status) != 0) {
    return Refuse(report, file.path, SystemError("cannot read"));
  }
  const FileStamp now = StampOf(status);
  const FileStamp& opened = payload.stamps[row];
  return (now.size == opened.size && now.modified == opened.modified &&
          now.changed == opened.changed) ||
         Refuse(report, file.path, kChangedWhileRead);
}
