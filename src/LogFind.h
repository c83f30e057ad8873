// Find in the reception log, with no toolkit: a search that goes through the
// store a slice at a time, in time linear in the bytes it looks at whatever
// they and the needle are (the needle's matching automaton, a table of the
// next state for each state and byte, so a byte costs one look-up; the first
// byte skipped to with memchr).
// - Text: matches lie within one line as the Text view shows it (NULs left
//   out), either case for ASCII letters.
// - Bytes: the board's bytes as one stream across reads, as they came,
//   never the count lines' text or the console's own lines.
// Places are the store's byte addresses.
#ifndef QUORVEL_LOGFIND_H
#define QUORVEL_LOGFIND_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "LogStore.h"

class TLogSearch {
public:
    // Going down: the first match that starts at `origin` or after, else
    // round from the log's start. Going up: the last one that starts before
    // `origin`, else round from the end.
    TLogSearch(const TLogStore &store, const std::string &needle, bool bytes, bool forward, std::uint64_t origin);
    // Looks on through about `budget` bytes (a match still open is followed to the end of the
    // piece of the store it is in, a megabyte at most); true once it has ended, found or not.
    bool Step(std::uint64_t budget);
    bool Found() const { return found; }
    std::uint64_t First() const { return first; }  // the match's first and last byte
    std::uint64_t Last() const { return last; }
    // How far it got, in bytes of the store, against the store's size.
    std::uint64_t Looked() const { return looked; }

private:
    struct Cursor;
    enum class Pass { Found, Through, Paused };
    Pass Scan(std::uint64_t &budget);
    void Begin();
    // Where in the stream the next byte to look at is, and the segment it lies in.
    bool Segment(std::uint64_t at, bool down);
    std::uint64_t Walk(std::uint64_t at, std::size_t n, bool down) const;  // n bytes of the stream on
    unsigned char Key(unsigned char b) const;

    const TLogStore &store;
    std::string needle;           // folded for text; reversed going up
    std::vector<std::uint32_t> next;  // the automaton: next[state * 256 + byte]
    bool bytes, forward;
    std::uint64_t origin, end = 0;  // the store's size as the find began: what comes later is not looked at
    // This pass: matches that start in [low, high).
    int pass = 0;
    std::uint64_t low = 0, high = 0;
    // Where the scan is: the next byte, the segment (a line or a read) it is in, and its bounds.
    std::uint64_t at = 0, from = 0, to = 0;
    std::size_t segment = 0;
    bool inSegment = false;
    std::size_t state = 0;   // the needle's bytes matched
    std::size_t beyond = 0;  // bytes fed past this pass's far edge, with a match still open
    bool found = false;
    std::uint64_t first = 0, last = 0, looked = 0;
};

#endif
