#include "fake_platform.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>

#include "launcher/launcher.h"
#include "platform/text_bound.h"
#include "store_format.h"
#include "unprivileged.h"

namespace {

FakePlatform fake;
int processObject;

std::string Upper(const char* text) {
  std::string result = text != nullptr ? text : "";
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return result;
}

// Handles are pointers to the stored key: "found" and "loaded" share it, as both name
// one item.
const std::string* KeyOf(platform::Handle handle) {
  return static_cast<const std::string*>(handle);
}

}  // namespace

FakePlatform& Fake() { return fake; }

void ResetFake() { fake = FakePlatform{}; }

platform::Handle FakeProcessHandle() { return &processObject; }

int RunLauncherUnprivileged() {
  // Fields end with a NUL, which no text of a box or call holds: a box is "box", its text,
  // caption, style and owner; a call is "call" and the call.
  std::string received;
  const int code = RunUnprivileged(
      [](std::string* report) {
        const int result = LauncherMain(nullptr);
        for (const ShownBox& box : fake.boxes) {
          for (const std::string& field :
               {std::string("box"), box.text, box.caption, std::to_string(box.style),
                std::string(box.hasOwner ? "1" : "0")}) {
            report->append(field).push_back('\0');
          }
        }
        for (const std::string& call : fake.calls) {
          report->append("call").push_back('\0');
          report->append(call).push_back('\0');
        }
        return result;
      },
      &received);
  std::vector<std::string> fields;
  for (size_t start = 0; start < received.size();) {
    const size_t end = received.find('\0', start);
    fields.push_back(received.substr(start, end - start));
    start = end + 1;
  }
  fake.boxes.clear();
  fake.calls.clear();
  for (size_t i = 0; i < fields.size();) {
    if (fields[i] == "box" && i + 4 < fields.size()) {
      fake.boxes.push_back({fields[i + 1], fields[i + 2],
                            static_cast<unsigned>(std::stoul(fields[i + 3])),
                            fields[i + 4] == "1"});
      i += 5;
    } else if (fields[i] == "call" && i + 1 < fields.size()) {
      fake.calls.push_back(fields[i + 1]);
      i += 2;
    } else {
      fake.calls.push_back("unreadable report from the child");
      break;
    }
  }
  return code;
}

namespace platform {

Handle FindResourceA(Handle /*module*/, const char* name, const char* type) {
  fake.calls.push_back("find:" + Upper(type));
  auto item = fake.items.find(Upper(type));
  if (Upper(name) != kStoredItemName.text || item == fake.items.end()) {
    return nullptr;
  }
  return const_cast<std::string*>(&item->first);
}

Handle LoadResource(Handle /*module*/, Handle found) {
  if (found == nullptr) {
    fake.calls.emplace_back("load:null");
    return nullptr;
  }
  fake.calls.push_back("load:" + *KeyOf(found));
  return fake.unloadable.count(*KeyOf(found)) != 0 ? nullptr : found;
}

const void* LockResource(Handle loaded) {
  if (loaded == nullptr) {
    fake.calls.emplace_back("lock:null");
    return nullptr;
  }
  fake.calls.push_back("lock:" + *KeyOf(loaded));
  return fake.items.at(*KeyOf(loaded)).data();
}

std::uint32_t SizeofResource(Handle /*module*/, Handle found) {
  if (found == nullptr) {
    fake.calls.emplace_back("size:null");
    return 0;
  }
  return static_cast<std::uint32_t>(fake.items.at(*KeyOf(found)).size());
}

void FreeResource(Handle loaded) {
  fake.calls.push_back("free:" + (loaded != nullptr ? *KeyOf(loaded) : std::string("null")));
  if (fake.snapshot != nullptr) {
    fake.snapshotsAtRelease.push_back(fake.snapshot());
  }
}

int MessageBoxA(Handle owner, const char* text, const char* caption, unsigned style) {
  fake.calls.emplace_back("box");
  fake.boxes.push_back({text, caption, style, owner != nullptr});
  if (fake.snapshot != nullptr) {
    fake.snapshotsAtBox.push_back(fake.snapshot());
  }
  if (fake.answers.empty()) {
    return 1;  // IDOK
  }
  const int answer = fake.answers.front();
  fake.answers.pop_front();
  return answer;
}

// Formats as wsprintfA does, at most 1024 characters, then cuts with the Windows launchers'
// own code.
void FormatText(char* buffer, std::size_t capacity, const char* format, const char* first,
                const char* second) {
  char formatted[1025];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  const int length = std::snprintf(formatted, sizeof formatted, format, first, second);
#pragma GCC diagnostic pop
  (void)KeepWithin(buffer, capacity, formatted, std::min(length, 1024));
}

int ShellExecuteExA(SHELLEXECUTEINFOA* info) {
  fake.calls.emplace_back("shell");
  auto text = [](const char* value) { return std::string(value != nullptr ? value : "(null)"); };
  fake.shellRecord = {info->fMask,        info->hwnd != nullptr,    text(info->lpVerb),
                      text(info->lpFile), text(info->lpParameters), info->lpDirectory != nullptr,
                      info->nShow};
  if (!fake.shellStarts) {
    return 0;
  }
  info->hProcess = fake.shellLeavesProcess ? FakeProcessHandle() : nullptr;
  return 1;
}

std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) {
  fake.calls.push_back(std::string(object == FakeProcessHandle() ? "wait" : "wait:other") +
                       (milliseconds == INFINITE ? "" : ":timed"));
  return 0;
}

Handle FindWindowA(const char* className, const char* title) {
  fake.calls.push_back(std::string("probe:") + (className != nullptr ? "class:" : "") + title);
  if (fake.probesWithWindow > 0) {
    --fake.probesWithWindow;
    return &processObject;
  }
  return nullptr;
}

void Sleep(std::uint32_t milliseconds) {
  fake.calls.push_back("sleep:" + std::to_string(milliseconds));
}

std::uint32_t GetFileAttributesA(const char* fileName) {
  struct stat status {};
  if (fake.attributesUnreadable.count(fileName) != 0 || ::lstat(fileName, &status) != 0) {
    return INVALID_FILE_ATTRIBUTES;
  }
  return S_ISDIR(status.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0x80u;  // NORMAL
}

}  // namespace platform
