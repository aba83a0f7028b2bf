#include "platform/file_operands.h"

#include <windows.h>

#include <algorithm>

namespace platform {
namespace {

// Texts of the command line are in the process's code page; so are the names handed back.
std::wstring Wide(const std::string& text) {
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Narrow(const wchar_t* wide) {
  const int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string text(static_cast<size_t>(n - 1), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide, -1, text.data(), n, nullptr, nullptr);
  return text;
}

}  // namespace

std::vector<std::string> ExpandFileOperand(const std::string& operand) {
  const size_t name_at = operand.find_last_of("\\/:") + 1;  // npos + 1 is 0: no folder part
  if (operand.find_first_of("*?", name_at) == std::string::npos) return {operand};
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(Wide(operand).c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return {operand};
  std::vector<std::string> names;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;  // ".", ".." and folders
    const std::string name = Narrow(found.cFileName);
    // A name the code page cannot spell would not open: the short name can.
    const bool spelt = name.find('?') == std::string::npos || !found.cAlternateFileName[0];
    names.push_back(spelt ? name : Narrow(found.cAlternateFileName));
  } while (FindNextFileW(find, &found));
  FindClose(find);
  if (names.empty()) return {operand};
  std::sort(names.begin(), names.end());
  for (std::string& name : names) name.insert(0, operand, 0, name_at);
  return names;
}

}  // namespace platform
