// Notes a child of a run over many repeaters leaves its parent on standard error.
#include <gtest/gtest.h>

#include "session/parent_notes.h"

TEST(ParentNotesTest, NotesAreTakenOutOfTheTextAndEverythingElseStays) {
  const struct {
    std::string text, kept;
    std::vector<std::pair<std::string, std::string>> notes;
  } cases[] = {
      {"", "", {}},
      {"halvern: plain\n", "halvern: plain\n", {}},
      {"a\n\x1ehalvern record {\"x\":1}\nb\n", "a\nb\n", {{"record", "{\"x\":1}"}}},
      {"\x1ehalvern unopened\n\x1ehalvern record {}\n", "", {{"unopened", ""}, {"record", "{}"}}},
      // A note cut off by the child's end is no note: shown as it is.
      {"a\n\x1ehalvern record {", "a\n\x1ehalvern record {", {}},
      {"x\x1ehalvern record {}\n", "x\x1ehalvern record {}\n", {}},  // not at a line's start
  };
  for (const auto& c : cases) {
    std::string text = c.text;
    const auto notes = cmTakeParentNotes(&text);
    EXPECT_EQ(text, c.kept) << c.text;
    ASSERT_EQ(notes.size(), c.notes.size()) << c.text;
    for (size_t i = 0; i < notes.size(); ++i) {
      EXPECT_EQ(notes[i].word, c.notes[i].first);
      EXPECT_EQ(notes[i].payload, c.notes[i].second);
    }
  }
}
