// The handlers of selfinst-pack's verbs, one file each; the verb table in selfinst_pack.cpp
// names them. Each returns the exit code.
#pragma once

#include "cli/command_line.h"

int Pack(const Arguments& arguments);
int List(const Arguments& arguments);
int Verify(const Arguments& arguments);
int Extract(const Arguments& arguments);
int Check(const Arguments& arguments);
int Names(const Arguments& arguments);
int Limits(const Arguments& arguments);
