#include "platform/win32/win32_platform.h"

#include <windows.h>
// <windows.h> maps AnsiToOem and OemToAnsi to other names; the platform methods keep theirs.
#undef AnsiToOem
#undef OemToAnsi

#include "resource.h"

namespace {

// Every registry access goes to the 32-bit view, the one the 32-bit print server uses.
constexpr REGSAM kKeyAccess = KEY_ALL_ACCESS | KEY_WOW64_32KEY;

// win::kHkeyLocalMachine is the 32-bit value of the predefined key. On 64-bit Windows the
// real HKEY_LOCAL_MACHINE is that value sign-extended, so map it explicitly.
HKEY ToHkey(win::HKEY key) {
  if (key == win::kHkeyLocalMachine) {
    return HKEY_LOCAL_MACHINE;
  }
  return reinterpret_cast<HKEY>(key);
}

win::HKEY FromHkey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) {
    return win::kHkeyLocalMachine;
  }
  return reinterpret_cast<win::HKEY>(key);
}

void FillFindData(const WIN32_FIND_DATAA& found, win::FindData& data) {
  data.attributes = found.dwFileAttributes;
  data.size = (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
  data.name = found.cFileName;
}

// Converts text from one code page to another through UTF-16; the text as it is when the
// system cannot convert it.
std::string ConvertCodePage(std::string_view text, UINT from, UINT to) {
  if (text.empty()) {
    return {};
  }
  const int inLength = static_cast<int>(text.size());
  const int wideLength = ::MultiByteToWideChar(from, 0, text.data(), inLength, nullptr, 0);
  if (wideLength <= 0) {
    return std::string(text);
  }
  std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
  ::MultiByteToWideChar(from, 0, text.data(), inLength, wide.data(), wideLength);
  const int outLength =
      ::WideCharToMultiByte(to, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
  if (outLength <= 0) {
    return std::string(text);
  }
  std::string out(static_cast<std::size_t>(outLength), '\0');
  ::WideCharToMultiByte(to, 0, wide.data(), wideLength, out.data(), outLength, nullptr, nullptr);
  return out;
}

// Closes a handle while keeping the last error of the failure that made us close it.
void CloseKeepingError(HANDLE handle) {
  const DWORD error = ::GetLastError();
  ::CloseHandle(handle);
  ::SetLastError(error);
}

class CWin32WriteFile final : public CWriteFile {
 public:
  explicit CWin32WriteFile(HANDLE handle) : handle_(handle) {}
  CWin32WriteFile(const CWin32WriteFile&) = delete;
  CWin32WriteFile& operator=(const CWin32WriteFile&) = delete;
  ~CWin32WriteFile() override { Close(); }

  bool Write(const void* data, win::DWORD size) override {
    if (handle_ == INVALID_HANDLE_VALUE) {
      ::SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    DWORD written = 0;
    if (!::WriteFile(handle_, data, size, &written, nullptr)) {
      return false;
    }
    if (written != size) {
      // A short write without an error: the disk has no room for the rest.
      ::SetLastError(ERROR_DISK_FULL);
      return false;
    }
    return true;
  }

  bool Truncate(std::uint64_t size) override {
    if (handle_ == INVALID_HANDLE_VALUE) {
      ::SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(size);
    return ::SetFilePointerEx(handle_, position, nullptr, FILE_BEGIN) != FALSE &&
           ::SetEndOfFile(handle_) != FALSE;
  }

  bool Flush() override {
    if (handle_ == INVALID_HANDLE_VALUE) {
      ::SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    return ::FlushFileBuffers(handle_) != FALSE;
  }

  bool Close() override {
    if (handle_ == INVALID_HANDLE_VALUE) {
      return true;
    }
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return ::CloseHandle(handle) != FALSE;
  }

 private:
  HANDLE handle_;
};

}  // namespace

// The running dialog: its window, its client and its icon.
//
// The stages run inside the handler of the start message and take minutes on a large print
// server. Windows calls a window whose thread has taken no message for 5 seconds "Not
// Responding" and, from Vista on, puts a ghost in its place; an administrator who sees that in
// the middle of an upgrade ends the task. So while the stages run, every refresh of the lines
// lets the thread take the messages sent to it and paints what needs it (KeepAnswering), still
// on the one thread and between the same steps. Nothing that can arrive then ends the dialog or
// starts the stages again: the close commands and the start message are ignored until the
// stages return, and keys and clicks in the window are dropped.
//
// DisableProcessWindowsGhosting is not called. It would not keep Task Manager from showing "Not
// Responding" (IsHungAppWindow), which is what leads to the task being ended. With the window
// answering between steps, a ghost comes only when a single step really stalls for 5 seconds
// (a copy from a network share that hangs), and then the ghost is the one thing that still
// lets the administrator move the window away. It is documented from Windows XP on, but the
// release's export list does not carry it; calling it would mean looking it up at run time.
struct CWin32Platform::Dialog {
  explicit Dialog(CDialogClient& c) : client(c) {}

  static INT_PTR CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  // Runs the stages once, with the close box greyed while they run.
  void RunStages();
  // Between two steps of the stages: delivers the messages sent to the thread's windows (the
  // hang test's WM_NULL among them), takes the queued input (the frame's mouse input is
  // handled, keys and clicks in the window are dropped), and paints what needs it.
  void KeepAnswering();
  // Greys or enables Close in the system menu, and with it the close box.
  void AllowClose(bool allow);
  // Draws the icon centred in the client area of the minimised window.
  void PaintIconic();

  CDialogClient& client;
  HWND hwnd = nullptr;
  HICON icon = nullptr;
  bool stagesRunning = false;
};

CWin32Platform::CWin32Platform(void* instance) : instance_(instance) {}

CWin32Platform::~CWin32Platform() = default;

// ---- Errors and texts

win::DWORD CWin32Platform::GetLastError() {
  return ::GetLastError();
}

void CWin32Platform::SetLastError(win::DWORD code) {
  ::SetLastError(code);
}

bool CWin32Platform::FormatSystemMessage(win::DWORD code, win::DWORD languageId,
                                         std::string& text) {
  char* buffer = nullptr;
  // No arguments are passed, so inserts such as %1 must be left as they are: without
  // FORMAT_MESSAGE_IGNORE_INSERTS the system would read arguments that are not there.
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, languageId, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  if (length == 0) {
    return false;
  }
  text.assign(buffer, length);
  ::LocalFree(buffer);
  return true;
}

std::string CWin32Platform::LoadStringA(win::UINT id) {
  char buffer[4096];
  const int length =
      ::LoadStringA(static_cast<HINSTANCE>(instance_), id, buffer, static_cast<int>(sizeof buffer));
  if (length <= 0) {
    return {};
  }
  return std::string(buffer, static_cast<std::size_t>(length));
}

std::string CWin32Platform::AnsiToOem(std::string_view text) {
  return ConvertCodePage(text, CP_ACP, CP_OEMCP);
}

std::string CWin32Platform::OemToAnsi(std::string_view text) {
  return ConvertCodePage(text, CP_OEMCP, CP_ACP);
}

bool CWin32Platform::Is64BitWindows() {
#ifdef _WIN64
  return true;
#else
  // A 32-bit process learns it from IsWow64Process, looked up at run time so that a system
  // without it (before XP SP2) still starts the program.
  using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
  const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  const auto isWow64Process = reinterpret_cast<IsWow64ProcessFunction>(
      reinterpret_cast<void*>(::GetProcAddress(kernel, "IsWow64Process")));
  BOOL wow64 = FALSE;
  return isWow64Process != nullptr && isWow64Process(::GetCurrentProcess(), &wow64) && wow64;
#endif
}

// ---- Locations

win::UINT CWin32Platform::GetWindowsDirectoryA(char* buffer, win::UINT size) {
  return ::GetWindowsDirectoryA(buffer, size);
}

win::DWORD CWin32Platform::GetModuleFileNameA(char* buffer, win::DWORD size) {
  return ::GetModuleFileNameA(static_cast<HMODULE>(instance_), buffer, size);
}

win::DWORD CWin32Platform::GetFullPathNameA(const char* path, char* buffer, win::DWORD size) {
  return ::GetFullPathNameA(path, size, buffer, nullptr);
}

win::DWORD CWin32Platform::GetShortPathNameA(const char* longPath, char* buffer, win::DWORD size) {
  return ::GetShortPathNameA(longPath, buffer, size);
}

// ---- Registry

win::LONG CWin32Platform::RegCreateKeyExA(win::HKEY key, const char* subKey, win::HKEY* result) {
  HKEY created = nullptr;
  const LONG status = ::RegCreateKeyExA(ToHkey(key), subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                        kKeyAccess, nullptr, &created, nullptr);
  if (result != nullptr) {
    *result = status == ERROR_SUCCESS ? FromHkey(created) : 0;
  }
  return status;
}

win::LONG CWin32Platform::RegOpenKeyExA(win::HKEY key, const char* subKey, win::HKEY* result) {
  HKEY opened = nullptr;
  const LONG status = ::RegOpenKeyExA(ToHkey(key), subKey, 0, kKeyAccess, &opened);
  if (result != nullptr) {
    *result = status == ERROR_SUCCESS ? FromHkey(opened) : 0;
  }
  return status;
}

win::LONG CWin32Platform::RegQueryInfoKeyA(win::HKEY key, win::DWORD* subKeys,
                                           win::DWORD* maxSubKeyLen) {
  DWORD count = 0;
  DWORD maxLength = 0;
  const LONG status = ::RegQueryInfoKeyA(ToHkey(key), nullptr, nullptr, nullptr, &count, &maxLength,
                                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  if (status == ERROR_SUCCESS) {
    if (subKeys != nullptr) {
      *subKeys = count;
    }
    if (maxSubKeyLen != nullptr) {
      *maxSubKeyLen = maxLength;
    }
  }
  return status;
}

win::LONG CWin32Platform::RegEnumKeyExA(win::HKEY key, win::DWORD index, char* name,
                                        win::DWORD* nameLength) {
  DWORD length = nameLength != nullptr ? *nameLength : 0;
  const LONG status = ::RegEnumKeyExA(ToHkey(key), index, name, nameLength ? &length : nullptr,
                                      nullptr, nullptr, nullptr, nullptr);
  if (nameLength != nullptr) {
    *nameLength = length;
  }
  return status;
}

win::LONG CWin32Platform::RegQueryValueExA(win::HKEY key, const char* valueName, win::DWORD* type,
                                           unsigned char* data, win::DWORD* dataSize) {
  DWORD valueType = 0;
  DWORD size = dataSize != nullptr ? *dataSize : 0;
  const LONG status = ::RegQueryValueExA(ToHkey(key), valueName, nullptr, &valueType, data,
                                         dataSize != nullptr ? &size : nullptr);
  if (type != nullptr) {
    *type = valueType;
  }
  if (dataSize != nullptr) {
    *dataSize = size;
  }
  return status;
}

win::LONG CWin32Platform::RegSetValueExA(win::HKEY key, const char* valueName, win::DWORD type,
                                         const unsigned char* data, win::DWORD dataSize) {
  return ::RegSetValueExA(ToHkey(key), valueName, 0, type, data, dataSize);
}

win::LONG CWin32Platform::RegEnumValueA(win::HKEY key, win::DWORD index, char* name,
                                        win::DWORD* nameLength, win::DWORD* type,
                                        unsigned char* data, win::DWORD* dataSize) {
  DWORD length = nameLength != nullptr ? *nameLength : 0;
  DWORD valueType = 0;
  DWORD size = dataSize != nullptr ? *dataSize : 0;
  const LONG status =
      ::RegEnumValueA(ToHkey(key), index, name, nameLength != nullptr ? &length : nullptr, nullptr,
                      &valueType, data, dataSize != nullptr ? &size : nullptr);
  if (nameLength != nullptr) {
    *nameLength = length;
  }
  if (type != nullptr) {
    *type = valueType;
  }
  if (dataSize != nullptr) {
    *dataSize = size;
  }
  return status;
}

win::LONG CWin32Platform::RegDeleteKeyA(win::HKEY key, const char* subKey) {
  // A subkey of a handle opened in the 32-bit view lies in that view too.
  return ::RegDeleteKeyA(ToHkey(key), subKey);
}

win::LONG CWin32Platform::RegFlushKey(win::HKEY key) {
  return ::RegFlushKey(ToHkey(key));
}

win::LONG CWin32Platform::RegCloseKey(win::HKEY key) {
  return ::RegCloseKey(ToHkey(key));
}

// ---- Profile reading

win::DWORD CWin32Platform::GetPrivateProfileStringA(const char* section, const char* key,
                                                    const char* defaultValue, char* buffer,
                                                    win::DWORD size, const char* fileName) {
  return ::GetPrivateProfileStringA(section, key, defaultValue, buffer, size, fileName);
}

win::UINT CWin32Platform::GetPrivateProfileIntA(const char* section, const char* key,
                                                int defaultValue, const char* fileName) {
  return ::GetPrivateProfileIntA(section, key, defaultValue, fileName);
}

// ---- Files

bool CWin32Platform::CreateDirectoryA(const char* path) {
  return ::CreateDirectoryA(path, nullptr) != FALSE;
}

bool CWin32Platform::CopyFileA(const char* existing, const char* target, bool failIfExists) {
  return ::CopyFileA(existing, target, failIfExists ? TRUE : FALSE) != FALSE;
}

bool CWin32Platform::DeleteFileA(const char* path) {
  return ::DeleteFileA(path) != FALSE;
}

bool CWin32Platform::MoveFileExA(const char* existing, const char* target, bool replaceExisting) {
  return ::MoveFileExA(existing, target, replaceExisting ? MOVEFILE_REPLACE_EXISTING : 0) != FALSE;
}

win::DWORD CWin32Platform::GetFileAttributesA(const char* path) {
  return ::GetFileAttributesA(path);
}

bool CWin32Platform::SetFileAttributesA(const char* path, win::DWORD attributes) {
  return ::SetFileAttributesA(path, attributes) != FALSE;
}

win::HFIND CWin32Platform::FindFirstFileA(const char* pattern, win::FindData& data) {
  WIN32_FIND_DATAA found{};
  const HANDLE find = ::FindFirstFileA(pattern, &found);
  if (find == INVALID_HANDLE_VALUE) {
    return win::kInvalidFind;
  }
  FillFindData(found, data);
  return reinterpret_cast<win::HFIND>(find);
}

bool CWin32Platform::FindNextFileA(win::HFIND find, win::FindData& data) {
  WIN32_FIND_DATAA found{};
  if (!::FindNextFileA(reinterpret_cast<HANDLE>(find), &found)) {
    return false;
  }
  FillFindData(found, data);
  return true;
}

bool CWin32Platform::FindClose(win::HFIND find) {
  return ::FindClose(reinterpret_cast<HANDLE>(find)) != FALSE;
}

bool CWin32Platform::FlushFiles(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      return false;
    }
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // FlushFileBuffers needs a handle with write access; sharing everything lets it open a file
    // that another handle (or the system's cache) still holds.
    const HANDLE file = ::CreateFileA(
        path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, directory ? FILE_FLAG_BACKUP_SEMANTICS : 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      return false;
    }
    const bool flushed = ::FlushFileBuffers(file) != FALSE;
    CloseKeepingError(file);
    if (!flushed) {
      // A directory's entries are what FAT needs flushed; NTFS writes names and deletes to its
      // journal in the order they were made, so a file system that has no flush for a
      // directory loses no order by it.
      const DWORD error = ::GetLastError();
      if (directory && (error == ERROR_INVALID_FUNCTION || error == ERROR_INVALID_PARAMETER ||
                        error == ERROR_NOT_SUPPORTED)) {
        continue;
      }
      return false;
    }
  }
  return true;
}

bool CWin32Platform::ReadWholeFile(const char* path, std::string& data) {
  const HANDLE file = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  std::string content;
  char chunk[65536];
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(file, chunk, sizeof chunk, &read, nullptr)) {
      CloseKeepingError(file);
      return false;
    }
    if (read == 0) {
      break;
    }
    content.append(chunk, read);
  }
  ::CloseHandle(file);
  data = std::move(content);
  return true;
}

std::unique_ptr<CWriteFile> CWin32Platform::CreateWriteFile(const char* path) {
  const HANDLE file =
      ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  return std::make_unique<CWin32WriteFile>(file);
}

std::unique_ptr<CWriteFile> CWin32Platform::OpenAppendFile(const char* path) {
  const HANDLE file =
      ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  if (!::SetFilePointerEx(file, zero, nullptr, FILE_END)) {
    CloseKeepingError(file);
    return nullptr;
  }
  return std::make_unique<CWin32WriteFile>(file);
}

// ---- Dialog host

INT_PTR CALLBACK CWin32Platform::Dialog::Proc(HWND hwnd, UINT message, WPARAM wParam,
                                              LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    ::SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
  }
  auto* platform = reinterpret_cast<CWin32Platform*>(::GetWindowLongPtrA(hwnd, DWLP_USER));
  if (platform == nullptr || !platform->dialog_) {
    return FALSE;
  }
  Dialog& dialog = *platform->dialog_;

  switch (message) {
    case WM_INITDIALOG:
      dialog.hwnd = hwnd;
      return dialog.client.OnInitDialog() ? TRUE : FALSE;

    case WM_CHECK_INSTALLATION:
      // A start message that arrives while the stages run (sent by another program and taken
      // between two steps, or posted and dispatched by a message box's loop) is dropped: the
      // stages never run inside themselves.
      if (!dialog.stagesRunning) {
        dialog.RunStages();
      }
      ::SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, 0);
      return TRUE;

    case WM_PAINT:
      if (::IsIconic(hwnd)) {
        dialog.PaintIconic();
        return TRUE;
      }
      return FALSE;

    case WM_QUERYDRAGICON:
      // A dialog procedure returns such a message's result directly.
      return reinterpret_cast<INT_PTR>(dialog.icon);

    case WM_COMMAND:
      // Escape and Enter come as Cancel and OK; while the stages run they end nothing.
      if (dialog.stagesRunning && (LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == IDOK)) {
        return TRUE;
      }
      if (LOWORD(wParam) == IDCANCEL) {
        ::EndDialog(hwnd, IDCANCEL);
        return TRUE;
      }
      return FALSE;

    case WM_SYSCOMMAND:
      // The close box, Alt+F4 and Close in the system menu, also when another program sends it.
      if (dialog.stagesRunning && (wParam & 0xFFF0) == SC_CLOSE) {
        ::SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, 0);
        return TRUE;
      }
      return FALSE;

    case WM_CLOSE:
      if (!dialog.stagesRunning) {
        ::EndDialog(hwnd, IDCANCEL);
      }
      return TRUE;

    case WM_SETCURSOR:
      // The arrow with the hourglass over the window while the stages run.
      if (dialog.stagesRunning && LOWORD(lParam) == HTCLIENT) {
        ::SetCursor(::LoadCursorA(nullptr, IDC_APPSTARTING));
        ::SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, TRUE);
        return TRUE;
      }
      return FALSE;

    default:
      return FALSE;
  }
}

void CWin32Platform::Dialog::RunStages() {
  // Also when a stage throws: the dialog must not stay in the running state.
  struct Running {
    explicit Running(Dialog& d) : dialog(d) {
      dialog.stagesRunning = true;
      dialog.AllowClose(false);
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    ~Running() {
      dialog.stagesRunning = false;
      dialog.AllowClose(true);
    }
    Dialog& dialog;
  } running(*this);
  client.OnCheckInstallation();
}

void CWin32Platform::Dialog::KeepAnswering() {
  MSG message;
  // Any PeekMessage call delivers the messages sent to the thread's windows; PM_NOREMOVE leaves
  // the posted ones in the queue. It also tells the system that the thread takes messages.
  if (::PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE)) {
    // Something is queued. Input left waiting in the queue is what the hang detection of Vista
    // and later times, so take it off: keys and clicks in the window mean nothing while the
    // stages run and are dropped; the frame's mouse input is handled, so that the caption moves
    // the window (the stages wait while it is dragged) and the close box shows greyed. Posted
    // messages stay until the dialog's loop takes them after the stages.
    static const struct {
      UINT first;
      UINT last;
      bool handled;
    } kInput[] = {{WM_KEYFIRST, WM_KEYLAST, false},
                  {WM_MOUSEFIRST, WM_MOUSELAST, false},
                  {WM_NCMOUSEMOVE, WM_NCXBUTTONDBLCLK, true}};
    for (const auto& input : kInput) {
      // Bounded: input that keeps coming must not hold up the stages.
      for (int i = 0;
           i < 256 && ::PeekMessageA(&message, nullptr, input.first, input.last, PM_REMOVE); ++i) {
        if (input.handled) {
          ::DispatchMessageA(&message);
        }
      }
    }
  }
  ::RedrawWindow(hwnd, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

void CWin32Platform::Dialog::AllowClose(bool allow) {
  if (!::IsWindow(hwnd)) {
    return;
  }
  const HMENU menu = ::GetSystemMenu(hwnd, FALSE);
  if (menu != nullptr) {
    ::EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | (allow ? MF_ENABLED : MF_GRAYED));
  }
}

void CWin32Platform::Dialog::PaintIconic() {
  PAINTSTRUCT paint;
  const HDC dc = ::BeginPaint(hwnd, &paint);
  ::SendMessageA(hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int iconWidth = ::GetSystemMetrics(SM_CXICON);
  const int iconHeight = ::GetSystemMetrics(SM_CYICON);
  RECT client;
  ::GetClientRect(hwnd, &client);
  const int x = (client.right - client.left - iconWidth + 1) / 2;
  const int y = (client.bottom - client.top - iconHeight + 1) / 2;
  if (icon != nullptr) {
    ::DrawIcon(dc, x, y, icon);
  }
  ::EndPaint(hwnd, &paint);
}

int CWin32Platform::DoModal(CDialogClient& client) {
  dialog_ = std::make_unique<Dialog>(client);
  const HINSTANCE instance = static_cast<HINSTANCE>(instance_);
  dialog_->icon = ::LoadIconA(instance, MAKEINTRESOURCEA(IDR_MAINFRAME));
  const INT_PTR result = ::DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_CHECKVELA_DIALOG),
                                           nullptr, &Dialog::Proc, reinterpret_cast<LPARAM>(this));
  dialog_.reset();
  return static_cast<int>(result);
}

void CWin32Platform::SetDialogIcons() {
  if (!dialog_ || dialog_->hwnd == nullptr) {
    return;
  }
  dialog_->icon = ::LoadIconA(static_cast<HINSTANCE>(instance_), MAKEINTRESOURCEA(IDR_MAINFRAME));
  ::SendMessageA(dialog_->hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(dialog_->icon));
  ::SendMessageA(dialog_->hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(dialog_->icon));
}

void CWin32Platform::PostCheckInstallation() {
  if (dialog_ && dialog_->hwnd != nullptr) {
    ::PostMessageA(dialog_->hwnd, WM_CHECK_INSTALLATION, 0, 0);
  }
}

void CWin32Platform::SetDlgItemTextA(int controlId, const std::string& text) {
  if (!dialog_ || dialog_->hwnd == nullptr) {
    return;
  }
  ::SetDlgItemTextA(dialog_->hwnd, controlId, text.c_str());
  // The stages do not return to the dialog's loop: paint the new text now.
  const HWND control = ::GetDlgItem(dialog_->hwnd, controlId);
  ::UpdateWindow(control != nullptr ? control : dialog_->hwnd);
  if (dialog_->stagesRunning) {
    dialog_->KeepAnswering();
  }
}

std::string CWin32Platform::GetDlgItemTextA(int controlId) {
  if (!dialog_ || dialog_->hwnd == nullptr) {
    return {};
  }
  const HWND control = ::GetDlgItem(dialog_->hwnd, controlId);
  if (control == nullptr) {
    return {};
  }
  const int length = ::GetWindowTextLengthA(control);
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  const int copied = ::GetWindowTextA(control, text.data(), length + 1);
  text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
  return text;
}

void CWin32Platform::EndDialog(int result) {
  if (dialog_ && dialog_->hwnd != nullptr) {
    ::EndDialog(dialog_->hwnd, result);
  }
}

std::string CWin32Platform::ApplicationTitle() {
  char path[MAX_PATH + 1];
  const DWORD length =
      ::GetModuleFileNameA(static_cast<HMODULE>(instance_), path, static_cast<DWORD>(sizeof path));
  if (length == 0 || length >= sizeof path) {
    return "CheckVela";
  }
  std::string title(path, length);
  const std::size_t slash = title.find_last_of("\\/");
  if (slash != std::string::npos) {
    title.erase(0, slash + 1);
  }
  const std::size_t dot = title.rfind('.');
  if (dot != std::string::npos) {
    title.erase(dot);
  }
  return title;
}

int CWin32Platform::MessageBoxA(const std::string& text, win::UINT type) {
  UINT style = type;
  // The program's message boxes show the exclamation mark unless another icon is asked for.
  if ((style & MB_ICONMASK) == 0) {
    style |= MB_ICONEXCLAMATION;
  }
  style |= MB_OK;
  const HWND owner = dialog_ ? dialog_->hwnd : nullptr;
  const std::string title = ApplicationTitle();
  return ::MessageBoxA(owner, text.c_str(), title.c_str(), style);
}
