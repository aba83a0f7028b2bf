#include "session/parent_notes.h"

#include <atomic>
#include <cstdio>

namespace {

constexpr char kLead[] = "\x1ehalvern ";
std::atomic<bool> g_enabled{false};

// The note on the line of text from at to end (its newline), if it is one.
bool NoteAt(const std::string& text, size_t at, size_t end, ST_PARENT_NOTE* note) {
  if (text.compare(at, sizeof kLead - 1, kLead) != 0) return false;
  const std::string body = text.substr(at + sizeof kLead - 1, end - at - (sizeof kLead - 1));
  const size_t blank = body.find(' ');
  *note = {body.substr(0, blank), blank == std::string::npos ? std::string() : body.substr(blank + 1)};
  return true;
}

}  // namespace

void cmParentNotesEnable() { g_enabled.store(true); }

bool cmParentNotesEnabled() { return g_enabled.load(); }

void cmNoteToParent(const std::string& word, const std::string& payload) {
  if (!g_enabled.load()) return;
  std::string line = kLead + word + " " + payload + "\n";
  for (size_t i = sizeof kLead - 1; i + 1 < line.size(); ++i)
    if (line[i] == '\n' || line[i] == '\r') line[i] = ' ';
  std::fflush(stderr);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

std::vector<ST_PARENT_NOTE> cmTakeParentNotes(std::string* text) {
  std::vector<ST_PARENT_NOTE> notes;
  std::string kept;
  kept.reserve(text->size());
  size_t at = 0;
  while (at < text->size()) {
    const size_t end = text->find('\n', at);
    const size_t next = end == std::string::npos ? text->size() : end + 1;
    if (ST_PARENT_NOTE note; end != std::string::npos && NoteAt(*text, at, end, &note)) {
      notes.push_back(std::move(note));
    } else {
      kept.append(*text, at, next - at);
    }
    at = next;
  }
  *text = std::move(kept);
  return notes;
}

std::vector<ST_PARENT_NOTE> cmPeekParentNotes(const std::string& text, size_t* from) {
  std::vector<ST_PARENT_NOTE> notes;
  for (size_t end = text.find('\n', *from); end != std::string::npos; end = text.find('\n', *from)) {
    if (ST_PARENT_NOTE note; NoteAt(text, *from, end, &note)) notes.push_back(std::move(note));
    *from = end + 1;
  }
  return notes;
}
