// SHA-256 of bytes that pass in pieces, from OpenSSL's libcrypto.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class Sha256 {
 public:
  Sha256();
  void Add(const std::uint8_t* data, std::size_t size);
  // The digest in lower-case hex, as sha256sum prints it; ends the hash.
  std::string Hex();

 private:
  struct Free {
    void operator()(void* context) const;
  };
  std::unique_ptr<void, Free> context_;
};
