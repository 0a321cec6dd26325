// dialog-driver: a Win32 console program that tests use to see and answer the
// launcher's message boxes, and to hold a window of a given title open.
//
//   dialog-driver press BUTTON [CAPTION] [TIMEOUT_MS]
//       Waits for a message box with CAPTION (default "Varnholt Tonequill TQ-30"), prints
//       what it shows, then presses BUTTON (ok, yes, no). Prints, one per line:
//         text=<the text, with \n for a line feed and \\ for a backslash>
//         buttons=<ok|yes,no|...>  icon=<error|warning|question|information|none>
//         topmost=<0|1>
//       Exit code 0; 1 when no box came within the timeout (default 20000 ms).
//   dialog-driver answer yes|no [CAPTION] [TIMEOUT_MS]
//       The same, but presses OK on a box that has no such button (a notice).
//   dialog-driver absent [CAPTION] [WAIT_MS]
//       Exit code 0 when no such box appears within WAIT_MS (default 1000), else 1.
//   dialog-driver hold-window TITLE MILLISECONDS
//       Opens a top-level window titled TITLE, keeps it for that long, closes it.
//   dialog-driver shot FILE.bmp [CAPTION] [TIMEOUT_MS]
//       Waits for the message box and saves a picture of it as a 32-bit BMP; leaves the
//       box open.
//   dialog-driver probe-time COUNT
//       Times COUNT probes for a top-level window titled "Setup"; prints the mean in
//       microseconds (benchmarks).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* kDefaultCaption = "Varnholt Tonequill TQ-30";

HWND WaitForBox(const char* caption, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    HWND box = FindWindowA("#32770", caption);
    if (box != nullptr && IsWindowVisible(box)) {
      return box;
    }
    if (GetTickCount() - start >= timeoutMs) {
      return nullptr;
    }
    Sleep(20);
  }
}

std::string Escaped(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '\n') {
      out += "\\n";
    } else if (*p == '\r') {
      out += "\\r";
    } else if (*p == '\\') {
      out += "\\\\";
    } else {
      out += *p;
    }
  }
  return out;
}

struct IconSearch {
  HWND control;
};

BOOL CALLBACK FindIcon(HWND child, LPARAM data) {
  char className[32] = {};
  GetClassNameA(child, className, sizeof className);
  if (lstrcmpiA(className, "Static") == 0 &&
      (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
    reinterpret_cast<IconSearch*>(data)->control = child;
    return FALSE;
  }
  return TRUE;
}

// Icon handles are not shared between processes, so the icon a box shows is told by
// its pixels: the control's pixels against each system icon drawn on the same ground.
std::string Pixels(HDC dc, HBITMAP bitmap, int width, int height) {
  BITMAPINFO format{};
  format.bmiHeader.biSize = sizeof format.bmiHeader;
  format.bmiHeader.biWidth = width;
  format.bmiHeader.biHeight = height;
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 32;
  format.bmiHeader.biCompression = BI_RGB;
  std::string pixels(static_cast<size_t>(width) * static_cast<size_t>(height) * 4, '\0');
  GetDIBits(dc, bitmap, 0, static_cast<UINT>(height), &pixels[0], &format, DIB_RGB_COLORS);
  // Colours only: the fourth byte differs between a drawn icon and a copy of the screen
  // under Wine 10, while the pixels look the same.
  for (size_t at = 3; at < pixels.size(); at += 4) {
    pixels[at] = '\0';
  }
  return pixels;
}

// Draws into a bitmap of the control's size: a copy of the control when `icon` is null,
// else `icon` on the control's ground colour.
std::string Render(HWND control, HICON icon) {
  // Read from the screen: another process's window surface cannot be read directly.
  RECT onScreen{};
  GetWindowRect(control, &onScreen);
  RECT area{0, 0, onScreen.right - onScreen.left, onScreen.bottom - onScreen.top};
  HDC source = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(source);
  HBITMAP bitmap = CreateCompatibleBitmap(source, area.right, area.bottom);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  if (icon == nullptr) {
    BitBlt(memory, 0, 0, area.right, area.bottom, source, onScreen.left, onScreen.top, SRCCOPY);
  } else {
    HBRUSH ground = CreateSolidBrush(GetPixel(source, onScreen.left, onScreen.top));
    FillRect(memory, &area, ground);
    DeleteObject(ground);
    DrawIconEx(memory, 0, 0, icon, 0, 0, 0, nullptr, DI_NORMAL | DI_DEFAULTSIZE);
  }
  SelectObject(memory, previous);
  std::string pixels = Pixels(memory, bitmap, area.right, area.bottom);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, source);
  return pixels;
}

const char* IconName(HWND box) {
  IconSearch search{nullptr};
  EnumChildWindows(box, FindIcon, reinterpret_cast<LPARAM>(&search));
  if (search.control == nullptr) {
    return "none";
  }
  struct Known {
    LPCSTR id;
    const char* name;
  } const known[] = {{IDI_ERROR, "error"},
                     {IDI_WARNING, "warning"},
                     {IDI_QUESTION, "question"},
                     {IDI_INFORMATION, "information"}};
  const std::string shown = Render(search.control, nullptr);
  for (const Known& k : known) {
    if (Render(search.control, LoadIconA(nullptr, k.id)) == shown) {
      return k.name;
    }
  }
  return "other";
}

std::string Buttons(HWND box) {
  struct Button {
    int id;
    const char* name;
  } const buttons[] = {{IDOK, "ok"}, {IDYES, "yes"}, {IDNO, "no"}, {IDCANCEL, "cancel"}};
  std::string names;
  for (const Button& b : buttons) {
    HWND control = GetDlgItem(box, b.id);
    if (control != nullptr && IsWindowVisible(control)) {
      names += (names.empty() ? "" : ",") + std::string(b.name);
    }
  }
  return names;
}

// `okOnNotice`: a box without the button asked for is a notice, and gets OK.
int Press(const char* button, const char* caption, DWORD timeoutMs, bool okOnNotice) {
  int id = 0;
  if (std::strcmp(button, "ok") == 0) {
    id = IDOK;
  } else if (std::strcmp(button, "yes") == 0) {
    id = IDYES;
  } else if (std::strcmp(button, "no") == 0) {
    id = IDNO;
  } else {
    std::fprintf(stderr, "dialog-driver: unknown button %s\n", button);
    return 2;
  }
  HWND box = WaitForBox(caption, timeoutMs);
  if (box == nullptr) {
    std::printf("no box\n");
    return 1;
  }
  if (okOnNotice && GetDlgItem(box, id) == nullptr) {
    id = IDOK;
  }
  char text[1024] = {};
  GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
  std::printf("text=%s\n", Escaped(text).c_str());
  std::printf("buttons=%s\n", Buttons(box).c_str());
  // The icon is read from the screen, so give the box time to paint it.
  const char* icon = IconName(box);
  for (int tries = 0; tries < 40 && std::strcmp(icon, "other") == 0; ++tries) {
    Sleep(50);
    icon = IconName(box);
  }
  std::printf("icon=%s\n", icon);
  std::printf("topmost=%d\n", (GetWindowLongA(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0 ? 1 : 0);
  std::fflush(stdout);
  SendMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
  return 0;
}

int HoldWindow(const char* title, DWORD milliseconds) {
  HWND window = CreateWindowExA(0, "STATIC", title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 200,
                                80, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  if (window == nullptr) {
    return 1;
  }
  std::printf("holding\n");
  std::fflush(stdout);
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < milliseconds) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      DispatchMessageA(&message);
    }
    Sleep(10);
  }
  DestroyWindow(window);
  return 0;
}

// Saves the box as it is on the screen (another process's window surface cannot be read
// directly).
int Shot(const char* path, const char* caption, DWORD timeoutMs) {
  HWND box = WaitForBox(caption, timeoutMs);
  if (box == nullptr) {
    std::printf("no box\n");
    return 1;
  }
  Sleep(300);  // let it paint
  RECT area{};
  GetWindowRect(box, &area);
  const std::string pixels = Render(box, nullptr);  // 32 bits a pixel, bottom-up
  BITMAPINFOHEADER header{};
  header.biSize = sizeof header;
  header.biWidth = area.right - area.left;
  header.biHeight = area.bottom - area.top;
  header.biPlanes = 1;
  header.biBitCount = 32;
  header.biCompression = BI_RGB;

  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof header;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  FILE* out = std::fopen(path, "wb");
  if (out == nullptr) {
    return 1;
  }
  std::fwrite(&file, sizeof file, 1, out);
  std::fwrite(&header, sizeof header, 1, out);
  std::fwrite(pixels.data(), 1, pixels.size(), out);
  return std::fclose(out) == 0 ? 0 : 1;
}

int ProbeTime(unsigned count) {
  LARGE_INTEGER frequency;
  LARGE_INTEGER start;
  LARGE_INTEGER end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  for (unsigned i = 0; i < count; ++i) {
    (void)FindWindowA(nullptr, "Setup");
  }
  QueryPerformanceCounter(&end);
  const double microseconds = 1e6 * static_cast<double>(end.QuadPart - start.QuadPart) /
                              static_cast<double>(frequency.QuadPart);
  std::printf("%.2f\n", microseconds / count);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if ((command == "press" || command == "answer") && argc >= 3) {
    return Press(argv[2], argc > 3 ? argv[3] : kDefaultCaption,
                 argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 20000, command == "answer");
  }
  if (command == "absent") {
    const DWORD wait = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 1000;
    return WaitForBox(argc > 2 ? argv[2] : kDefaultCaption, wait) == nullptr ? 0 : 1;
  }
  if (command == "shot" && argc >= 3) {
    return Shot(argv[2], argc > 3 ? argv[3] : kDefaultCaption,
                argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 20000);
  }
  if (command == "probe-time" && argc == 3) {
    return ProbeTime(std::strtoul(argv[2], nullptr, 10));
  }
  if (command == "hold-window" && argc == 4) {
    return HoldWindow(argv[2], std::strtoul(argv[3], nullptr, 10));
  }
  std::fprintf(stderr,
               "usage: dialog-driver press ok|yes|no [CAPTION] [TIMEOUT_MS]\n"
               "       dialog-driver answer yes|no [CAPTION] [TIMEOUT_MS]\n"
               "       dialog-driver absent [CAPTION] [WAIT_MS]\n"
               "       dialog-driver hold-window TITLE MILLISECONDS\n"
               "       dialog-driver shot FILE.bmp [CAPTION] [TIMEOUT_MS]\n"
               "       dialog-driver probe-time COUNT\n");
  return 2;
}
