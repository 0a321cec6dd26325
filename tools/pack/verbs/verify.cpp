// verify: a built launcher's store and loader fields checked, and with --payload its items
// compared with the payload's files, byte for byte.
#include <cstdio>
#include <string>

#include "cli/json_output.h"
#include "cli/messages.h"
#include "cli/progress.h"
#include "io/shown.h"
#include "payload/ceiling.h"
#include "pe/authenticode.h"
#include "pe/image_file.h"
#include "store/payload_comparison.h"
#include "store/store_verify.h"
#include "verbs/loaded_inputs.h"
#include "verbs/verbs.h"

namespace {

// What verify proved, for people or for scripts.
int ReportVerify(const Arguments& arguments, bool verified, std::size_t items,
                 const SignatureVerdict& signature, const Report& report) {
  const std::string summary =
      (arguments.payload.empty()
           ? "store intact, " + std::to_string(items) + " items (contents not compared)"
           : std::to_string(items) + " items match " + arguments.payload + ", byte for byte") +
      (signature.table == Signature::kSigned ? "; " + signature.Text() : "");
  if (arguments.json) {
    PrintVerifyJson(arguments.image, arguments.payload, verified, items, summary, signature,
                    report);
    (void)std::fflush(stdout);  // the document first, then the lines that say the same
  }
  if (!verified) {
    return Fail(report);
  }
  if (!arguments.json) {
    std::printf("%s: %s\n", Shown(arguments.image).c_str(), Shown(summary).c_str());
  }
  return 0;
}

}  // namespace

int Verify(const Arguments& arguments) {
  LoadedImage loaded;
  LoadedPayload payload;
  Report report;
  const bool withPayload = !arguments.payload.empty();
  Bytes caPem;
  Bytes tsaPem;
  if ((!arguments.ca.empty() && !ReadSmallFile(arguments.ca, kLargestCaFile, &caPem, &report)) ||
      (!arguments.tsaCa.empty() &&
       !ReadSmallFile(arguments.tsaCa, kLargestCaFile, &tsaPem, &report)) ||
      !LoadImage(arguments.image, &loaded, &report) ||
      (withPayload && !LoadPayload(arguments.payload, false, &payload, &report))) {
    return ReportVerify(arguments, false, 0, SignatureVerdict{}, report);
  }
  Report tableProblems;  // the loader's checks name them
  AuthenticodeCheck signature(loaded.file, loaded.image,
                              ReadSignature(loaded.file, loaded.image, &tableProblems));
  std::vector<Span> signedSpans;
  signature.AddSpans(&signedSpans);
  PayloadComparison comparison(arguments.image, payload.files, payload.open, &report);
  if (withPayload) {
    comparison.CompareSizes(loaded.store);
  }
  bool verified = false;
  {
    Progress progress("verify", withPayload ? ItemBytes(loaded.store) : 0);
    const ItemTaker compare = [&](std::size_t row, const std::uint8_t* data, std::size_t size) {
      progress.Add(size);
      return comparison.Take(row, data, size);
    };
    verified = VerifyImage(loaded.file, loaded.image, loaded.store,
                           withPayload ? compare : ItemTaker{}, &report, signedSpans);
  }
  // One CA file checks both chains unless the timestamp's is named apart, as an authority
  // other than the signer's CA often is.
  const bool ownTsaCa = !arguments.tsaCa.empty();
  const std::string& tsaName = ownTsaCa ? arguments.tsaCa : arguments.ca;
  const SignatureVerdict verdict =
      signature.Finish(arguments.ca, arguments.ca.empty() ? nullptr : &caPem, tsaName,
                       tsaName.empty() ? nullptr
                       : ownTsaCa      ? &tsaPem
                                       : &caPem);
  if (verified && verdict.table == Signature::kSigned && !verdict.valid) {
    for (const std::string& line : verdict.Problems()) {
      Refuse(&report, arguments.image, line);
    }
  } else if (verified && verdict.table == Signature::kNone && !tsaName.empty()) {
    Refuse(&report, arguments.image, "is unsigned: there is no chain to check against " + tsaName);
  } else if (verified && verdict.valid && ownTsaCa && !verdict.timestampChecked) {
    Refuse(&report, arguments.image,
           "has no RFC 3161 timestamp to check against " + arguments.tsaCa);
  }
  for (std::size_t row = 0; verified && row < payload.open.fds.size(); ++row) {
    (void)PayloadUnchanged(payload.files[row], payload.open, row, &report);
  }
  return ReportVerify(arguments, verified && report.empty(), loaded.store.items.size(), verdict,
                      report);
}
