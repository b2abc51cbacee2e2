// What tools/wine-smoke.sh runs beside the setup program on Windows (under Wine): checks of the
// program's own services on the real API, and a hand that drives the setup window from outside,
// through the messages a person's mouse would send. Not shipped.
//
//   velund-wine-smoke resources EXE      the six RCDATA resources of EXE, found by name
//   velund-wine-smoke run                RunCommand: no exit code, file not found, exit code 5
//   velund-wine-smoke folders DIR        CopyFolder and DeleteFolder under DIR
//   velund-wine-smoke exit N             ends with exit code N (a program for `run` to start)
//   velund-wine-smoke wait-window SECS   waits for the setup window to show its captions; prints
//                                        its rectangle and its controls' classes, texts,
//                                        visibility, bounds and window styles
//   velund-wine-smoke click-flag         clicks the flag picture (switches the language)
//   velund-wine-smoke click-second-tab   clicks the page control's second tab
//   velund-wine-smoke click TEXT         clicks the button or check box captioned TEXT; prints
//                                        "checked: 0|1" as the box shows it afterwards
//   velund-wine-smoke close              the window's close button (WM_CLOSE)
//
// Every check prints one line "ok: ..." or "FAIL: ..."; the exit code is the number of failures
// (2 for a usage error). Texts are written as UTF-8.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32_types.h"  // windows.h with the W forms, as the program has it

#include <commctrl.h>

#include "app/console_log.h"
#include "platform/seam.h"
#include "platform/windows/wide.h"

#include <shellapi.h>
#include "sys/command_runner.h"
#include "sys/folder_operations.h"

namespace {

int failures = 0;

void Check(bool good, const std::string& what) {
  std::printf("%s: %s\n", good ? "ok" : "FAIL", what.c_str());
  std::fflush(stdout);
  if (!good) ++failures;
}

std::string Number(unsigned long value) {
  char text[16];
  std::snprintf(text, sizeof text, "%lu", value);
  return text;
}

// ---- Resources ----------------------------------------------------------------------------

struct Resource {
  std::string name;
  std::vector<unsigned char> bytes;
  bool found = false;
};

Resource ReadResource(HMODULE module, const std::string& name) {
  Resource resource{name, {}, false};
  HRSRC found = win::FindResourceW(module, name, RT_RCDATA);
  if (found == nullptr) return resource;
  HGLOBAL loaded = win::LoadResource(module, found);
  const DWORD size = win::SizeofResource(module, found);
  const auto* data = static_cast<const unsigned char*>(win::LockResource(loaded));
  if (data == nullptr) return resource;
  resource.bytes.assign(data, data + size);
  resource.found = true;
  win::FreeResource(loaded);
  return resource;
}

bool StartsWith(const std::vector<unsigned char>& bytes, const void* prefix, std::size_t size) {
  return bytes.size() >= size && std::memcmp(bytes.data(), prefix, size) == 0;
}

// A Windows bitmap file of `width` x `height` pixels at 8 bits, as the flags are.
bool IsFlagBitmap(const std::vector<unsigned char>& bytes, long width, long height) {
  if (bytes.size() < sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) || bytes[0] != 'B' ||
      bytes[1] != 'M') {
    return false;
  }
  BITMAPINFOHEADER info{};
  std::memcpy(&info, bytes.data() + sizeof(BITMAPFILEHEADER), sizeof info);
  return info.biWidth == width && std::labs(info.biHeight) == height && info.biBitCount == 8;
}

// 7-Zip's library for the 32-bit program: a PE DLL for i386 that exports CreateObject.
bool IsArchiveLibrary(const std::vector<unsigned char>& bytes) {
  if (!StartsWith(bytes, "MZ", 2) || bytes.size() < 0x40) return false;
  std::uint32_t pe = 0;
  std::memcpy(&pe, bytes.data() + 0x3C, sizeof pe);
  if (pe + 24 > bytes.size() || std::memcmp(bytes.data() + pe, "PE\0\0", 4) != 0) return false;
  std::uint16_t machine = 0, characteristics = 0;
  std::memcpy(&machine, bytes.data() + pe + 4, sizeof machine);
  std::memcpy(&characteristics, bytes.data() + pe + 22, sizeof characteristics);
  const std::string all(bytes.begin(), bytes.end());
  return machine == IMAGE_FILE_MACHINE_I386 && (characteristics & IMAGE_FILE_DLL) != 0 &&
         all.find("CreateObject") != std::string::npos;
}

// Loads a library by its bare name through the standard search order, as an import would be
// found; prints "loaded: 1" or "loaded: 0".
int LoadByName(const std::string& name) {
  HMODULE module = LoadLibraryW(win::detail::Wide(name).c_str());
  std::printf("loaded: %d\n", module != nullptr ? 1 : 0);
  return 0;
}

int Resources(const std::string& exe) {
  HMODULE module = LoadLibraryExW(win::detail::Wide(exe).c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  Check(module != nullptr, "the executable opens as a resource module (" + exe + ")");
  if (module == nullptr) return failures;

  const Resource en = ReadResource(module, "EN_US"), vi = ReadResource(module, "VI_VN");
  const std::string strings = "[Strings]\r\n";
  Check(en.found && StartsWith(en.bytes, strings.data(), strings.size()),
        "EN_US is found and is a table of strings (" + Number(en.bytes.size()) + " bytes)");
  Check(vi.found && StartsWith(vi.bytes, strings.data(), strings.size()),
        "VI_VN is found and is a table of strings (" + Number(vi.bytes.size()) + " bytes)");
  const std::string install = "Install=Cài đặt";
  Check(std::string(vi.bytes.begin(), vi.bytes.end()).find(install) != std::string::npos,
        "VI_VN holds its texts in UTF-8");

  const Resource enFlag = ReadResource(module, "EN_US_BMP");
  const Resource viFlag = ReadResource(module, "VI_VN_BMP");
  Check(enFlag.found && enFlag.bytes.size() == 1782 && IsFlagBitmap(enFlag.bytes, 32, 22),
        "EN_US_BMP is found: a 32 x 22 bitmap of 1782 bytes");
  Check(viFlag.found && viFlag.bytes.size() == 1846 && IsFlagBitmap(viFlag.bytes, 32, 24),
        "VI_VN_BMP is found: a 32 x 24 bitmap of 1846 bytes");

  const Resource library = ReadResource(module, "7zDLL");
  Check(library.found && IsArchiveLibrary(library.bytes),
        "7zDLL is found: a 32-bit DLL that exports CreateObject (" + Number(library.bytes.size()) +
            " bytes)");
  const Resource archive = ReadResource(module, "KYR7z");
  const unsigned char signature[] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
  Check(archive.found && StartsWith(archive.bytes, signature, sizeof signature),
        "KYR7z is found: a 7z archive (" + Number(archive.bytes.size()) + " bytes)");

  // Names are matched without regard to letter case, as the language load relies on.
  const Resource lower = ReadResource(module, "vi_vn_bmp");
  Check(lower.found && lower.bytes == viFlag.bytes, "vi_vn_bmp finds VI_VN_BMP");
  Check(!ReadResource(module, "FR_FR").found, "a name the executable lacks finds nothing");
  FreeLibrary(module);
  return failures;
}

// ---- Commands -----------------------------------------------------------------------------

std::string OwnPath() {
  std::wstring path(MAX_PATH, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), MAX_PATH);
  path.resize(length);
  return win::detail::Narrow(path);
}

int Run() {
  const std::string self = "\"" + OwnPath() + "\"";
  DWORD code = 0;

  bool started = RunCommand(self + " exit 5", true, SW_HIDE, code, true);
  Check(started && code == 5, "a command that ends with exit code 5: started, exit code " +
                                  Number(code));
  started = RunCommand("cmd.exe /C exit 5", true, SW_HIDE, code, true);
  Check(started && code == 5, "cmd.exe /C exit 5: started, exit code " + Number(code));

  started = RunCommand(self + " exit 3", false, SW_SHOWNORMAL, code, false);
  Check(started && code == kNoExitCode,
        "a command started without waiting: started, exit code " + Number(code) + " (none)");

  code = 0;
  started = RunCommand("velund-no-such-program.exe /x", true, SW_HIDE, code, true);
  Check(!started && code == ERROR_FILE_NOT_FOUND,
        "a program that does not exist: not started, exit code " + Number(code));
  // The status line shows the reason as the system words it, without its final period and
  // line break.
  const std::string text = SystemErrorText(code);
  Check(!text.empty() && text.back() != '.' && text.find('\n') == std::string::npos &&
            text.find('\r') == std::string::npos,
        "its status text has no trailing period or line break: \"" + text + "\"");
  return failures;
}

// ---- Folders ------------------------------------------------------------------------------

bool Exists(const std::string& path) { return win::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

bool WriteText(const std::string& path, const std::string& text) {
  HANDLE file = win::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool good = win::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written,
                                   nullptr) && written == text.size();
  win::CloseHandle(file);
  return good;
}

std::string ReadText(const std::string& path) {
  HANDLE file = win::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string text(4096, '\0');
  DWORD read = 0;
  win::ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
  win::CloseHandle(file);
  text.resize(read);
  return text;
}

int Folders(const std::string& root) {
  const std::string src = root + "\\KYR", dst = root + "\\Stick";
  // A name beyond ASCII: the paths cross the seam as UTF-8 and reach the shell as UTF-16.
  const std::string deep = src + "\\Tools\\Tệp tin";
  const bool made = win::CreateDirectoryW(root, nullptr) && win::CreateDirectoryW(src, nullptr) &&
                    win::CreateDirectoryW(src + "\\Tools", nullptr) &&
                    win::CreateDirectoryW(deep, nullptr) &&
                    WriteText(src + "\\menu.lst", "first\r\n") &&
                    WriteText(deep + "\\Đĩa.txt", "đĩa\r\n");
  Check(made, "a folder tree to copy is made under " + root);
  if (!made) return failures;

  Check(CopyFolder(src, dst), "CopyFolder into a destination that does not exist: true");
  Check(ReadText(dst + "\\menu.lst") == "first\r\n" &&
            ReadText(dst + "\\Tools\\Tệp tin\\Đĩa.txt") == "đĩa\r\n",
        "the copy holds every file, names beyond ASCII included");
  Check(Exists(src + "\\menu.lst"), "the source stays where it was");

  // The install copies onto drives that hold an older copy: files are overwritten, unasked.
  WriteText(src + "\\menu.lst", "second\r\n");
  Check(CopyFolder(src, root + "\\Again"), "CopyFolder once more: true");
  Check(CopyFolder(src, root + "\\Again"), "CopyFolder onto an existing copy: true");
  Check(ReadText(root + "\\Again\\KYR\\menu.lst") == "second\r\n" ||
            ReadText(root + "\\Again\\menu.lst") == "second\r\n",
        "the existing copy's files are overwritten");

  Check(!CopyFolder(root + "\\NoSuchFolder", root + "\\Nowhere"),
        "CopyFolder of a folder that does not exist: false");
  Check(DeleteFolder(dst), "DeleteFolder: true");
  Check(!Exists(dst), "the deleted folder is gone, with everything in it");
  Check(!DeleteFolder(root + "\\NoSuchFolder"), "DeleteFolder of a folder that does not exist: false");
  Check(DeleteFolder(root), "DeleteFolder of the whole work folder: true");
  return failures;
}

// ---- The setup window, from outside -------------------------------------------------------

constexpr wchar_t kFormClass[] = L"VelundOrrinSetupForm";

std::string ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return win::detail::Narrow(name);
}

std::string TextOf(HWND window) {
  // WM_GETTEXT crosses processes; the text comes back in the caller's buffer.
  wchar_t text[512] = {};
  DWORD_PTR length = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                      2000, &length);
  return win::detail::Narrow(text);
}

// A window procedure's calling convention, which a lambda cannot have on 32-bit Windows.
BOOL CALLBACK AddChild(HWND child, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
  return TRUE;
}

std::vector<HWND> Children(HWND form) {
  std::vector<HWND> children;
  EnumChildWindows(form, &AddChild, reinterpret_cast<LPARAM>(&children));
  return children;
}

HWND FindForm() { return FindWindowW(kFormClass, nullptr); }

// The Install button's caption is set by the language load; the window is complete once it is
// on screen with it.
bool Ready(HWND form) {
  if (form == nullptr || !IsWindowVisible(form)) return false;
  for (HWND child : Children(form)) {
    const LONG style = GetWindowLongW(child, GWL_STYLE);
    if (ClassOf(child) == "Button" && (style & BS_TYPEMASK) == BS_PUSHBUTTON &&
        !TextOf(child).empty()) {
      return true;
    }
  }
  return false;
}

int WaitWindow(int seconds) {
  HWND form = nullptr;
  for (int waited = 0; waited < seconds * 10; ++waited) {
    form = FindForm();
    if (Ready(form)) break;
    form = nullptr;
    Sleep(100);
  }
  Check(form != nullptr, "the setup window shows its captions");
  if (form == nullptr) return failures;
  Sleep(500);  // the drive and disk lists follow the captions
  RECT rect{};
  GetWindowRect(form, &rect);
  RECT client{};
  GetClientRect(form, &client);
  std::printf("window: %ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left,
              rect.bottom - rect.top);
  std::printf("client: %ld %ld\n", client.right, client.bottom);
  POINT origin{0, 0};
  ClientToScreen(form, &origin);
  std::printf("origin: %ld %ld\n", origin.x, origin.y);
  std::printf("caption: %s\n", TextOf(form).c_str());
  std::printf("enabled: %d\n", IsWindowEnabled(form) ? 1 : 0);
  for (HWND child : Children(form)) {
    RECT bounds{};
    GetWindowRect(child, &bounds);
    MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(&bounds), 2);
    std::printf("control: %s|%s|%d|%ld %ld %ld %ld|%08lx %08lx\n", ClassOf(child).c_str(),
                TextOf(child).c_str(), IsWindowVisible(child) ? 1 : 0, bounds.left, bounds.top,
                bounds.right - bounds.left, bounds.bottom - bounds.top,
                static_cast<unsigned long>(GetWindowLongW(child, GWL_STYLE)),
                static_cast<unsigned long>(GetWindowLongW(child, GWL_EXSTYLE)));
  }
  std::fflush(stdout);
  return failures;
}

int ClickFlag() {
  HWND form = FindForm();
  HWND flag = nullptr;
  if (form != nullptr) {
    for (HWND child : Children(form)) {
      const LONG style = GetWindowLongW(child, GWL_STYLE);
      if (ClassOf(child) == "Static" && (style & SS_TYPEMASK) == SS_BITMAP) flag = child;
    }
  }
  Check(flag != nullptr, "the flag picture is there to click");
  if (flag == nullptr) return failures;
  PostMessageW(flag, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(4, 4));
  PostMessageW(flag, WM_LBUTTONUP, 0, MAKELPARAM(4, 4));
  return failures;
}

// The second tab begins where the first ends, some 70 pixels in whatever the language; the tab
// control finds which tab lies under the mouse itself.
int ClickSecondTab() {
  HWND form = FindForm();
  HWND tabs = form != nullptr ? FindWindowExW(form, nullptr, WC_TABCONTROLW, nullptr) : nullptr;
  Check(tabs != nullptr, "the page control is there to click");
  if (tabs == nullptr) return failures;
  PostMessageW(tabs, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(140, 12));
  PostMessageW(tabs, WM_LBUTTONUP, 0, MAKELPARAM(140, 12));
  return failures;
}

int ClickButton(const std::string& caption) {
  HWND form = FindForm();
  HWND box = nullptr;
  if (form != nullptr) {
    for (HWND child : Children(form)) {
      if (ClassOf(child) == "Button" && TextOf(child) == caption) box = child;
    }
  }
  Check(box != nullptr, "the button \"" + caption + "\" is there to click");
  if (box == nullptr) return failures;
  // The button presses itself and tells its parent, as for a click of the mouse; the form
  // decides the box's state.
  DWORD_PTR result = 0;
  SendMessageTimeoutW(box, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, &result);
  Sleep(200);
  SendMessageTimeoutW(box, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 5000, &result);
  std::printf("checked: %d\n", result == BST_CHECKED ? 1 : 0);
  return failures;
}

int Close() {
  HWND form = FindForm();
  Check(form != nullptr && PostMessageW(form, WM_CLOSE, 0, 0), "the window is asked to close");
  return failures;
}

}  // namespace

int main() {
  // The arguments as UTF-16, so that captions beyond the ANSI code page come through whole.
  int argc = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> argv;
  for (int i = 0; wide != nullptr && i < argc; ++i) argv.push_back(win::detail::Narrow(wide[i]));
  if (wide != nullptr) LocalFree(wide);
  argc = static_cast<int>(argv.size());

  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "resources" && argc == 3) return Resources(argv[2]);
  if (command == "run" && argc == 2) return Run();
  if (command == "folders" && argc == 3) return Folders(argv[2]);
  if (command == "exit" && argc == 3) return std::atoi(argv[2].c_str());
  if (command == "wait-window" && argc == 3) return WaitWindow(std::atoi(argv[2].c_str()));
  if (command == "click-flag" && argc == 2) return ClickFlag();
  if (command == "click-second-tab" && argc == 2) return ClickSecondTab();
  if (command == "click" && argc == 3) return ClickButton(argv[2]);
  if (command == "close" && argc == 2) return Close();
  if (command == "load-library" && argc == 3) return LoadByName(argv[2]);
  std::fprintf(stderr, "usage: velund-wine-smoke resources EXE | run | folders DIR | exit N |"
                       " wait-window SECONDS | click-flag | click-second-tab | click TEXT | close\n");
  return 2;
}
