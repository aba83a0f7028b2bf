// Notes from a child of -all or -watch to the run that started it: one line each on the child's
// standard error, led by a byte that no console text begins with, so that the parent takes them
// out of what it shows and logs. A note is a word and a one-line payload, e.g. "record {...}".
#pragma once

#include <string>
#include <vector>

struct ST_PARENT_NOTE {
  std::string word;
  std::string payload;
};

// From now on cmNoteToParent writes (a child of -all or -watch); until then it does nothing.
void cmParentNotesEnable();
bool cmParentNotesEnabled();
// Writes "\x1ehalvern WORD PAYLOAD\n" to standard error in one write; a newline in the payload
// becomes a blank, so that the note stays one line.
void cmNoteToParent(const std::string& word, const std::string& payload);
// Takes every whole note line out of text (what a child wrote to its standard error), in order.
std::vector<ST_PARENT_NOTE> cmTakeParentNotes(std::string* text);
// The note lines in text from *from (the start of a line) on, in order, left where they are;
// *from moves to the start of the first line not yet whole. For a parent that follows its
// children's notes as they come.
std::vector<ST_PARENT_NOTE> cmPeekParentNotes(const std::string& text, size_t* from);
