#include "Completion.h"

#include <algorithm>

namespace {

char Fold(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool Begins(const std::string &entry, const std::string &start)
{
    return entry.size() >= start.size() &&
           std::equal(start.begin(), start.end(), entry.begin(), [](char a, char b) { return Fold(a) == Fold(b); });
}

}  // namespace

bool ComboType(const std::vector<std::string> &entries, TComboText &box, char typed)
{
    const int size = int(box.text.size());
    int from = std::clamp(std::min(box.selFrom, box.selTo), 0, size), to = std::clamp(std::max(box.selFrom, box.selTo), 0, size);
    if (typed != ComboBackspace) {
        const std::string start = (from != to ? box.text.substr(0, std::size_t(from)) : box.text) + typed;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (!Begins(entries[i], start)) continue;
            const bool changed = int(i) != box.index;
            box = {entries[i], int(start.size()), int(entries[i].size()), int(i)};
            return changed;
        }
        box.text.replace(std::size_t(from), std::size_t(to - from), 1, typed);
        ++from;
    } else if (from != to) {
        box.text.erase(std::size_t(from), std::size_t(to - from));
    } else if (from > 0) {
        box.text.erase(std::size_t(--from), 1);
    }
    box.selFrom = box.selTo = from;
    box.index = -1;
    return true;
}

bool ComboEdited(TComboText &box)
{
    box.index = -1;
    return true;
}

int ComboNoteLeft(int widthOf20) { return widthOf20 + 16; }
int ComboRowWidth(int widthOf20, int widestNote) { return ComboNoteLeft(widthOf20) + widestNote + 8; }
