// What the command says on stderr, and how it exits: each problem one line,
// "selfinst-pack: SUBJECT: WHAT", with anything read from outside escaped.
#pragma once

#include <string>

#include "io/report.h"

// Exit codes: a problem with the input or the system, and a command line that asks for
// something the tool does not do.
constexpr int kFailure = 1;
constexpr int kUsageError = 2;

// The problem, pointing at the usage of `verb` (a verb's name), or at the global one for
// nullptr; returns kUsageError.
int UsageError(const std::string& problem, const char* verb = nullptr);

void Say(const std::string& subject, const std::string& what);
void Print(const Report& report);
// Each problem of the report, one line each; returns kFailure.
int Fail(const Report& report);

// Standard output that could not be written (a full disk, a closed pipe) is a failure.
int CheckStandardOutput(int result);
