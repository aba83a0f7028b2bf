// Settings files of param_set and param_get: the line reader, the line parser and the
// output file's name.
//
// A parameter line is ADDRESS ":" FORMAT ":" FIELD. ADDRESS is "0x" and up to four hex
// digits when the second character is "x", a decimal number otherwise; FORMAT is "b" (one
// byte), "w" (two bytes) or "a" (array). A line whose first character is "#" or a blank or
// control character is a comment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "session/fwapp.h"

// The longest piece of a line handled at a time, its newline included; a longer line comes
// in several pieces, each handled as a line of its own.
constexpr size_t PARAM_LINE_PIECE = 255;

enum PARAM_LINE_KIND {
  PARAM_LINE_COMMENT,       // echoed unchanged
  PARAM_LINE_REQUEST,       // address, format, length and field are set
  PARAM_LINE_WRONG_FORMAT,  // FORMAT is none of b, w, a: format holds it
  PARAM_LINE_WRONG,         // no readable address, no FIELD, or an array without a usable length
};

struct ST_PARAM_LINE {
  PARAM_LINE_KIND kind = PARAM_LINE_WRONG;
  uint16_t address = 0;  // the value written, modulo 65536
  char format = 0;
  uint16_t length = 0;   // bytes to get or set; above 512 the request is refused
  size_t field = 0;      // index of FIELD: the prefix is the line up to here (its second ':' included)
  // param_set: the hexadecimal digits FIELD must start with; 2 x length, but for an array
  // ended by ";" the count before it (an odd count ends on a half byte, low digit 0).
  size_t digits = 0;
};

// Parses one line (a NUL-terminated piece). For param_get an array's FIELD is its decimal
// length; for param_set it holds the digits, two per byte, up to the first ";" or, without
// one, up to the end of the line.
ST_PARAM_LINE cmParamParseLine(const char* line, bool is_get);

// Reads the next piece of a line: at most PARAM_LINE_PIECE characters, up to and including a
// newline. A CR LF line end reads as a newline. False at end of file when nothing was read.
bool cmParamReadLine(std::FILE* file, std::string* line);

// What ParamLineReader hands out.
enum PARAM_READ_KIND {
  PARAM_READ_LINE,           // a whole line that fits one piece (a short comment included)
  PARAM_READ_COMMENT_PIECE,  // a piece of a comment line too long for one: echoed like the rest of it
  PARAM_READ_TOO_LONG,       // the first piece of any other line too long for one; the rest is dropped
};

// The lines of a settings file as param_set, param_get and their pre-check take them, in
// bounded memory whatever the file holds. A line that does not fit one piece (more than
// PARAM_LINE_PIECE - 1 characters before its line end) is never taken in part: a comment is
// handed out piece by piece, any other line once, as too long, its rest read and dropped.
class ParamLineReader {
 public:
  explicit ParamLineReader(std::FILE* file) : file_(file) {}
  // The next line or comment piece; false at the end of the file or when reading it failed.
  bool Next(std::string* text, PARAM_READ_KIND* kind);
  // The number of the line the text last handed out belongs to, from 1.
  int LineNumber() const { return number_; }
  // The system's error code of a read that failed (0: none did).
  int Error() const { return error_; }

 private:
  std::FILE* file_;
  int number_ = 0;
  bool in_comment_ = false;  // the last piece was a comment's and its line goes on
  int error_ = 0;
};

// Reads a settings file through as param_get (is_get) or param_set would, sending nothing: true
// when every line is a comment or a request that would be sent. Otherwise false with the first
// fault in *why: the file, and the line number with what is wrong with it ("wrong format 'q'",
// "wrong line", "longer than 254 characters", a refused length or data), or why the file could
// not be read.
bool cmParamFileCheck(const std::string& path, bool is_get, std::string* why);

// The output file of param_get, beside the settings file: the settings path up to the first "."
// of its file name (what follows the last folder separator; the whole path when the name has
// none), "_%02X_%02X_%04X" from the version's high and low byte and the build, then "_" and the
// tag when one is given (the repeater's serial number in a run over every repeater), ".out".
std::string cmParamOutFileName(const std::string& settings_path, uint16_t product_version, uint16_t build,
                               const std::string& tag = "");
// The tag param_get's output file names get from now on (empty: none).
void cmParamSetOutTag(const std::string& tag);

// Batch runs of one settings file. Each returns 0 when every request of the file was answered
// with success, -1 when the file could not be opened or read, a line was in error (wrong line,
// wrong format, longer than one piece, set data that is not hexadecimal: nothing is sent for it,
// the batch goes on) or a request failed or went unanswered.
int cmParamFileSet(PST_FWAPP_OBJ app, const char* settings_path);
int cmParamFileGet(PST_FWAPP_OBJ app, const char* settings_path);

// Handler of param_get (get 1) and param_set (get 0): opens the session on the port and runs
// the settings file. Returns 0 when it did what was asked, -1 otherwise.
int cmParamFileRun(uint8_t port, const char* settings_path, int get);
