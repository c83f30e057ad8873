// The port list's typed completion, with no toolkit: what a typed character
// or Backspace does to an editable drop-down list's text, its selection and
// its selected entry. Both widget sets type through it.
#ifndef QUORVEL_COMPLETION_H
#define QUORVEL_COMPLETION_H

#include <string>
#include <vector>

// The list's edit part: its text, the selected characters (from == to: none,
// the caret there) and the selected entry (-1: none).
struct TComboText {
    std::string text;
    int selFrom = 0, selTo = 0;
    int index = -1;
};

constexpr char ComboBackspace = '\b';

// Types `typed` (a printable character, or ComboBackspace) into `box`.
// True when the list's change handler runs.
//  - When the text, or the part before the selection, followed by the
//    character begins an entry, the first such entry is selected and shown
//    whole, the completed part selected; the handler runs if the entry changed.
//  - Otherwise the character replaces the selection (Backspace deletes it, or
//    the character before the caret), no entry is selected, and the handler runs.
bool ComboType(const std::vector<std::string> &entries, TComboText &box, char typed);

// An edit that does not come through the typed keys (paste, cut, Delete, an
// undo) keeps the text and the selection as the user sees them, but leaves
// no entry selected: what is there may be no entry at all. True when the
// list's change handler runs: always, as the text is no longer a choice.
bool ComboEdited(TComboText &box);

// The open list's rows: a port's number, then its note in a column of its
// own. From the width of "20" in the list's font, where the notes start
// within a row's text, and how wide a row must be for the widest note.
int ComboNoteLeft(int widthOf20);
int ComboRowWidth(int widthOf20, int widestNote);

#endif
