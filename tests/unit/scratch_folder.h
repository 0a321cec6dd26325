// A fresh temporary folder that is the current folder for the life of a test, and small
// file helpers over it.
#pragma once

#include <string>
#include <vector>

#include "payload/payload_table.h"

void EnterScratchFolder();
void LeaveScratchFolder();
std::string ScratchPath();

bool FileExists(const std::string& name);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// Rows the tests single out, by what makes them special.
constexpr int kLongestNameRow = 3;  // a name of 12 characters, the longest a row may have
constexpr int kInstallerRow = 4;    // the program the hand-off starts
constexpr int kLargestRow = 9;      // the largest item
constexpr int kLastRow = 10;

// The test payload the host build generated, by upper-case item key.
std::string TestPayloadBytes(const PayloadEntry& row);
std::string UpperKey(const PayloadEntry& row);
int ManifestRows();

// A fresh scratch folder as current folder and a fresh fake platform whose store holds
// the test payload: where every launcher test starts.
void BeginRunInScratchFolder();

// The manifest files present in the current folder, in manifest order.
std::vector<std::string> PresentManifestFiles();
