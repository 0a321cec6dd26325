#include "pe/authenticode.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <ctime>

namespace {

// A signature with its chain is a few kilobytes; anything near this is not one.
constexpr std::uint32_t kLargestSignature = 1u << 20;
// RFC 5280 allows 20 octets; a little more is still a serial, kilobytes are not.
constexpr int kLargestSerial = 64;
// Each certificate that carries the signer's issuer and serial is tried: a few at most.
constexpr int kMostSignerCandidates = 4;
// A common name longer than X.520's bound is shown cut, and says so.
constexpr std::size_t kLongestShownName = 64;
constexpr const char* kSpcIndirectData = "1.3.6.1.4.1.311.2.1.4";
constexpr const char* kSpcPeImageData = "1.3.6.1.4.1.311.2.1.15";
// The unsigned attribute that holds an RFC 3161 timestamp token.
constexpr const char* kRfc3161Timestamp = "1.3.6.1.4.1.311.3.3.1";

struct Pkcs7Free {
  void operator()(PKCS7* p) const { PKCS7_free(p); }
};
struct MdContextFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct StoreFree {
  void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct StoreContextFree {
  void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct CertificatesFree {
  void operator()(STACK_OF(X509) * s) const { sk_X509_free(s); }
};
struct TstInfoFree {
  void operator()(TS_TST_INFO* t) const { TS_TST_INFO_free(t); }
};
struct VerifyContextFree {
  void operator()(TS_VERIFY_CTX* c) const { TS_VERIFY_CTX_free(c); }
};

std::string OidText(const ASN1_OBJECT* object, bool numeric) {
  char text[80] = {};
  (void)OBJ_obj2txt(text, sizeof text, object, numeric ? 1 : 0);
  return text;
}

// The digests Authenticode defines, by the names people know them by; MD5 is broken and
// SHA-1 weak, the rest sound.
const char* AuthenticodeDigest(int nid) {
  switch (nid) {
    case NID_md5:
      return "MD5";
    case NID_sha1:
      return "SHA-1";
    case NID_sha256:
      return "SHA-256";
    case NID_sha384:
      return "SHA-384";
    case NID_sha512:
      return "SHA-512";
    default:
      return nullptr;
  }
}

// Why a digest algorithm cannot be one a release trusts, or "" when it can.
std::string DigestProblem(const ASN1_OBJECT* algorithm, const char* what) {
  const int nid = OBJ_obj2nid(algorithm);
  if (AuthenticodeDigest(nid) == nullptr) {
    return std::string(what) + " is " +
           (nid == NID_undef ? OidText(algorithm, true) : std::string(OBJ_nid2sn(nid))) +
           ", which Authenticode does not define";
  }
  if (nid == NID_md5) {
    return std::string(what) + " is MD5, which is broken";
  }
  return "";
}

// One DER element at `*p`, within `end`: its contents' start and length. A length that
// runs past `end` is told apart from an element of another kind.
bool Element(const unsigned char** p, const unsigned char* end, int wantedTag, long* length,
             std::string* problem) {
  int tag = 0;
  int cls = 0;
  const int flags = ASN1_get_object(p, length, &tag, &cls, end - *p);
  ERR_clear_error();
  if ((flags & 0x80) != 0) {
    *problem = "the signed content has a length that runs past its end";
    return false;
  }
  if (flags == 0x21 || tag != wantedTag || cls != V_ASN1_UNIVERSAL) {
    *problem = "the signed content is not an SpcIndirectDataContent";
    return false;
  }
  return true;
}

// Each common name of a certificate as OpenSSL decodes it from its own string type, as
// "CN=..., CN=...", each longer one cut and marked so.
std::string CommonNames(X509* certificate) {
  const X509_NAME* name = X509_get_subject_name(certificate);
  std::string names;
  for (int i = X509_NAME_get_index_by_NID(name, NID_commonName, -1); i >= 0;
       i = X509_NAME_get_index_by_NID(name, NID_commonName, i)) {
    unsigned char* utf8 = nullptr;
    const int length =
        ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)));
    std::string text =
        length < 0 ? std::string("(a name that cannot be decoded)")
                   : std::string(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    if (text.size() > kLongestShownName) {
      std::size_t cut = kLongestShownName;
      while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;  // not inside a UTF-8 sequence
      }
      const std::string mark = "... (cut from " + std::to_string(text.size()) + " bytes)";
      text.resize(cut);
      text += mark;
    }
    names += (names.empty() ? "CN=" : ", CN=") + text;
  }
  ERR_clear_error();
  return names;
}

bool SerialTooLong(const ASN1_INTEGER* serial) {
  return serial != nullptr && ASN1_STRING_length(serial) > kLargestSerial;
}

}  // namespace

struct AuthenticodeCheck::State {
  Signature table = Signature::kNone;
  std::unique_ptr<PKCS7, Pkcs7Free> pkcs7;
  std::unique_ptr<EVP_MD_CTX, MdContextFree> hash;
  Bytes signedDigest;  // what the signature says the image hashes to
  Bytes content;       // the signed content, as PKCS7_verify reads it
  std::string digest;  // its name, as people know it
  std::uint64_t checkSumAt = 0;
  std::uint64_t directoryAt = 0;
  std::uint64_t tableAt = 0;
  bool hashed = true;
  std::string problem;  // set when there is nothing to hash against
};

namespace {

using State = AuthenticodeCheck::State;

// The entry's PKCS#7, DER and nothing after it but zero padding to eight bytes.
bool ReadPkcs7(const ImageFile& file, const DataDirectory& directory, State* s) {
  std::uint32_t length = 0;
  if (!ReadField(file, directory.rva, certificate::kLength, &length)) {
    return false;
  }
  if (length > kLargestSignature) {
    s->problem = "the certificate entry's dwLength, " + std::to_string(length) +
                 " bytes, is larger than any signature";
    return false;
  }
  Bytes der(length - certificate::kHeaderSize);
  if (der.empty()) {
    s->problem = "the certificate entry holds no signature";
    return false;
  }
  if (!ReadAt(file, std::uint64_t{directory.rva} + certificate::kHeaderSize, der.size(),
              der.data())) {
    return false;
  }
  const unsigned char* p = der.data();
  s->pkcs7.reset(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
  ERR_clear_error();
  if (!s->pkcs7) {
    return false;
  }
  const auto read = static_cast<std::size_t>(p - der.data());
  if (der.size() - read >= 8 || !std::all_of(der.begin() + static_cast<long>(read), der.end(),
                                             [](std::uint8_t b) { return b == 0; })) {
    s->problem = "the certificate entry holds " + std::to_string(der.size() - read) +
                 " bytes after its signature";
    return false;
  }
  // DER has one encoding: BER's other ones (indefinite lengths among them) re-encode apart.
  unsigned char* again = nullptr;
  const int againLength = i2d_PKCS7(s->pkcs7.get(), &again);
  const bool same =
      againLength == static_cast<int>(read) && std::equal(again, again + againLength, der.begin());
  OPENSSL_free(again);
  if (!same) {
    s->problem = "the signature is not in DER, the one encoding Authenticode allows";
    return false;
  }
  return true;
}

// One signer, with the signed attributes Authenticode requires, over SpcIndirectDataContent.
bool CheckSignedData(State* s) {
  PKCS7* pkcs7 = s->pkcs7.get();
  if (PKCS7_type_is_signed(pkcs7) == 0 || pkcs7->d.sign == nullptr ||
      pkcs7->d.sign->contents == nullptr) {
    s->problem = "the signature is not a PKCS#7 SignedData";
    return false;
  }
  if (OidText(pkcs7->d.sign->contents->type, true) != kSpcIndirectData) {
    s->problem = "the signed content is " + OidText(pkcs7->d.sign->contents->type, false) +
                 ", not SpcIndirectDataContent";
    return false;
  }
  if (pkcs7->d.sign->contents->d.other == nullptr ||
      pkcs7->d.sign->contents->d.other->type != V_ASN1_SEQUENCE) {
    s->problem = "the signed content is not a SEQUENCE, as SpcIndirectDataContent is";
    return false;
  }
  STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(pkcs7);
  const int signers = infos == nullptr ? 0 : sk_PKCS7_SIGNER_INFO_num(infos);
  if (signers != 1) {
    s->problem = signers == 0 ? "the signature has no signer"
                              : "the signature has " + std::to_string(signers) +
                                    " signers, where Authenticode allows one";
    return false;
  }
  PKCS7_SIGNER_INFO* info = sk_PKCS7_SIGNER_INFO_value(infos, 0);
  const ASN1_TYPE* contentType = PKCS7_get_signed_attribute(info, NID_pkcs9_contentType);
  if (sk_X509_ATTRIBUTE_num(PKCS7_get_signed_attributes(info)) <= 0) {
    s->problem = "the signature has no signed attributes";
  } else if (contentType == nullptr || contentType->type != V_ASN1_OBJECT) {
    s->problem = "the signed attributes give no content type";
  } else if (OidText(contentType->value.object, true) != kSpcIndirectData) {
    s->problem = "the signed attributes give the content type " +
                 OidText(contentType->value.object, false) + ", not SpcIndirectDataContent";
  } else if (SerialTooLong(info->issuer_and_serial->serial)) {
    s->problem = "the signer's serial number is " +
                 std::to_string(ASN1_STRING_length(info->issuer_and_serial->serial)) +
                 " bytes, longer than any certificate's";
  } else {
    s->problem = DigestProblem(info->digest_alg->algorithm, "the signer's digest");
  }
  return s->problem.empty();
}

// SpcIndirectDataContent ::= SEQUENCE { data SpcAttributeTypeAndOptionalValue, messageDigest
// DigestInfo }; what is signed is its contents, without the SEQUENCE's own tag and length.
bool ReadIndirectData(State* s) {
  const ASN1_STRING* sequence = s->pkcs7->d.sign->contents->d.other->value.sequence;
  const unsigned char* at = sequence->data;
  const unsigned char* end = at + sequence->length;
  long size = 0;
  if (!Element(&at, end, V_ASN1_SEQUENCE, &size, &s->problem)) {
    return false;
  }
  s->content.assign(at, at + size);
  end = at + size;
  if (!Element(&at, end, V_ASN1_SEQUENCE, &size, &s->problem)) {
    return false;
  }
  // The data: its type, and the image's page hashes, when any, which a loader checks.
  const unsigned char* dataEnd = at + size;
  ASN1_OBJECT* dataType = d2i_ASN1_OBJECT(nullptr, &at, dataEnd - at);
  const std::string dataOid = dataType != nullptr ? OidText(dataType, true) : "";
  ASN1_OBJECT_free(dataType);
  ERR_clear_error();
  if (dataOid != kSpcPeImageData) {
    s->problem = "the signed data is of type " + (dataOid.empty() ? "(none)" : dataOid) +
                 ", not SpcPeImageData";
    return false;
  }
  at = dataEnd;
  if (!Element(&at, end, V_ASN1_SEQUENCE, &size, &s->problem) ||
      !Element(&at, end, V_ASN1_SEQUENCE, &size, &s->problem)) {
    return false;
  }
  const unsigned char* algorithmEnd = at + size;
  ASN1_OBJECT* algorithm = d2i_ASN1_OBJECT(nullptr, &at, algorithmEnd - at);
  const int nid = algorithm != nullptr ? OBJ_obj2nid(algorithm) : NID_undef;
  s->problem = algorithm != nullptr ? DigestProblem(algorithm, "the signed digest")
                                    : "the signed digest names no algorithm";
  ASN1_OBJECT_free(algorithm);
  ERR_clear_error();
  at = algorithmEnd;
  if (!s->problem.empty() || !Element(&at, end, V_ASN1_OCTET_STRING, &size, &s->problem)) {
    return false;
  }
  s->signedDigest.assign(at, at + size);
  s->digest = AuthenticodeDigest(nid);
  s->hash.reset(EVP_MD_CTX_new());
  if (!s->hash || EVP_DigestInit_ex(s->hash.get(), EVP_get_digestbynid(nid), nullptr) != 1) {
    throw std::bad_alloc();
  }
  return true;
}

}  // namespace

AuthenticodeCheck::AuthenticodeCheck(const ImageFile& file, const PeImage& image, Signature table)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.table = table;
  if (table != Signature::kSigned) {
    return;
  }
  const DataDirectory directory = DataDirectoryOf(image, dataDirectory::kSecurity);
  if (!ReadPkcs7(file, directory, &s) || !CheckSignedData(&s) || !ReadIndirectData(&s)) {
    if (s.problem.empty()) {
      s.problem = "the signature cannot be read";
    }
    s.hash.reset();
    return;
  }
  s.checkSumAt = OptionalFieldAt(image, optional::kCheckSum);
  s.directoryAt = DataDirectoryAt(image, dataDirectory::kSecurity);
  s.tableAt = directory.rva;
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

// Every certificate of a PEM file held in memory, as trusted, trust settings included; ""
// when each block is one, else what is wrong with the file.
std::string AddCertificates(X509_STORE* store, const Bytes& pem, const std::string& caName) {
  std::unique_ptr<BIO, BioFree> in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!in) {
    throw std::bad_alloc();
  }
  int added = 0;
  for (;;) {
    X509* certificate = PEM_read_bio_X509_AUX(in.get(), nullptr, nullptr, nullptr);
    if (certificate == nullptr) {
      const unsigned long code = ERR_peek_last_error();
      ERR_clear_error();
      if (ERR_GET_LIB(code) == ERR_LIB_PEM && ERR_GET_REASON(code) == PEM_R_NO_START_LINE) {
        break;  // no block left
      }
      return caName + ": its certificate " + std::to_string(added + 1) +
             " is not a PEM certificate that can be read";
    }
    const bool stored = X509_STORE_add_cert(store, certificate) == 1;
    X509_free(certificate);
    ERR_clear_error();
    if (!stored) {
      return caName + ": its certificate " + std::to_string(added + 1) + " cannot be used";
    }
    ++added;
  }
  return added > 0 ? "" : caName + " holds no PEM certificate to check the chain against";
}

// A store that trusts every certificate of a CA file; empty, with the problem, when the file
// cannot serve as one.
std::unique_ptr<X509_STORE, StoreFree> TrustStore(const Bytes& pem, const std::string& name,
                                                  std::string* problem) {
  std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
  if (!store) {
    throw std::bad_alloc();
  }
  *problem = AddCertificates(store.get(), pem, name);
  if (!problem->empty()) {
    store.reset();
  }
  return store;
}

// Whether `certificate`'s own signature verifies under a certificate of `set` named as its
// issuer.
bool VouchedInSet(X509* certificate, STACK_OF(X509) * set) {
  for (int i = 0; i < sk_X509_num(set); ++i) {
    X509* issuer = sk_X509_value(set, i);
    if (X509_NAME_cmp(X509_get_subject_name(issuer), X509_get_issuer_name(certificate)) == 0 &&
        X509_verify(certificate, X509_get0_pubkey(issuer)) == 1) {
      ERR_clear_error();
      return true;
    }
  }
  ERR_clear_error();
  return false;
}

// Whether the signer info's signature verifies with `certificate`'s key alone.
bool SignsWith(PKCS7* pkcs7, X509* certificate, const Bytes& content) {
  std::unique_ptr<BIO, BioFree> in(
      BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  std::unique_ptr<STACK_OF(X509), CertificatesFree> only(sk_X509_new_null());
  if (!in || !only || sk_X509_push(only.get(), certificate) <= 0) {
    throw std::bad_alloc();
  }
  const int flags = PKCS7_BINARY | PKCS7_NOINTERN | PKCS7_NOVERIFY;
  const bool verified = PKCS7_verify(pkcs7, only.get(), nullptr, in.get(), nullptr, flags) == 1;
  ERR_clear_error();
  return verified;
}

// The signer's certificate: of those the signer info names by issuer and serial, the one
// whose key verifies the signature, preferring one whose own signature verifies under its
// issuer in the set; nullptr, with the problem, when there is none or no single one.
X509* FindSigner(PKCS7* pkcs7, const Bytes& content, std::string* problem) {
  STACK_OF(X509)* set = pkcs7->d.sign->cert;
  const PKCS7_ISSUER_AND_SERIAL* wanted =
      sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(pkcs7), 0)->issuer_and_serial;
  std::vector<X509*> signing;
  std::vector<X509*> vouched;
  int candidates = 0;
  for (int i = 0; i < sk_X509_num(set); ++i) {
    X509* certificate = sk_X509_value(set, i);
    if (SerialTooLong(X509_get0_serialNumber(certificate))) {
      *problem = "certificate " + std::to_string(i + 1) +
                 " of the signature has a serial number longer than any certificate's";
      return nullptr;
    }
    if (X509_NAME_cmp(X509_get_issuer_name(certificate), wanted->issuer) != 0 ||
        ASN1_INTEGER_cmp(X509_get0_serialNumber(certificate), wanted->serial) != 0) {
      continue;
    }
    if (++candidates > kMostSignerCandidates) {
      *problem = "the signature holds more than " + std::to_string(kMostSignerCandidates) +
                 " certificates named as its signer";
      return nullptr;
    }
    if (SignsWith(pkcs7, certificate, content)) {
      signing.push_back(certificate);
      if (VouchedInSet(certificate, set)) {
        vouched.push_back(certificate);
      }
    }
  }
  if (vouched.size() == 1 || (vouched.empty() && signing.size() == 1)) {
    return vouched.empty() ? signing[0] : vouched[0];
  }
  *problem = candidates == 0   ? "the signer's certificate is not in the signature"
             : signing.empty() ? "signature does not match the image"
                               : "the signature holds " + std::to_string(signing.size()) +
                                     " certificates that could be its signer, and no one of "
                                     "them alone is vouched for by its issuer";
  return nullptr;
}

// What a release asks of the chain beyond its signatures: a signer for code signing that is
// no CA, no certificate that refuses code signing, and no MD5 anywhere.
std::string ChainProblem(X509* signer, STACK_OF(X509) * chain) {
  if ((X509_get_extension_flags(signer) & EXFLAG_XKUSAGE) == 0 ||
      (X509_get_extended_key_usage(signer) & XKU_CODE_SIGN) == 0) {
    return "the signer's certificate is not for code signing";
  }
  if (X509_check_ca(signer) != 0) {
    return "the signer's certificate is a CA's";
  }
  for (int i = 0; i < sk_X509_num(chain); ++i) {
    X509* certificate = sk_X509_value(chain, i);
    const std::uint32_t usage = X509_get_extended_key_usage(certificate);
    if ((X509_get_extension_flags(certificate) & EXFLAG_XKUSAGE) != 0 &&
        (usage & (XKU_CODE_SIGN | XKU_ANYEKU)) == 0) {
      return "certificate " + std::to_string(i + 1) + " of the chain is not for code signing";
    }
    int md = NID_undef;
    if (OBJ_find_sigid_algs(X509_get_signature_nid(certificate), &md, nullptr) == 0 ||
        md == NID_md5) {
      return "certificate " + std::to_string(i + 1) + " of the chain is signed with " +
             (md == NID_md5 ? "MD5, which is broken" : "an algorithm this tool does not know");
    }
  }
  return "";
}

// The signer's chain to a certificate of the CA file, trusted for code signing.
std::string CheckChain(X509* signer, PKCS7* pkcs7, const std::string& caName, const Bytes& caPem) {
  std::string unreadable;
  const std::unique_ptr<X509_STORE, StoreFree> store = TrustStore(caPem, caName, &unreadable);
  if (!store) {
    return unreadable;
  }
  std::unique_ptr<X509_STORE_CTX, StoreContextFree> context(X509_STORE_CTX_new());
  if (!context) {
    throw std::bad_alloc();
  }
  if (X509_STORE_CTX_init(context.get(), store.get(), signer, pkcs7->d.sign->cert) != 1 ||
      X509_STORE_CTX_set_trust(context.get(), X509_TRUST_OBJECT_SIGN) != 1) {
    throw std::bad_alloc();
  }
  const bool chained = X509_verify_cert(context.get()) == 1;
  const int error = X509_STORE_CTX_get_error(context.get());
  ERR_clear_error();
  if (!chained) {
    return error == X509_V_ERR_CERT_REJECTED
               ? caName + " rejects its certificate for code signing"
               : "the signer's certificate does not chain to " + caName;
  }
  return ChainProblem(signer, X509_STORE_CTX_get0_chain(context.get()));
}

// The signer's unsigned attribute that holds an RFC 3161 token, nullptr when there is none;
// a second one is a problem, as no one of them would be the timestamp.
X509_ATTRIBUTE* TimestampAttribute(PKCS7_SIGNER_INFO* info, std::string* problem) {
  STACK_OF(X509_ATTRIBUTE)* attributes = PKCS7_get_attributes(info);
  X509_ATTRIBUTE* found = nullptr;
  for (int i = 0; i < sk_X509_ATTRIBUTE_num(attributes); ++i) {
    X509_ATTRIBUTE* attribute = sk_X509_ATTRIBUTE_value(attributes, i);
    if (OidText(X509_ATTRIBUTE_get0_object(attribute), true) != kRfc3161Timestamp) {
      continue;
    }
    if (found != nullptr) {
      *problem = "the signature holds more than one RFC 3161 timestamp";
      return nullptr;
    }
    found = attribute;
  }
  return found;
}

// The token an attribute holds: its one value, a ContentInfo in DER with nothing after it.
PKCS7* TokenOf(X509_ATTRIBUTE* attribute) {
  const ASN1_TYPE* value =
      X509_ATTRIBUTE_count(attribute) == 1 ? X509_ATTRIBUTE_get0_type(attribute, 0) : nullptr;
  if (value == nullptr || value->type != V_ASN1_SEQUENCE) {
    return nullptr;
  }
  const unsigned char* p = value->value.sequence->data;
  const unsigned char* end = p + value->value.sequence->length;
  PKCS7* token = d2i_PKCS7(nullptr, &p, end - p);
  ERR_clear_error();
  if (token != nullptr && p != end) {
    PKCS7_free(token);
    return nullptr;
  }
  return token;
}

// An Authenticode timestamp vouches for the signer's signature value, so its imprint must be
// that value's digest: a token taken from another signature is not this one's.
std::string ImprintProblem(TS_TST_INFO* tst, const PKCS7_SIGNER_INFO* info) {
  TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(tst);
  const X509_ALGOR* algorithm = TS_MSG_IMPRINT_get_algo(imprint);
  std::string problem = DigestProblem(algorithm->algorithm, "the timestamp's digest");
  if (!problem.empty()) {
    return problem;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const ASN1_OCTET_STRING* signature = info->enc_digest;
  if (EVP_Digest(ASN1_STRING_get0_data(signature),
                 static_cast<std::size_t>(ASN1_STRING_length(signature)), digest, &length,
                 EVP_get_digestbyobj(algorithm->algorithm), nullptr) != 1) {
    throw std::bad_alloc();
  }
  const ASN1_OCTET_STRING* message = TS_MSG_IMPRINT_get_msg(imprint);
  const unsigned char* imprinted = ASN1_STRING_get0_data(message);
  if (!std::equal(digest, digest + length, imprinted, imprinted + ASN1_STRING_length(message))) {
    return "the timestamp's imprint is not the digest of the signer's signature";
  }
  return "";
}

// "2026-12-10T07:00:00Z", fractions of a second dropped; "" when it cannot be read.
std::string TimeText(const ASN1_GENERALIZEDTIME* time) {
  std::tm parts{};
  const bool read = time != nullptr && ASN1_TIME_to_tm(time, &parts) == 1;
  ERR_clear_error();
  char text[40] = {};
  if (!read || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
    return "";
  }
  return text;
}

// The token's one signer's certificate, when its key verifies the token; else nullptr.
X509* TokenSigner(PKCS7* token, std::unique_ptr<STACK_OF(X509), CertificatesFree>* signers) {
  signers->reset(PKCS7_get0_signers(token, nullptr, 0));
  ERR_clear_error();
  if (!*signers || sk_X509_num(signers->get()) != 1) {
    return nullptr;
  }
  const int flags = PKCS7_BINARY | PKCS7_NOINTERN | PKCS7_NOVERIFY;
  const bool verified = PKCS7_verify(token, signers->get(), nullptr, nullptr, nullptr, flags) == 1;
  ERR_clear_error();
  return verified ? sk_X509_value(signers->get(), 0) : nullptr;
}

// The token's signer's chain to a certificate of the CA file, for timestamping.
std::string CheckTimestampChain(PKCS7* token, const std::string& tsaName, const Bytes& tsaPem) {
  std::string unreadable;
  std::unique_ptr<X509_STORE, StoreFree> store = TrustStore(tsaPem, tsaName, &unreadable);
  if (!store) {
    return unreadable;
  }
  std::unique_ptr<TS_VERIFY_CTX, VerifyContextFree> context(TS_VERIFY_CTX_new());
  if (!context) {
    throw std::bad_alloc();
  }
  (void)TS_VERIFY_CTX_set_store(context.get(), store.release());  // the context owns it
  (void)TS_VERIFY_CTX_set_flags(context.get(), TS_VFY_SIGNATURE);
  const bool chained = TS_RESP_verify_token(context.get(), token) == 1;
  ERR_clear_error();
  return chained ? "" : "the timestamp's certificate does not chain to " + tsaName;
}

// The signer's timestamp, read into the verdict: the problem with it, or "".
std::string ReadTimestamp(PKCS7_SIGNER_INFO* info, const std::string& tsaName, const Bytes* tsaPem,
                          SignatureVerdict* verdict) {
  std::string problem;
  X509_ATTRIBUTE* attribute = TimestampAttribute(info, &problem);
  if (attribute == nullptr) {
    if (problem.empty() && PKCS7_get_attribute(info, NID_pkcs9_countersignature) != nullptr) {
      verdict->timestampKind = "countersignature";
    }
    return problem;
  }
  verdict->timestampKind = "RFC 3161";
  std::unique_ptr<PKCS7, Pkcs7Free> token(TokenOf(attribute));
  std::unique_ptr<TS_TST_INFO, TstInfoFree> tst(token ? PKCS7_to_TS_TST_INFO(token.get())
                                                      : nullptr);
  ERR_clear_error();
  if (!tst || sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(token.get())) != 1) {
    return "the timestamp is not an RFC 3161 token that can be read";
  }
  problem = ImprintProblem(tst.get(), info);
  if (!problem.empty()) {
    return problem;
  }
  verdict->timestampTime = TimeText(TS_TST_INFO_get_time(tst.get()));
  if (verdict->timestampTime.empty()) {
    return "the timestamp's time cannot be read";
  }
  std::unique_ptr<STACK_OF(X509), CertificatesFree> signers;
  X509* authority = TokenSigner(token.get(), &signers);
  if (authority == nullptr) {
    return "the timestamp's signature does not verify with a certificate it holds";
  }
  verdict->timestampAuthority = CommonNames(authority);
  if (tsaPem == nullptr) {
    return "";
  }
  problem = CheckTimestampChain(token.get(), tsaName, *tsaPem);
  verdict->timestampChecked = problem.empty();
  return problem;
}

}  // namespace

SignatureVerdict AuthenticodeCheck::Finish(const std::string& caName, const Bytes* caPem,
                                           const std::string& tsaName, const Bytes* tsaPem) {
  State& s = *state_;
  SignatureVerdict verdict;
  verdict.table = s.table;
  verdict.problem = s.problem;
  verdict.digest = s.digest;
  verdict.caName = caPem != nullptr ? caName : "";
  verdict.tsaCaName = tsaPem != nullptr ? tsaName : "";
  if (!s.hash) {
    return verdict;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!s.hashed || EVP_DigestFinal_ex(s.hash.get(), digest, &length) != 1) {
    throw std::bad_alloc();
  }
  if (!std::equal(digest, digest + length, s.signedDigest.begin(), s.signedDigest.end())) {
    verdict.problem = "signature does not match the image";
    return verdict;
  }
  X509* signer = FindSigner(s.pkcs7.get(), s.content, &verdict.problem);
  if (signer == nullptr) {
    return verdict;
  }
  verdict.signer = CommonNames(signer);
  verdict.problem = caPem == nullptr ? "" : CheckChain(signer, s.pkcs7.get(), caName, *caPem);
  verdict.timestampProblem =
      ReadTimestamp(sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(s.pkcs7.get()), 0), tsaName,
                    tsaPem, &verdict);
  verdict.valid = verdict.problem.empty() && verdict.timestampProblem.empty();
  verdict.chainChecked = verdict.valid && caPem != nullptr;
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
    return problem.empty() ? timestampProblem : problem;
  }
  return "signature valid, signed by " + (signer.empty() ? "an unnamed signer" : signer) +
         (chainChecked ? "; chain checked" : "; chain not checked") +
         (WeakDigest() ? "; " + digest + ", a weak digest" : "") + TimestampText();
}

std::vector<std::string> SignatureVerdict::Problems() const {
  std::vector<std::string> lines;
  for (const std::string* line : {&problem, &timestampProblem}) {
    if (!line->empty()) {
      lines.push_back(*line);
    }
  }
  return lines;
}

std::string SignatureVerdict::TimestampText() const {
  if (timestampKind.empty()) {
    return "";
  }
  if (timestampKind != "RFC 3161") {
    return "; a legacy " + timestampKind + " timestamp, not read";
  }
  return "; timestamped " + timestampTime + " by " +
         (timestampAuthority.empty() ? "an unnamed authority" : timestampAuthority) +
         (timestampChecked ? ", its chain checked" : ", its chain not checked");
}

bool SignatureVerdict::WeakDigest() const { return digest == "SHA-1"; }

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
