// The rule a build reads to know what a packed launcher was made from.
#pragma once

#include <string>
#include <vector>

#include "io/report.h"
#include "payload/payload_folder.h"

// `OUT: payload files...` as make reads a rule, ending in a newline; false with a problem
// for each path a rule cannot spell, and for a depfile that would take the image's place.
[[nodiscard]] bool DepfileRule(const std::string& depfile, const std::string& output,
                               const std::vector<PayloadFile>& files, std::string* rule,
                               Report* report);
