// The version the build gave the packer, and the commit it was built from when known.
#pragma once

#include <string>

// "selfinst-pack 1.0.0", with " (commit 0123456789ab)" where the build knew it.
std::string VersionLine();
