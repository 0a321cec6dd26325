// selfinst-pack's manual page, in roff, made from the verb table that the parser and the
// usage texts read: a verb or option in the table is in the page.
#pragma once

#include <string>
#include <vector>

#include "cli/command_line.h"

std::string ManPage(const std::vector<VerbSpec>& verbs, const std::string& version);
