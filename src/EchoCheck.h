// What an echoing board sent back, held against what was sent to it. The
// stream sent is frames whose every byte is known from its place, so that a
// byte lost, doubled, swapped or changed is found and placed exactly.
#ifndef QUORVEL_ECHOCHECK_H
#define QUORVEL_ECHOCHECK_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace echo {

// A frame: its number (32 bits) and its payload's length (16 bits) as
// nibbles, a pseudo-random payload, then the CRC-32 of all before it as
// nibbles. Its start is twelve nibble bytes in a row, which the payload all
// but never holds, and neighbouring frames differ from their first byte. A nibble goes as 0xA0 or 0x50 plus it, alternately, and the
// payload's bytes each differ from the one before: no two neighbouring bytes
// of the stream are ever equal, so a byte doubled or two swapped always show,
// at their place.
constexpr std::size_t FrameSize = 1024;
constexpr std::size_t HeaderSize = 12, TrailerSize = 8;
constexpr std::size_t PayloadSize = FrameSize - HeaderSize - TrailerSize;

std::uint32_t Crc32(const unsigned char *data, std::size_t n);
// Frame `seq` of the stream that `seed` picks, into `frame` (FrameSize bytes).
void MakeFrame(std::uint64_t seed, std::uint32_t seq, unsigned char *frame);
// Whether the FrameSize bytes at `frame` are a sound frame, and its number.
bool ReadFrame(const unsigned char *frame, std::uint32_t &seq);
// Whether the HeaderSize bytes at `at` are a frame's start, and its number.
bool ReadHeader(const unsigned char *at, std::uint32_t &seq);

// The stream: the frames one after another, each made when asked.
class TFrameStream {
public:
    explicit TFrameStream(std::uint64_t seed) : seed(seed) {}
    unsigned char At(std::uint64_t offset);
    void Copy(std::uint64_t offset, unsigned char *out, std::size_t n);
    // How many of `data`'s first bytes are the stream's from `offset`.
    std::size_t Common(std::uint64_t offset, const unsigned char *data, std::size_t n);

private:
    const unsigned char *Frame(std::uint64_t seq);
    std::uint64_t seed;
    struct Made {
        std::uint64_t seq = ~std::uint64_t(0);
        std::array<unsigned char, FrameSize> bytes{};
    };
    std::array<Made, 2> made;
};

enum class FaultKind { Lost, Duplicated, Reordered, Corrupted, Unexpected };
constexpr int FaultKinds = 5;
const char *FaultName(FaultKind kind);  // "lost", "duplicated", "reordered", "corrupted", "unexpected"

// One fault: where in the stream sent, how many bytes, and when it was seen
// (seconds into the test).
struct Fault {
    FaultKind kind;
    std::uint64_t offset, bytes;
    double seconds;
};

// The first fault's surroundings, as sent and as they came.
struct Sample {
    std::uint64_t at = 0;  // the stream's offset of the first byte shown
    std::vector<unsigned char> sent, came;
};

class TEchoCheck {
public:
    explicit TEchoCheck(std::uint64_t seed) : stream(seed) {}
    // So much has been sent: nothing beyond it can have come back.
    void Sent(std::uint64_t total) { sent = total; }
    // Bytes that came back, `seconds` into the test.
    void Came(const unsigned char *data, std::size_t n, double seconds);
    // Nothing more will come: what is held is judged with what it has, and
    // what was sent and never came back is lost; or, where the test was
    // stopped (`tailLost` false), still on its way.
    void Finish(double seconds, bool tailLost = true);
    std::uint64_t OnItsWay() const { return onItsWay; }

    // How far into what was sent all is accounted for (never back: a replay does not undo it).
    std::uint64_t Next() const { return top; }
    std::uint64_t Good() const { return good; }
    std::uint64_t Received() const { return received; }
    std::uint64_t Errors() const;
    std::uint64_t Count(FaultKind kind) const { return counts[int(kind)]; }
    std::uint64_t Bytes(FaultKind kind) const { return bytes[int(kind)]; }
    // The faults in order, the first MaxListed of them.
    const std::vector<Fault> &Faults() const { return faults; }
    const std::optional<Sample> &First() const { return first; }
    static constexpr std::size_t MaxListed = 1000;
    // Bytes that must follow a fault, as sent, for it to be told from another.
    static constexpr std::size_t Lookahead = 16;
    // The most bytes lost or doubled in one place that are found by trying each count.
    static constexpr std::size_t MaxShift = 4 * FrameSize;
    // How far the stream must run as sent after a fault for the fault to be told:
    // faults closer together than this come out as one stretch changed.
    static constexpr std::size_t MinRun = 4;

private:
    void Judge(bool final);
    bool Fits(std::size_t from, std::uint64_t at, bool final);
    bool Resync(bool final);
    void Note(FaultKind kind, std::uint64_t offset, std::uint64_t n);
    void Move(std::uint64_t to, bool asSent = false);

    TFrameStream stream;
    std::vector<unsigned char> held;  // what came: judged up to `head`, a little history before it
    std::size_t head = 0;
    std::uint64_t sent = 0, expect = 0, top = 0, good = 0, received = 0, onItsWay = 0;
    double now = 0;
    std::array<std::uint64_t, FaultKinds> counts{}, bytes{};
    std::vector<Fault> faults;
    std::optional<Sample> first;
};

}  // namespace echo

#endif
