#include "cli/json_output.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/json_text.h"

namespace {

void PrintJson(const nlohmann::ordered_json& document) {
  (void)std::printf("%s\n", JsonLine(document).c_str());
}

nlohmann::ordered_json SignerJson(const SignatureVerdict& signature) {
  return signature.signer.empty() ? nlohmann::ordered_json(nullptr)
                                  : nlohmann::ordered_json(signature.signer);
}

// Whether the signer was checked against a CA file, which one, and what that file said, so
// that a script tells a signer it trusts from one that only names itself alike.
nlohmann::ordered_json ChainJson(const SignatureVerdict& signature) {
  const bool asked = !signature.caName.empty();
  return {{"checked", signature.chainChecked},
          {"ca", asked ? nlohmann::ordered_json(signature.caName) : nullptr},
          {"trusted", asked && signature.table == Signature::kSigned
                          ? nlohmann::ordered_json(signature.valid)
                          : nullptr}};
}

nlohmann::ordered_json DigestJson(const SignatureVerdict& signature) {
  return signature.digest.empty() ? nlohmann::ordered_json(nullptr)
                                  : nlohmann::ordered_json(signature.digest);
}

nlohmann::ordered_json TextOrNull(const std::string& text) {
  return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
}

// The signer's timestamp, null when there is none; "checked" only when a CA file was asked.
nlohmann::ordered_json TimestampJson(const SignatureVerdict& signature) {
  if (signature.timestampKind.empty()) {
    return nullptr;
  }
  return {{"kind", signature.timestampKind},
          {"time", TextOrNull(signature.timestampTime)},
          {"authority", TextOrNull(signature.timestampAuthority)},
          {"checked", signature.timestampChecked},
          {"ca", TextOrNull(signature.tsaCaName)}};
}

}  // namespace

void PrintListingJson(const std::string& imagePath, const char* format,
                      const SignatureVerdict& signature, const std::vector<ListedItem>& listed,
                      std::uint64_t bytes) {
  nlohmann::ordered_json items = nlohmann::ordered_json::array();
  for (const ListedItem& item : listed) {
    items.push_back({{"file", item.file.empty() ? nullptr : nlohmann::ordered_json(item.file)},
                     {"key", item.key},
                     {"size", item.size},
                     {"sha256", item.sha256}});
  }
  PrintJson({{"image", imagePath},
             {"format", format},
             {"signature", signature.State()},
             {"signer", SignerJson(signature)},
             {"digest", DigestJson(signature)},
             {"weak_digest", signature.WeakDigest()},
             {"chain", ChainJson(signature)},
             {"timestamp", TimestampJson(signature)},
             {"items", items},
             {"total", {{"files", listed.size()}, {"bytes", bytes}}}});
}

void PrintVerifyJson(const std::string& imagePath, const std::string& payload, bool verified,
                     std::size_t items, const std::string& summary,
                     const SignatureVerdict& signature, const Report& report) {
  nlohmann::ordered_json problems = nlohmann::ordered_json::array();
  for (const Problem& problem : report) {
    problems.push_back({{"subject", problem.subject}, {"what", problem.what}});
  }
  PrintJson({{"image", imagePath},
             {"verified", verified},
             {"payload", payload.empty() ? nullptr : nlohmann::ordered_json(payload)},
             {"contents", payload.empty() ? "not compared"
                          : verified      ? "match"
                                          : "not proved"},
             {"items", verified ? nlohmann::ordered_json(items) : nullptr},
             {"summary", verified ? summary : "refused"},
             {"signature", verified ? nlohmann::ordered_json(signature.State()) : nullptr},
             {"signer", verified ? SignerJson(signature) : nullptr},
             {"digest", verified ? DigestJson(signature) : nullptr},
             {"weak_digest", verified && signature.WeakDigest()},
             {"chain", ChainJson(signature)},
             {"timestamp", verified ? TimestampJson(signature) : nullptr},
             {"problems", problems}});
}
