// FNV-1a, 32 bits: the checksum of the demo payload's list, shared by the generator and
// the stand-in installer that checks it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline std::uint32_t Fnv1a(const char* bytes, std::size_t size) {
  std::uint32_t hash = 2166136261u;
  for (std::size_t i = 0; i < size; ++i) {
    hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 16777619u;
  }
  return hash;
}

inline std::uint32_t Fnv1a(const std::string& bytes) { return Fnv1a(bytes.data(), bytes.size()); }
