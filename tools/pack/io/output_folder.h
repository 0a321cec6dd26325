// The outputs of a command, written through an opened folder so that nothing done to its
// path meanwhile can redirect them: one file replaced (pack -o, sizes -o), or new files
// placed all or none in a folder made as needed (extract -C). Several files cannot be
// replaced all or none, as a replaced file is gone once its name is taken.
//
// It stands on three parts: the folder walk (folder_walk.h), how outputs come to their
// names (output_naming.h), and the clean-up registry (cleanup_registry.h). Outputs are named
// only once every one is complete and on disk. What the set made goes when it ends unplaced,
// on failure, and on any signal that ends the process; nothing else is removed, and a name
// only while it still is what this run made. One set at a time per process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "io/output_naming.h"
#include "io/report.h"
#include "io/system_io.h"

class OutputSet {
 public:
  OutputSet() = default;
  ~OutputSet();  // Discard()
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;

  // Output 0, to replace the regular file `name` (a bare file name) in `folder`, whose last
  // step is never a symbolic link. Refused when something else has the name, when the file
  // is one of `inputs`, when the folder is or lies inside an input folder, or is append-only.
  [[nodiscard]] bool BeginReplacing(const std::string& folder, const std::string& name,
                                    const Inputs& inputs, Report* report);
  // New files in `folder`, made with its missing parents (at most 64), which go again unless
  // the set is placed; the same refusals for the folder.
  [[nodiscard]] bool BeginNewFiles(const std::string& folder, const Inputs& inputs, Report* report);
  // Output `*output`, named `name` (a bare file name) when placed; refused when anything at
  // all has the name. At most 64 make a set.
  [[nodiscard]] bool AddNewFile(const std::string& name, std::size_t* output, Report* report);
  // Once an AddNewFile failed: says, as it would, whether anything has `name` too, and
  // makes nothing, so that one run names every file in the way.
  void SayIfTaken(const std::string& name, Report* report);

  // Appends to an output, or writes at an offset already written (a checksum field).
  [[nodiscard]] bool Write(std::size_t output, const void* data, std::size_t size, Report* report);
  [[nodiscard]] bool WriteAt(std::size_t output, std::uint64_t offset, const void* data,
                             std::size_t size, Report* report);
  // The output's open file (readable and writable), to read back what was written.
  int Descriptor(std::size_t output) const;
  // The path of an output as messages show it: the folder as given, "/", the name.
  std::string Path(std::size_t output) const;

  // Flushes the outputs, names them, closes them and flushes the folders: the set is placed
  // whole or left as if never begun. A failing flush or close, a name taken meanwhile, or an
  // ending signal (held until the set is out, then ending the process) takes back every name
  // given, putting a replaced file back where it could keep a second name (not another
  // user's file). A replaced file's mode is kept only when it was the user's own, less the
  // group and other write bits the umask takes; else 0666 less the umask. Ends the set.
  [[nodiscard]] bool Place(Report* report);
  // Removes what the set made and ends it.
  void Discard();

 private:
  [[nodiscard]] bool Begin(const std::string& folder, bool create, const Inputs& inputs,
                           Report* report);
  [[nodiscard]] bool Add(const std::string& name, bool replace, std::size_t* output,
                         Report* report);
  [[nodiscard]] bool Name(Report* report);
  [[nodiscard]] bool CloseAndFlush(Report* report);
  void End();

  enum class Kind { kNone, kReplacing, kNewFiles };
  Kind kind_ = Kind::kNone;
  std::string shown_;  // the folder as given
  int folder_ = -1;
  bool appendOnly_ = false;
  Inputs inputs_;
  std::vector<int> madeIn_;  // the folders each made folder is in
  std::vector<OutputFile> outputs_;
  HiddenFile replaced_;  // the file an output replaces, while it may still be put back
};
