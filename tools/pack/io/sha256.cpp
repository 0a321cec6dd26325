#include "io/sha256.h"

#include <openssl/evp.h>

#include <new>

namespace {
EVP_MD_CTX* Context(void* context) { return static_cast<EVP_MD_CTX*>(context); }
}  // namespace

void Sha256::Free::operator()(void* context) const { EVP_MD_CTX_free(Context(context)); }

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  if (context_ == nullptr ||
      EVP_DigestInit_ex(Context(context_.get()), EVP_sha256(), nullptr) != 1) {
    throw std::bad_alloc();
  }
}

void Sha256::Add(const std::uint8_t* data, std::size_t size) {
  if (EVP_DigestUpdate(Context(context_.get()), data, size) != 1) {
    throw std::bad_alloc();
  }
}

std::string Sha256::Hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(Context(context_.get()), digest, &length) != 1) {
    throw std::bad_alloc();
  }
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 15];
  }
  return hex;
}
