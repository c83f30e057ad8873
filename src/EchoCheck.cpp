#include "EchoCheck.h"

#include <algorithm>
#include <cstring>

namespace echo {

namespace {

// splitmix64: the same everywhere.
std::uint64_t Mix(std::uint64_t &state)
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// `count` nibbles of `value`, low first, as alternating 0xA0 and 0x50 bytes.
void PutNibbles(unsigned char *out, std::uint32_t value, int count)
{
    for (int i = 0; i < count; ++i) out[i] = (unsigned char)((i % 2 ? 0x50 : 0xA0) | ((value >> (4 * i)) & 15));
}

bool GetNibbles(const unsigned char *in, int count, std::uint32_t &value)
{
    value = 0;
    for (int i = 0; i < count; ++i) {
        if ((in[i] & 0xF0) != (i % 2 ? 0x50 : 0xA0)) return false;
        value |= std::uint32_t(in[i] & 15) << (4 * i);
    }
    return true;
}

bool Nibble(unsigned char b) { return (b & 0xF0) == 0xA0 || (b & 0xF0) == 0x50; }

// The number goes spread over all its nibbles (times an odd constant: one
// number, one label), and the length mixed with it, so that any two frames'
// starts differ in most of their bytes, and a byte changed in one makes no other's.
constexpr std::uint32_t Spread = 0x9E3779B1u;
constexpr std::uint32_t Unspread()
{
    std::uint32_t inverse = Spread;  // Newton's iteration for the inverse modulo 2^32
    for (int i = 0; i < 5; ++i) inverse *= 2u - Spread * inverse;
    return inverse;
}
static_assert(Spread * Unspread() == 1u, "the label must give the number back");

void PutHeader(unsigned char *frame, std::uint32_t seq)
{
    const std::uint32_t label = seq * Spread;
    PutNibbles(frame, label, 8);
    PutNibbles(frame + 8, std::uint32_t(PayloadSize) ^ (label >> 16), 4);  // 0xA0 after the label's last 0x50: the alternation goes on
}

}  // namespace

bool ReadHeader(const unsigned char *at, std::uint32_t &seq)
{
    std::uint32_t label = 0, length = 0;
    if (!GetNibbles(at, 8, label) || !GetNibbles(at + 8, 4, length)) return false;
    seq = label * Unspread();
    return (length ^ (label >> 16)) == PayloadSize;
}

namespace {

}  // namespace

std::uint32_t Crc32(const unsigned char *data, std::size_t n)
{
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

void MakeFrame(std::uint64_t seed, std::uint32_t seq, unsigned char *frame)
{
    PutHeader(frame, seq);
    std::uint64_t state = seed ^ (std::uint64_t(seq) * 0xD1B54A32D192ED03ull);
    unsigned char *payload = frame + HeaderSize;
    unsigned char before = frame[HeaderSize - 1];
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < PayloadSize; ++i) {
        if (i % 8 == 0) bits = Mix(state);
        unsigned char b = (unsigned char)(before + 1 + (bits & 0xFF) % 255);
        bits >>= 8;
        // The last differs from the trailer's first byte, which is a nibble byte.
        if (i + 1 == PayloadSize)
            while (b == before || Nibble(b)) ++b;
        payload[i] = before = b;
    }
    PutNibbles(frame + HeaderSize + PayloadSize, Crc32(frame, HeaderSize + PayloadSize), 8);
}

bool ReadFrame(const unsigned char *frame, std::uint32_t &seq)
{
    std::uint32_t crc = 0;
    return ReadHeader(frame, seq) && GetNibbles(frame + HeaderSize + PayloadSize, 8, crc) && crc == Crc32(frame, HeaderSize + PayloadSize);
}

const unsigned char *TFrameStream::Frame(std::uint64_t seq)
{
    for (Made &m : made)
        if (m.seq == seq) return m.bytes.data();
    Made &m = made[seq % made.size()];
    m.seq = seq;
    MakeFrame(seed, std::uint32_t(seq), m.bytes.data());
    return m.bytes.data();
}

unsigned char TFrameStream::At(std::uint64_t offset) { return Frame(offset / FrameSize)[offset % FrameSize]; }

void TFrameStream::Copy(std::uint64_t offset, unsigned char *out, std::size_t n)
{
    while (n) {
        const std::size_t in = std::size_t(offset % FrameSize), take = std::min(n, FrameSize - in);
        std::memcpy(out, Frame(offset / FrameSize) + in, take);
        out += take, offset += take, n -= take;
    }
}

std::size_t TFrameStream::Common(std::uint64_t offset, const unsigned char *data, std::size_t n)
{
    std::size_t same = 0;
    while (same < n) {
        const std::size_t in = std::size_t(offset % FrameSize), take = std::min(n - same, FrameSize - in);
        const unsigned char *frame = Frame(offset / FrameSize) + in;
        std::size_t k = 0;
        while (k < take && frame[k] == data[same + k]) ++k;
        same += k, offset += k;
        if (k < take) break;
    }
    return same;
}

const char *FaultName(FaultKind kind)
{
    static const char *const names[] = {"lost", "duplicated", "reordered", "corrupted", "unexpected"};
    return names[int(kind)];
}

std::uint64_t TEchoCheck::Errors() const
{
    std::uint64_t n = 0;
    for (std::uint64_t c : counts) n += c;
    return n;
}

void TEchoCheck::Came(const unsigned char *data, std::size_t n, double seconds)
{
    now = seconds;
    received += n;
    // Judged bytes go, but for a little history that the first fault's sample shows.
    if (head > 65536) {
        const std::size_t drop = head - 64;
        held.erase(held.begin(), held.begin() + std::ptrdiff_t(drop));
        head -= drop;
    }
    held.insert(held.end(), data, data + n);
    Judge(false);
}

void TEchoCheck::Finish(double seconds, bool tailLost)
{
    now = seconds;
    Judge(true);
    if (sent > expect && !tailLost) onItsWay = sent - expect;
    else if (sent > expect) Note(FaultKind::Lost, expect, sent - expect);
    Move(sent);
}

void TEchoCheck::Note(FaultKind kind, std::uint64_t offset, std::uint64_t n)
{
    if (!first) {
        Sample s;
        const std::size_t before = std::min<std::size_t>({8, head, std::size_t(std::min<std::uint64_t>(expect, 8))});
        s.at = expect - before;
        const std::size_t came = std::min<std::size_t>(held.size() - (head - before), 32);
        s.came.assign(held.begin() + std::ptrdiff_t(head - before), held.begin() + std::ptrdiff_t(head - before + came));
        s.sent.resize(std::size_t(std::min<std::uint64_t>(32, std::max(sent, s.at) - s.at)));
        stream.Copy(s.at, s.sent.data(), s.sent.size());
        first = s;
    }
    bytes[int(kind)] += n;
    // Bytes of nowhere, judged a piece at a time as they come, are one fault.
    if (kind == FaultKind::Unexpected && !faults.empty() && faults.back().kind == kind && faults.back().offset == offset) {
        faults.back().bytes += n;
        return;
    }
    ++counts[int(kind)];
    if (faults.size() < MaxListed) faults.push_back({kind, offset, n, now});
}

// Whether what is held from `from` (past the head) is the stream from `at`,
// as far as the lookahead goes; at the end, as far as what is held goes.
bool TEchoCheck::Fits(std::size_t from, std::uint64_t at, bool final)
{
    const std::size_t have = held.size() - head;
    if (from > have) return false;
    const std::size_t n = std::min(Lookahead, have - from);
    if (n < Lookahead && !final) return false;
    if (at + n > sent) return false;  // nothing comes back before it went
    return stream.Common(at, held.data() + head + from, n) == n;
}

void TEchoCheck::Judge(bool final)
{
    for (;;) {
        const std::size_t have = held.size() - head;
        if (!have) return;
        const std::size_t same = std::size_t(stream.Common(expect, held.data() + head, std::size_t(std::min<std::uint64_t>(have, sent - std::min(sent, expect)))));
        if (same) {
            head += same;
            Move(expect + same, true);
            continue;
        }
        if (!final && have < Lookahead + 2) return;
        const unsigned char *h = held.data() + head;
        // Another frame's start where this one's bytes were due: a jump, taken up there.
        std::uint32_t seq = 0;
        if (have >= HeaderSize && ReadHeader(h, seq) && std::uint64_t(seq) * FrameSize != expect && Resync(final)) continue;
        // Each way the stream may go on from here (two bytes swapped; some
        // changed, lost, doubled or put in) is scored by how far what is held
        // then runs as sent: the longest wins, if it runs far enough to tell.
        struct Way {
            FaultKind kind;
            std::uint64_t offset, bytes;
            std::size_t skip;   // held bytes the fault takes
            std::uint64_t next;  // where the stream goes on
            std::size_t run;
            std::uint64_t good;  // bytes of it that came as sent, though out of place
        } best{};
        bool found = false;
        // How far what is held from `from` runs as the stream from `at`, up to the lookahead past `verified` bytes.
        auto run = [&](std::size_t from, std::uint64_t at, std::size_t verified = 0) -> std::size_t {
            if (from > have || at > sent) return 0;
            const std::size_t n = std::size_t(std::min<std::uint64_t>({Lookahead + verified, have - from, sent - at}));
            return stream.Common(at, h + from, n);
        };
        std::size_t bestScore = 0;
        auto consider = [&](const Way &way) {
            // At the end, where what is left is shorter than a fair look, all of
            // it must fit; there a way that leaves no more faults (all that is
            // left fits, and nothing sent is left over) wins, then the longer run.
            const std::size_t left = have - way.skip, need = final ? std::min(MinRun, left) : MinRun;
            const std::size_t faults = final && (way.run < left || way.next + way.run < sent) ? 1 : 0;
            const std::size_t score = (3 - faults) * (MaxShift + Lookahead) + way.run;
            if (way.run >= need && (!found || score > bestScore)) best = way, bestScore = score, found = true;
        };
        if (have >= 2 && expect + 2 <= sent && h[0] == stream.At(expect + 1) && h[1] == stream.At(expect))
            consider({FaultKind::Reordered, expect, 2, 2, expect + 2, run(2, expect + 2), 2});
        // Far shifts are tried only where no near one fits: a near fault is the likely one.
        std::size_t inPlace = 0, inPlaceMost = 0;  // within a changed stretch: bytes as sent, in a row
        // ...and bytes as sent a few places on or back (lost or doubled ones beside): no changed stretch then.
        constexpr int Near = 8;
        std::array<std::size_t, 2 * Near + 1> shifted{};
        std::size_t shiftedMost = 0;
        for (std::size_t d = 1; d <= MaxShift && !(found && (best.run >= Lookahead || d > Lookahead * 4)); ++d) {
            // A changed stretch ends with a changed byte, and holds no run as sent that would tell two faults apart.
            const bool same = d <= have && expect + d <= sent && h[d - 1] == stream.At(expect + d - 1);
            inPlace = same ? inPlace + 1 : 0, inPlaceMost = std::max(inPlaceMost, inPlace);
            if (d <= Lookahead * 4 && d <= have)
                for (int shift = -Near; shift <= Near; ++shift) {
                    const std::int64_t at = std::int64_t(expect + d - 1) + shift;
                    const bool fits = shift && at >= 0 && std::uint64_t(at) < sent && h[d - 1] == stream.At(std::uint64_t(at));
                    std::size_t &r = shifted[std::size_t(shift + Near)];
                    r = fits ? r + 1 : 0, shiftedMost = std::max(shiftedMost, r);
                }
            if (d <= Lookahead * 4 && d <= have && expect + d <= sent && !same && inPlaceMost < MinRun && shiftedMost < MinRun)
                consider({FaultKind::Corrupted, expect, d, d, expect + d, run(d, expect + d), 0});
            if (expect + d < sent && h[0] == stream.At(expect + d)) consider({FaultKind::Lost, expect, d, 0, expect + d, run(0, expect + d), 0});
            // Doubled: all of the d bytes, and the stream on after them.
            if (d <= expect && d <= have && h[0] == stream.At(expect - d)) {
                const std::size_t r = run(0, expect - d, d);
                if (r >= d) consider({FaultKind::Duplicated, expect - d, d, d, expect, r - d, 0});
            }
            if (d < have && h[d] == stream.At(expect)) consider({FaultKind::Unexpected, expect, d, d, expect, run(d, expect), 0});
        }
        if (found) {
            Note(best.kind, best.offset, best.bytes);
            head += best.skip;
            Move(best.next, best.good != 0);
            continue;
        }
        if (Resync(final)) continue;
        if (final) {
            // What is left fits nowhere in what was sent.
            Note(FaultKind::Unexpected, expect, have);
            head += have;
            return;
        }
        // Nothing fits within the farthest look: the oldest of it is no echo of ours.
        if (have <= MaxShift + 2 * Lookahead) return;
        Note(FaultKind::Unexpected, expect, FrameSize);
        head += FrameSize;
    }
}

// The stream goes on from `to`; bytes from the farthest it had reached up to `to`
// came back as sent where `asSent`. Bytes met again (a replay) count once.
void TEchoCheck::Move(std::uint64_t to, bool asSent)
{
    if (asSent && to > top) good += to - std::max(expect, top);
    expect = to;
    top = std::max(top, to);
}

// Takes up again at the next sound frame start that is held, past bytes that
// fit nowhere near: lost where it is ahead, doubled where it is behind.
bool TEchoCheck::Resync(bool final)
{
    const std::size_t have = held.size() - head;
    // As far as the farthest look and a frame: what lies beyond is judged after.
    for (std::size_t p = 0; p + HeaderSize <= have && p <= MaxShift + FrameSize; ++p) {
        const unsigned char *at = held.data() + head + p;
        std::uint32_t seq = 0;
        if (!ReadHeader(at, seq)) continue;
        std::uint64_t o = std::uint64_t(seq) * FrameSize;
        if (o == expect && p == 0) continue;
        if (!Fits(p, o, final) || have - p < std::min<std::size_t>(HeaderSize + Lookahead, final ? HeaderSize : FrameSize)) continue;
        // The bytes before that frame may be the stream's before it: the fault is where they stop being so.
        std::size_t back = 0;
        while (back < p && o - back > (o >= expect ? expect : 0) && at[-std::ptrdiff_t(back) - 1] == stream.At(o - back - 1)) ++back;
        p -= back;
        const std::uint64_t g = p;
        o -= back;
        if (o >= expect) {
            const std::uint64_t n = o - expect, changed = std::min(n, g);
            if (changed) Note(FaultKind::Corrupted, expect, changed);
            if (n > g) Note(FaultKind::Lost, expect + g, n - g);
            if (g > n) Note(FaultKind::Unexpected, o, g - n);
        } else {
            if (g) Note(FaultKind::Unexpected, expect, g);
            // Bytes from the past: doubled as far as they run as sent, and where the stream then goes on
            // where it was, that is all (a frame replayed); else it goes on from there.
            const std::size_t r = stream.Common(o, held.data() + head + p, std::size_t(std::min<std::uint64_t>(have - p, expect - o)));
            const std::size_t after = have - p - r, look = std::min(Lookahead, after);
            if (r < expect - o && r >= MinRun && (final || after >= Lookahead) && stream.Common(expect, held.data() + head + p + r, look) == look) {
                Note(FaultKind::Duplicated, o, r);
                head += p + r;
                return true;
            }
            Note(FaultKind::Duplicated, o, expect - o);
        }
        head += p;
        Move(o);
        return true;
    }
    return false;
}

}  // namespace echo
