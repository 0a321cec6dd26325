#include "payload/ceiling.h"

[[nodiscard]] bool CheckPayloadTotal(std::uint64_t total, const std::string& subject, bool oneFile,
                                     Report* report) {
  if (total <= kLargestPayload) {
    return true;
  }
  return Refuse(report, subject,
                (oneFile ? "" : "the payload holds ") + std::to_string(total) +
                    " bytes, more than the " + std::to_string(kLargestPayload) +
                    " bytes with which a 32-bit Windows launcher still starts");
}

void WarnOfPayloadTotal(std::uint64_t total, const std::string& folder, Report* report) {
  if (total > kLargestPayloadOn32BitWindows) {
    Warn(report, folder,
         "the payload holds " + std::to_string(total) + " bytes, more than the " +
             std::to_string(kLargestPayloadOn32BitWindows) +
             " bytes 32-bit Windows can map for a program: the launcher runs on 64-bit Windows "
             "only");
  }
}
