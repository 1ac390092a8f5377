#include "profile/ini.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "platform/ansi_text.h"

namespace {

// The buffer that every profile read goes through.
constexpr win::DWORD kBufferSize = 4096;

}  // namespace

CIni::CIni(CPlatform& platform, std::string path)
    : m_strPath(std::move(path)), platform_(&platform) {}

void CIni::SetPath(std::string path) {
  m_strPath = std::move(path);
}

std::string CIni::GetString(const std::string& section, const std::string& key,
                            const char* defaultValue) const {
  // The profile function ends what it copies with a NUL: the buffer needs no filling, and on
  // the stack it costs no allocation (a job's control file is read twenty times).
  char buffer[kBufferSize];
  const win::DWORD count = platform_->GetPrivateProfileStringA(
      section.c_str(), key.c_str(), "", buffer, kBufferSize, m_strPath.c_str());
  if (count > 0) {
    // The text up to its terminating NUL.
    return std::string(buffer, std::find(buffer, buffer + std::min(count, kBufferSize), '\0'));
  }
  return defaultValue != nullptr ? std::string(defaultValue) : std::string();
}

int CIni::GetInt(const std::string& section, const std::string& key, int defaultValue) const {
  return static_cast<int>(platform_->GetPrivateProfileIntA(section.c_str(), key.c_str(),
                                                           defaultValue, m_strPath.c_str()));
}

int CIni::GetSectionKeys(const std::string& section, CStringArray& array) const {
  // On the stack, as in GetString (the list is read twice for every job), and NUL-filled.
  char buffer[kBufferSize] = {};
  const win::DWORD count = platform_->GetPrivateProfileStringA(section.c_str(), nullptr, "", buffer,
                                                               kBufferSize, m_strPath.c_str());
  if (count == 0)
    return 0;
  // NUL-separated names; the list ends at the first empty name. The buffer is NUL-filled, so
  // the walk stops inside it even when the list was cut.
  const char* const end = buffer + kBufferSize;
  for (const char* name = buffer; name < end && *name != '\0';) {
    const char* const stop = std::find(name, end, '\0');
    array.emplace_back(name, stop);
    name = stop + 1;
  }
  return static_cast<int>(array.size());
}

int CIni::GetAllSectionKeys(const std::string& section, CStringArray& array) const {
  // A list that does not fit comes back cut, with size - 2 characters; one that fills the
  // buffer exactly looks the same, so a larger buffer is tried then too.
  constexpr win::DWORD kLargestBuffer = 1U << 30;
  std::string buffer;
  win::DWORD count = 0;
  for (win::DWORD size = kBufferSize;; size *= 2) {
    buffer.assign(size, '\0');
    count = platform_->GetPrivateProfileStringA(section.c_str(), nullptr, "", buffer.data(), size,
                                                m_strPath.c_str());
    if (count + 2 < size || size >= kLargestBuffer) {
      break;
    }
  }
  buffer.resize(count);
  for (std::size_t at = 0; at < buffer.size();) {
    const std::size_t end = std::min(buffer.find('\0', at), buffer.size());
    if (end > at) {
      array.push_back(buffer.substr(at, end - at));
    }
    at = end + 1;
  }
  return static_cast<int>(array.size());
}

int CIni::GetSection(const std::string& section, CMapStringToString& map) const {
  CStringArray names;
  if (GetSectionKeys(section, names) == 0)
    return 0;
  for (const std::string& name : names)
    map[name] = GetString(section, name);
  return static_cast<int>(map.size());
}

void RemoveEntryNoCase(CMapStringToString& map, const std::string& name) {
  for (auto entry = map.begin(); entry != map.end();) {
    entry = ansi::EqualNoCase(entry->first, name) ? map.erase(entry) : std::next(entry);
  }
}

void SetEntryNoCase(CMapStringToString& map, const std::string& name, std::string value) {
  RemoveEntryNoCase(map, name);
  map[name] = std::move(value);
}
