// Every verb of selfinst-pack, its operands and options: what the parser accepts, what the
// usage texts show and what the manual page says.
#pragma once

#include <vector>

#include "cli/command_line.h"

const std::vector<VerbSpec>& Verbs();
