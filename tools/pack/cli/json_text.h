// A JSON document as one line for scripts, with every string as safe on a terminal as the
// words are: C0 and C1 controls as \uXXXX, and a string that is not UTF-8 as the words show
// it (each such byte as \xXX), so that a path still names its file recognisably.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

std::string JsonLine(const nlohmann::ordered_json& document);
