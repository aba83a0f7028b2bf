// A console gets the text through WriteConsoleW; anything else (a pipe, a file, a stream whose
// handle is not a console) gets the bytes through the C library, as every other output.
#include "platform/console_out.h"

#include <io.h>
#include <windows.h>

#include <algorithm>

namespace platform {
namespace {

HANDLE ConsoleOf(std::FILE* stream) {
  const int fd = ::_fileno(stream);
  if (fd < 0) return nullptr;
  HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  DWORD mode = 0;
  if (h == INVALID_HANDLE_VALUE || ::GetFileType(h) != FILE_TYPE_CHAR || !::GetConsoleMode(h, &mode)) return nullptr;
  return h;
}

}  // namespace

void WriteText(std::FILE* stream, std::string_view text) {
  HANDLE console = ConsoleOf(stream);
  if (!console) {
    std::fwrite(text.data(), 1, text.size(), stream);
    return;
  }
  std::fflush(stream);  // what the C library holds goes first
  const std::u16string wide = Utf16FromUtf8(text);
  size_t done = 0;
  while (done < wide.size()) {
    // In parts the console takes at once; a part never ends between the two halves of a pair.
    size_t part = std::min<size_t>(wide.size() - done, 8192);
    if (part < wide.size() - done && wide[done + part - 1] >= 0xD800 && wide[done + part - 1] <= 0xDBFF) --part;
    DWORD written = 0;
    if (!::WriteConsoleW(console, reinterpret_cast<const wchar_t*>(wide.data() + done), static_cast<DWORD>(part),
                         &written, nullptr) ||
        written == 0)
      return;
    done += written;
  }
}

}  // namespace platform
