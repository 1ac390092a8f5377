#include <vector>

#include "app/error_text.h"
#include "install/install.h"
#include "resource.h"

namespace {

// The buffer size the system is first asked with; a longer path is asked for again in full.
constexpr win::DWORD kPathBufferSize = 268;
constexpr win::DWORD kLongestPath = 32768;

}  // namespace

std::string GetProgramDirectory(CPlatform& platform) {
  std::vector<char> buffer(kPathBufferSize);
  win::DWORD length = 0;
  while (true) {
    length = platform.GetModuleFileNameA(buffer.data(), static_cast<win::DWORD>(buffer.size()));
    // A length that fills the buffer means the path was cut: ask again with more room.
    if (length < buffer.size() || buffer.size() >= kLongestPath) {
      break;
    }
    buffer.resize(buffer.size() * 2);
  }
  if (length == 0 || length >= buffer.size()) {
    return std::string();
  }
  std::string path(buffer.data(), length);
  const size_t lastBackslash = path.rfind('\\');
  if (lastBackslash != std::string::npos) {
    path.erase(lastBackslash + 1);
  }
  return path;
}

bool FindInstallLocations(CPlatform& platform, CProgress& progress, std::string& programDirectory) {
  std::vector<char> buffer(kPathBufferSize);
  if (platform.GetWindowsDirectoryA(buffer.data(), kPathBufferSize) == 0) {
    const win::DWORD error = platform.GetLastError();
    std::string message = platform.LoadStringA(IDS_WINDOWS_DIRECTORY_ERROR);
    CWin32ErrorText errorText;
    message += errorText.SetFromCode(platform, error);
    progress.ShowMessage(message, win::kMbOk);
    return false;
  }
  programDirectory = GetProgramDirectory(platform);
  return true;
}
