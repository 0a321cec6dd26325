// The Authenticode signature of an image: the digest it signs held against the image's own
// Authenticode hash, taken as the image passes once, and the PKCS#7 signature checked with
// its signer's certificate (and, when a CA file is given, that certificate's chain).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/report.h"
#include "pe/image_file.h"
#include "pe/loader_checks.h"
#include "pe/pe_image.h"

// A CA file holds a few certificates.
constexpr std::uint64_t kLargestCaFile = 1u << 20;

struct SignatureVerdict {
  Signature table = Signature::kNone;
  bool valid = false;            // the image is what was signed, by the certificate named
  std::string signer;            // "CN=..., CN=..." of the signer's certificate, when known
  std::string digest;            // "SHA-256", when the signature could be read
  std::string caName;            // the CA file the chain was checked against, when one was given
  bool chainChecked = false;     // and it chains there, as a release needs
  std::string problem;           // why not valid, for the report
  std::string timestampProblem;  // and what is wrong with the timestamp, told as well
  // The signer's timestamp: "" when there is none, "RFC 3161", or "countersignature" (the
  // legacy kind, named but not read). An RFC 3161 one gives its time and authority.
  std::string timestampKind;
  std::string timestampTime;       // "2026-12-10T07:00:00Z"
  std::string timestampAuthority;  // "CN=..." of the authority's certificate
  std::string tsaCaName;           // the CA file the timestamp was checked against
  bool timestampChecked = false;   // and it chains there, for timestamping
  // For people ("signature valid, signed by CN=...; chain not checked") and for scripts.
  std::string Text() const;
  std::string TimestampText() const;
  std::vector<std::string> Problems() const;  // each line that says why it is not valid  // ";
                                              // timestamped ... by CN=...", "" without one
  const char* State() const;
  bool WeakDigest() const;
};

class AuthenticodeCheck {
 public:
  // Reads and parses the signature of an image whose certificate table ReadSignature
  // found well formed; anything else leaves nothing to check.
  AuthenticodeCheck(const ImageFile& file, const PeImage& image, Signature table);
  ~AuthenticodeCheck();
  AuthenticodeCheck(const AuthenticodeCheck&) = delete;
  AuthenticodeCheck& operator=(const AuthenticodeCheck&) = delete;

  // The spans of the file the hash covers: all of it but the checksum, the certificate
  // table's directory entry and the table itself. The caller's pass feeds them.
  void AddSpans(std::vector<Span>* spans);
  // Once the pass is over. `caPem`, the PEM file `caName` read whole, when given, also
  // checks the signer's chain against its certificates; `tsaPem`, read from `tsaName`, the
  // timestamp's.
  SignatureVerdict Finish(const std::string& caName = "", const Bytes* caPem = nullptr,
                          const std::string& tsaName = "", const Bytes* tsaPem = nullptr);

  struct State;  // what the steps of reading the signature fill in

 private:
  std::unique_ptr<State> state_;
};
