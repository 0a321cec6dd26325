// What the user must see, written out independently of the launcher's own constants, so
// that a changed caption, style or text fails the tests.
#pragma once

#include <string>

constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

// MB_OK | MB_ICONERROR | MB_SYSTEMMODAL | MB_SETFOREGROUND
constexpr unsigned kErrorStyle = 0x11010;
// MB_YESNO | MB_ICONEXCLAMATION | MB_SETFOREGROUND: not system-modal
constexpr unsigned kQuestionStyle = 0x10034;

inline const std::string kCaption = "Varnholt Tonequill TQ-30";
inline const std::string kHaltText = "Installation will be halted";
inline const std::string kStartFailureText = "Can't execute Setup.exe";

inline std::string OverwriteQuestion(const std::string& name) {
  return name + " is in the current folder.For further instllation you must overwrite " + name +
         "\nDo you want to execute ?";
}
