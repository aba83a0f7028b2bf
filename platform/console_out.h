// Text for the person at a console. Inside the program text is UTF-8; a console on Windows is
// given it in UTF-16 through its wide output, so that a path in any script shows as written
// whatever the console's code page. Pipes and files get the UTF-8 bytes unchanged.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace platform {

// Writes the text to stream (standard output or standard error), after what the stream holds
// buffered.
void WriteText(std::FILE* stream, std::string_view text);
// printf's format into WriteText, of any length.
void PrintText(std::FILE* stream, const char* format, ...)
#if defined(__MINGW32__)  // the C library's own printf, as the C++ library uses it there
    __attribute__((format(gnu_printf, 2, 3)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void PrintTextV(std::FILE* stream, const char* format, std::va_list args);

// The UTF-16 a console is given for UTF-8 text. A byte that does not belong to a well-formed
// sequence (a stray continuation byte, an overlong form, a surrogate, a sequence cut short) reads
// as U+FFFD, one per byte, as the system's own conversion does; the rest of the text is kept.
std::u16string Utf16FromUtf8(std::string_view text);

}  // namespace platform
