// How the launcher's store names its items, shared by the launcher that looks them up and
// the packer that writes them: each carried file is one raw item whose type is the file's
// key, whose name is kItemName, in language kItemLanguage.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr char kItemName[] = "SelfInst";
constexpr std::uint32_t kItemLanguage = 1033;

// Resource names compare without regard to case: the lookup upper-cases the name it is
// asked for and compares it with the stored string, so the store must hold the name in
// upper case (as resource compilers write it) for kItemName to find it.
struct StoredItemName {
  char text[sizeof kItemName];
};
constexpr StoredItemName UpperCaseItemName() {
  StoredItemName upper{};
  for (std::size_t i = 0; i < sizeof kItemName; ++i) {
    const char c = kItemName[i];
    upper.text[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return upper;
}
constexpr StoredItemName kStoredItemName = UpperCaseItemName();
