// check: a payload folder holds the eleven files and nothing else, within the ceiling.
#include "cli/messages.h"
#include "verbs/loaded_inputs.h"
#include "verbs/verbs.h"

int Check(const Arguments& arguments) {
  Report report;
  LoadedPayload payload;
  return LoadPayload(arguments.payload, true, &payload, &report) ? 0 : Fail(report);
}
