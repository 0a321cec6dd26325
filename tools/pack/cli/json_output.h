// The documents --json prints, in one place, so that every field a script reads is seen
// together. Anything read from outside goes in as it is: JsonLine escapes controls, C1
// included, and shows a string that is not UTF-8 as the words do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "io/report.h"
#include "pe/authenticode.h"
#include "pe/loader_checks.h"

// A row of list's output.
struct ListedItem {
  std::string file;  // "" for a key no manifest row names
  std::string key;
  std::uint32_t size;
  std::string sha256;
};

void PrintListingJson(const std::string& imagePath, const char* format,
                      const SignatureVerdict& signature, const std::vector<ListedItem>& listed,
                      std::uint64_t bytes);

// What verify proved: `payload` is "" when the contents were not compared, `items` and
// `summary` count only when `verified`.
void PrintVerifyJson(const std::string& imagePath, const std::string& payload, bool verified,
                     std::size_t items, const std::string& summary,
                     const SignatureVerdict& signature, const Report& report);
