#include "pe/authenticode.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>

namespace {

// A signature with its chain is a few kilobytes; anything near this is not one.
constexpr std::uint32_t kLargestSignature = 1u << 20;
constexpr const char* kSpcIndirectData = "1.3.6.1.4.1.311.2.1.4";

struct Pkcs7Free {
  void operator()(PKCS7* p) const { PKCS7_free(p); }
};
struct MdContextFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

// One DER element at `*p`, within `end`: its contents' start and length.
bool Element(const unsigned char** p, const unsigned char* end, int wantedTag, long* length) {
  int tag = 0;
  int cls = 0;
  const int flags = ASN1_get_object(p, length, &tag, &cls, end - *p);
  return (flags & 0x80) == 0 && flags != 0x21 && tag == wantedTag && cls == V_ASN1_UNIVERSAL;
}

}  // namespace

struct AuthenticodeCheck::State {
  Signature table = Signature::kNone;
  std::unique_ptr<PKCS7, Pkcs7Free> pkcs7;
  std::unique_ptr<EVP_MD_CTX, MdContextFree> hash;
  Bytes signedDigest;  // what the signature says the image hashes to
  Bytes content;       // the signed content, as PKCS7_verify reads it
  std::uint64_t checkSumAt = 0;
  std::uint64_t directoryAt = 0;
  std::uint64_t tableAt = 0;
  bool hashed = true;
  std::string problem;  // set when there is nothing to hash against
};

AuthenticodeCheck::AuthenticodeCheck(const ImageFile& file, const PeImage& image, Signature table)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.table = table;
  if (table != Signature::kSigned) {
    return;
  }
  s.problem = "the signature cannot be read";
  const DataDirectory directory = DataDirectoryOf(image, dataDirectory::kSecurity);
  std::uint32_t length = 0;
  if (!ReadField(file, directory.rva, certificate::kLength, &length) ||
      length > kLargestSignature) {
    return;
  }
  Bytes der(length - certificate::kHeaderSize);
  if (!ReadAt(file, std::uint64_t{directory.rva} + certificate::kHeaderSize, der.size(),
              der.data())) {
    return;
  }
  const unsigned char* p = der.data();
  s.pkcs7.reset(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
  PKCS7* pkcs7 = s.pkcs7.get();
  if (pkcs7 == nullptr || PKCS7_type_is_signed(pkcs7) == 0 || pkcs7->d.sign == nullptr ||
      pkcs7->d.sign->contents == nullptr || pkcs7->d.sign->contents->d.other == nullptr) {
    ERR_clear_error();
    return;
  }
  char oid[64] = {};
  (void)OBJ_obj2txt(oid, sizeof oid, pkcs7->d.sign->contents->type, 1);
  const ASN1_TYPE* other = pkcs7->d.sign->contents->d.other;
  if (std::string(oid) != kSpcIndirectData || other->type != V_ASN1_SEQUENCE) {
    s.problem = "the signature is not an Authenticode signature";
    return;
  }
  // SpcIndirectDataContent ::= SEQUENCE { data, messageDigest DigestInfo }; what is signed
  // is its contents, without the SEQUENCE's own tag and length.
  const ASN1_STRING* sequence = other->value.sequence;
  const unsigned char* at = sequence->data;
  const unsigned char* end = at + sequence->length;
  long size = 0;
  if (!Element(&at, end, V_ASN1_SEQUENCE, &size)) {
    return;
  }
  s.content.assign(at, at + size);
  end = at + size;
  if (!Element(&at, end, V_ASN1_SEQUENCE, &size)) {
    return;
  }
  at += size;  // the data: the image's page hashes, when any, which a loader checks
  if (!Element(&at, end, V_ASN1_SEQUENCE, &size) || !Element(&at, end, V_ASN1_SEQUENCE, &size)) {
    return;
  }
  const unsigned char* algorithmEnd = at + size;
  ASN1_OBJECT* algorithm = d2i_ASN1_OBJECT(nullptr, &at, algorithmEnd - at);
  const EVP_MD* md = algorithm != nullptr ? EVP_get_digestbyobj(algorithm) : nullptr;
  ASN1_OBJECT_free(algorithm);
  at = algorithmEnd;
  if (md == nullptr || !Element(&at, end, V_ASN1_OCTET_STRING, &size)) {
    ERR_clear_error();
    s.problem = "the signature names a digest this tool does not know";
    return;
  }
  s.signedDigest.assign(at, at + size);
  s.hash.reset(EVP_MD_CTX_new());
  if (!s.hash || EVP_DigestInit_ex(s.hash.get(), md, nullptr) != 1) {
    throw std::bad_alloc();
  }
  s.checkSumAt = OptionalFieldAt(image, optional::kCheckSum);
  s.directoryAt = DataDirectoryAt(image, dataDirectory::kSecurity);
  s.tableAt = directory.rva;
  s.problem.clear();
}

AuthenticodeCheck::~AuthenticodeCheck() = default;

void AuthenticodeCheck::AddSpans(std::vector<Span>* spans) {
  State& s = *state_;
  if (!s.hash) {
    return;
  }
  const auto add = [&s, spans](std::uint64_t from, std::uint64_t to) {
    spans->push_back({from, to - from, [&s](const std::uint8_t* data, std::size_t size) {
                        s.hashed = s.hashed && EVP_DigestUpdate(s.hash.get(), data, size) == 1;
                        return true;
                      }});
  };
  add(0, s.checkSumAt);
  add(s.checkSumAt + 4, s.directoryAt);
  add(s.directoryAt + dataDirectory::kRecordSize, s.tableAt);
}

namespace {

// Every certificate of a PEM file held in memory, as trusted; false when there is none.
bool AddCertificates(X509_STORE* store, const Bytes& pem) {
  BIO* in = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (in == nullptr) {
    throw std::bad_alloc();
  }
  STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(in, nullptr, nullptr, nullptr);
  BIO_free(in);
  int added = 0;
  bool failed = infos == nullptr;
  for (int i = 0; !failed && i < sk_X509_INFO_num(infos); ++i) {
    X509* certificate = sk_X509_INFO_value(infos, i)->x509;
    if (certificate != nullptr) {
      failed = X509_STORE_add_cert(store, certificate) != 1;
      ++added;
    }
  }
  sk_X509_INFO_pop_free(infos, X509_INFO_free);
  ERR_clear_error();
  return !failed && added > 0;
}

}  // namespace

SignatureVerdict AuthenticodeCheck::Finish(const std::string& caName, const Bytes* caPem) {
  State& s = *state_;
  SignatureVerdict verdict;
  verdict.table = s.table;
  verdict.problem = s.problem;
  if (!s.hash) {
    return verdict;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!s.hashed || EVP_DigestFinal_ex(s.hash.get(), digest, &length) != 1) {
    throw std::bad_alloc();
  }
  PKCS7* pkcs7 = s.pkcs7.get();
  STACK_OF(X509)* signers = PKCS7_get0_signers(pkcs7, nullptr, 0);
  if (signers != nullptr && sk_X509_num(signers) == 1) {
    char cn[256] = {};
    if (X509_NAME_get_text_by_NID(X509_get_subject_name(sk_X509_value(signers, 0)), NID_commonName,
                                  cn, sizeof cn) > 0) {
      verdict.signer = std::string("CN=") + cn;
    }
  }
  sk_X509_free(signers);
  ERR_clear_error();
  if (!std::equal(digest, digest + length, s.signedDigest.begin(), s.signedDigest.end())) {
    verdict.problem = "signature does not match the image";
    return verdict;
  }
  X509_STORE* store = X509_STORE_new();
  BIO* content = BIO_new_mem_buf(s.content.data(), static_cast<int>(s.content.size()));
  if (store == nullptr || content == nullptr) {
    throw std::bad_alloc();
  }
  int flags = PKCS7_BINARY;
  bool storeReady = true;
  if (caPem == nullptr) {
    flags |= PKCS7_NOVERIFY;
  } else {
    // A code-signing certificate is for code, not mail: any purpose the CA allows.
    storeReady =
        AddCertificates(store, *caPem) && X509_STORE_set_purpose(store, X509_PURPOSE_ANY) == 1;
  }
  if (!storeReady) {
    ERR_clear_error();
    verdict.problem = caName + " holds no PEM certificate to check the chain against";
  } else if (PKCS7_verify(pkcs7, nullptr, store, content, nullptr, flags) == 1) {
    verdict.valid = true;
    verdict.chainChecked = caPem != nullptr;
  } else {
    const unsigned long code = ERR_peek_last_error();
    const bool chain = ERR_GET_REASON(code) == PKCS7_R_CERTIFICATE_VERIFY_ERROR;
    ERR_clear_error();
    verdict.problem = chain ? "the signer's certificate does not chain to " + caName
                            : "signature does not match the image";
  }
  BIO_free(content);
  X509_STORE_free(store);
  return verdict;
}

std::string SignatureVerdict::Text() const {
  switch (table) {
    case Signature::kNone:
      return "unsigned";
    case Signature::kMalformed:
      return "malformed certificate table";
    case Signature::kSigned:
      break;
  }
  if (!valid) {
    return problem;
  }
  return "signature valid, signed by " + (signer.empty() ? "an unnamed signer" : signer) +
         (chainChecked ? "; chain checked" : "; chain not checked");
}

const char* SignatureVerdict::State() const {
  switch (table) {
    case Signature::kNone:
      return "none";
    case Signature::kMalformed:
      return "malformed";
    case Signature::kSigned:
      break;
  }
  return valid ? "valid" : "invalid";
}
