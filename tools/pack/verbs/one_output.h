// The one output of a command that writes a single file (pack -o).
#pragma once

#include <string>

#include "io/output_folder.h"
#include "io/report.h"

// Opens the output at `path`, to replace what is there; refused when `path` names a folder.
[[nodiscard]] bool BeginOneOutput(const std::string& path, const Inputs& inputs, OutputSet* output,
                                  Report* report);
