// Text files the user writes (settings, the tracer's configuration, the message-name file), as
// any editor saves them: a UTF-8 byte-order mark at the start is not part of the first line, and
// a UTF-16 file is refused whole rather than read as lines of garbage.
#pragma once

#include <cstdio>
#include <string>

enum TEXT_OPEN_RESULT {
  TEXT_OPEN_OK,
  TEXT_OPEN_FAILED,  // the file did not open: errno says why
  TEXT_OPEN_UTF16,   // the file opened but holds UTF-16 text; it is closed again
};

// Opens a text file to read with fopen's mode, positioned after a UTF-8 byte-order mark when it
// starts with one. Null unless the result is TEXT_OPEN_OK.
std::FILE* cmTextFileOpen(const char* path, const char* mode, TEXT_OPEN_RESULT* result);

// True when the start of a file (its first bytes) is UTF-16: a UTF-16 byte-order mark, or a NUL
// in every second byte.
bool cmTextIsUtf16(const unsigned char* start, size_t n);

// "'PATH' is UTF-16 text: save it as UTF-8 or ANSI", the refusal of such a file.
std::string cmTextUtf16Refusal(const char* path);
// The refusal on standard error ("halvern: " first); the run's reason becomes the file's.
void cmTellUtf16(const char* path);
