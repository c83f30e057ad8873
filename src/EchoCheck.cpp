#include "EchoCheck.h"

#include <algorithm>
#include <cstring>

namespace echo {

namespace {

constexpr unsigned char Magic0 = 0x7E, Magic1 = 0x81;

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
    frame[0] = Magic0, frame[1] = Magic1;
    PutNibbles(frame + 2, seq, 8);
    PutNibbles(frame + 10, std::uint32_t(PayloadSize), 4);  // 0xA0 after the number's last 0x50: the alternation goes on
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
    std::uint32_t length = 0, crc = 0;
    return frame[0] == Magic0 && frame[1] == Magic1 && GetNibbles(frame + 2, 8, seq) && GetNibbles(frame + 10, 4, length) &&
           length == PayloadSize && GetNibbles(frame + HeaderSize + PayloadSize, 8, crc) && crc == Crc32(frame, HeaderSize + PayloadSize);
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
    expect = sent;
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
            head += same, expect += same, good += same;
            continue;
        }
        if (!final && have < Lookahead + 2) return;
        const unsigned char *h = held.data() + head;
        // Two bytes swapped, one changed, some lost, some doubled: the first that fits.
        if (have >= 2 && expect + 2 <= sent && h[0] == stream.At(expect + 1) && h[1] == stream.At(expect) && Fits(2, expect + 2, final)) {
            Note(FaultKind::Reordered, expect, 2);
            head += 2, expect += 2, good += 2;
            continue;
        }
        bool found = false;
        // A stretch changed in place: the stream goes on after it.
        for (std::size_t c = 1; c <= Lookahead * 4 && expect + c <= sent && c < have && !found; ++c)
            if (Fits(c, expect + c, final)) Note(FaultKind::Corrupted, expect, c), head += c, expect += c, found = true;
        for (std::size_t d = 1; d <= MaxShift && expect + d < sent && !found; ++d)
            if (h[0] == stream.At(expect + d) && Fits(0, expect + d, final)) Note(FaultKind::Lost, expect, d), expect += d, found = true;
        for (std::size_t d = 1; d <= MaxShift && d <= expect && !found; ++d)
            if (h[0] == stream.At(expect - d) && Fits(0, expect - d, final)) Note(FaultKind::Duplicated, expect - d, d), head += d, found = true;
        if (found || Resync(final)) continue;
        if (final) {
            // What is left fits nowhere in what was sent.
            Note(FaultKind::Unexpected, expect, have);
            head += have;
            return;
        }
        // No frame to take up again from within two frames: the oldest of it is no echo of ours.
        if (have <= 2 * FrameSize + Lookahead) return;
        Note(FaultKind::Unexpected, expect, FrameSize);
        head += FrameSize;
    }
}

// Takes up again at the next sound frame start that is held, past bytes that
// fit nowhere near: lost where it is ahead, doubled where it is behind.
bool TEchoCheck::Resync(bool final)
{
    const std::size_t have = held.size() - head;
    for (std::size_t p = 0; p + HeaderSize <= have; ++p) {
        const unsigned char *at = held.data() + head + p;
        std::uint32_t seq = 0;
        if (at[0] != Magic0 || at[1] != Magic1 || !GetNibbles(at + 2, 8, seq)) continue;
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
            Note(FaultKind::Duplicated, o, expect - o);
        }
        head += p;
        expect = o;
        return true;
    }
    return false;
}

}  // namespace echo
