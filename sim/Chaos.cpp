#include "Chaos.h"

#include <algorithm>
#include <climits>
#include <cstdio>

namespace sim {

std::uint64_t Random::Next()
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

namespace {

Clock::duration Seconds(double s) { return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s)); }

std::string Number(double value, const char *format = "%.2f")
{
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

Chaos::Chaos(const Options &options, Clock::time_point now, bool canUnplug, Say say)
    : Board(options, now), random(*options.chaos), start(now), canUnplug(canUnplug), say(std::move(say)), readsFrom(now),
      nextChatter(now), quietUntil(now), trickleUntil(now), trickle(0, now), lastUploadByte(now)
{
    pool.resize(1 << 20);
    for (std::size_t i = 0; i < pool.size(); i += 8) {
        std::uint64_t r = random.Next();
        for (int k = 0; k < 8; ++k) pool[i + std::size_t(k)] = char(r >> (8 * k));
    }
    Note(now, "chaos, seed " + std::to_string(*options.chaos));
}

void Chaos::Note(Clock::time_point now, const std::string &what)
{
    ++choices;
    if (say) say(Number(std::chrono::duration<double>(now - start).count(), "%.3f") + " s: " + what);
}

void Chaos::Push(const std::string &bytes)
{
    if (head > 65536 && head * 2 > out.size()) {
        out.erase(0, head);
        head = 0;
    }
    out += bytes;
}

std::string Chaos::Bytes(std::size_t n)
{
    std::string bytes;
    bytes.reserve(n);
    while (bytes.size() < n) {
        std::size_t take = std::min(n - bytes.size(), pool.size() / 2);
        bytes.append(pool, std::size_t(random.Below(pool.size() - take)), take);
    }
    return bytes;
}

void Chaos::Receive(const unsigned char *data, std::size_t n, Clock::time_point now)
{
    if (calm) return Board::Receive(data, n, now);
    // How this read's text is echoed: mostly as it came.
    const std::uint64_t echo = random.Below(20);
    std::string answer;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char b = data[i];
        if (uploading) {
            const std::size_t take = std::min(n - i, TestVolume - uploadGot), was = uploadGot;
            counts.upload += take;
            counts.uploadMarks += std::uint64_t(std::count(data + i, data + i + take, AnnounceByte));
            uploadGot += take;
            i += take - 1;
            lastUploadByte = now;
            if (mark == Mark::Early && was < earlyAt && uploadGot >= earlyAt) {
                Push(std::string(1, char(DoneByte)));
                Note(now, "upload: its \"*\" early, " + std::to_string(uploadGot) + " bytes in");
            }
            if (pauseAt && was < pauseAt && uploadGot >= pauseAt) {
                const double pause = random.Between(0.05, 2.0);
                readsFrom = now + Seconds(pause);
                Note(now, "upload: reading nothing for " + Number(pause) + " s, " + std::to_string(uploadGot) + " bytes in");
            }
            if (uploadGot == TestVolume) UploadIn(now);
            continue;
        }
        if (b == AnnounceByte) {
            ++counts.announces;
            uploading = true;
            uploadGot = 0;
            lastUploadByte = now;
            mark = Mark(random.Below(5));
            earlyAt = std::size_t(random.Below(TestVolume)) + 1;
            pauseAt = random.Chance(0.3) ? std::size_t(random.Below(TestVolume)) + 1 : 0;
            static const char *const marks[] = {"at once", "late", "early", "never", "after talking"};
            Note(now, std::string("announce: the upload's \"*\" will come ") + marks[int(mark)]);
        } else if (b == RequestByte) {
            ++counts.requests;
            Push(answer);
            answer.clear();
            Request(now);
        } else if (b == HeartbeatByte) {
            ++counts.heartbeats;
        } else {
            ++counts.text;
            recent += char(b);
            if (recent.size() >= sizeof CalmWord) recent.erase(0, 1);
            if (recent == CalmWord) {
                Push(answer);
                return BecomeCalm(now);
            }
            if (echo < 17) answer += char(b);
            else if (echo < 19) answer += char(b) + Bytes(random.Below(3));  // noise after each byte
        }
    }
    Push(answer);
}

void Chaos::Request(Clock::time_point now)
{
    // Mostly, what the board still had to send is dropped: it starts the answer afresh.
    if (Pending() && random.Chance(0.7)) {
        Note(now, "download: " + std::to_string(Pending()) + " bytes not yet sent are dropped");
        head = out.size();
    }
    // What the answer is, and how long the act lasts.
    std::size_t size = TestVolume;
    Clock::duration act = std::chrono::milliseconds(300);
    const std::uint64_t kind = random.Below(100);
    std::string what;
    if (kind < 20) {
        what = "all of it at once";
    } else if (kind < 35) {
        size -= std::size_t(random.Below(TestVolume)) + 1;
        what = std::to_string(TestVolume - size) + " bytes short";
    } else if (kind < 45) {
        size += std::size_t(random.Below(70000)) + 1;
        what = std::to_string(size - TestVolume) + " bytes beyond";
    } else if (kind < 60) {
        const double delay = random.Between(0.2, 6.5);
        act = Seconds(delay);
        later.push_back({now + act, Bytes(size)});
        what = "late by " + Number(delay) + " s";
        size = 0;
    } else if (kind < 75) {
        const double rate = random.Between(1, 64), lasts = random.Between(0.2, 3.0);
        dropAfterTrickle = random.Chance(0.5);
        trickle = Pacer(rate * 1024, now);
        trickleUntil = now + Seconds(lasts);
        act = Seconds(lasts);
        what = "a trickle at " + Number(rate) + " KB/s for " + Number(lasts) + " s, then " +
               (dropAfterTrickle ? "nothing more" : "the rest at once");
    } else if (kind < 90) {
        size = 0;
        what = "nothing at all";
    } else {
        act = Seconds(random.Between(0, 0.5));
        if (canUnplug) unplugAt = now + act;
        what = canUnplug ? "all of it, unplugged " + Number(std::chrono::duration<double>(act).count()) + " s in" : "all of it";
    }
    if (size) Push(Bytes(size));
    actUntil = now + act;
    quietUntil = std::max(quietUntil, actUntil + QuietAfter);
    Note(now, "download: " + what);
}

void Chaos::UploadIn(Clock::time_point now)
{
    uploading = false;
    switch (mark) {
    case Mark::AtOnce: Push(std::string(1, char(DoneByte))); break;
    case Mark::Late: {
        const double delay = random.Between(0.1, 7.0);
        later.push_back({now + Seconds(delay), std::string(1, char(DoneByte))});
        Note(now, "upload in: its \"*\" in " + Number(delay) + " s");
        return;
    }
    case Mark::Early:
    case Mark::Never: break;
    case Mark::AfterTalk: Push(Bytes(std::size_t(random.Below(200)) + 1) + char(DoneByte)); break;
    }
    Note(now, "upload in");
}

void Chaos::Chatter(Clock::time_point now)
{
    const std::uint64_t kind = random.Below(100);
    if (kind < 45) {
        const std::size_t n = std::size_t(random.Below(64)) + 1;
        Push(Bytes(n));
        Note(now, std::to_string(n) + " bytes unasked");
    } else if (kind < 63) {
        const std::size_t n = std::size_t(random.Below(4032)) + 65;
        Push(Bytes(n));
        Note(now, std::to_string(n) + " bytes unasked");
    } else if (kind < 67) {
        // Beyond the console's 64000-byte queue; while the console takes it,
        // and not into a download, which it would make whole.
        if (Pending() > (4u << 20) || now < actUntil) return;
        const std::size_t n = std::size_t(random.Below(236000)) + 64000;
        Push(Bytes(n));
        Note(now, "a flood of " + std::to_string(n) + " bytes");
    } else if (kind < 75) {
        Push(std::string(1, char(DoneByte)));
        Note(now, "a stray \"*\"");
    } else if (kind < 83) {
        std::string line = "line " + std::to_string(random.Below(100000));
        line += random.Chance(0.5) ? std::string("\r\n") : std::string(1, "\r\n\0"[random.Below(3)]);
        Push(line);
        Note(now, "a line of text");
    } else if (kind < 86) {
        // Now and then long enough for the console's side of the line to fill.
        const double pause = random.Chance(0.8) ? random.Between(0.05, 1.5) : random.Between(2, LongestPause);
        readsFrom = std::max(readsFrom, now + Seconds(pause));
        Note(now, "reading nothing for " + Number(pause) + " s");
    } else if (kind < 87 && canUnplug) {
        unplugAt = now;
        Note(now, "unplugged");
    }
}

void Chaos::Tick(Clock::time_point now)
{
    if (calm) return Board::Tick(now);
    for (std::size_t i = 0; i < later.size();) {
        if (later[i].at <= now) {
            Push(later[i].bytes);
            later.erase(later.begin() + std::ptrdiff_t(i));
        } else {
            ++i;
        }
    }
    if (trickleUntil != Clock::time_point() && now >= trickleUntil) {
        trickleUntil = Clock::time_point();
        if (dropAfterTrickle) {
            Note(now, "the trickle stops: " + std::to_string(Pending()) + " bytes never go");
            head = out.size();
        }
    }
    if (now >= unplugAt) {
        unplugAt = Clock::time_point::max();
        unplug = true;
    }
    if (uploading && now - lastUploadByte >= AnnounceIdle) {
        uploading = false;
        Note(now, "upload: nothing for " + Number(std::chrono::duration<double>(AnnounceIdle).count()) + " s; text again, " +
                      std::to_string(uploadGot) + " bytes in");
    }
    if (now >= nextChatter) {
        // Nothing once a download's act is over, until a console that waits 5 s has given up.
        if (now < actUntil || now >= quietUntil) Chatter(now);
        nextChatter = now + Seconds(random.Between(0, 0.3));
    }
}

std::size_t Chaos::ReadAllowance(Clock::time_point now)
{
    if (calm) return Board::ReadAllowance(now);
    return unplug || now < readsFrom ? 0 : SIZE_MAX;
}

std::size_t Chaos::WriteAllowance(Clock::time_point now)
{
    if (calm) return Board::WriteAllowance(now);
    if (unplug) return 0;
    std::size_t n = Pending();
    if (trickleUntil != Clock::time_point()) n = std::min(n, trickle.Allowed(now));
    return n;
}

const unsigned char *Chaos::Output() const
{
    return calm ? Board::Output() : reinterpret_cast<const unsigned char *>(out.data()) + head;
}

std::size_t Chaos::Pending() const { return calm ? Board::Pending() : out.size() - head; }

void Chaos::Sent(std::size_t n, Clock::time_point now)
{
    if (calm) return Board::Sent(n, now);
    head += n;
    counts.sent += n;
    if (trickleUntil != Clock::time_point()) trickle.Use(n);
}

Clock::time_point Chaos::NextWake(Clock::time_point now) const
{
    if (calm) return Board::NextWake(now);
    Clock::time_point wake = std::min(now + std::chrono::seconds(1), nextChatter);
    if (readsFrom > now) wake = std::min(wake, readsFrom);
    for (const Later &l : later) wake = std::min(wake, l.at);
    if (trickleUntil != Clock::time_point()) wake = std::min({wake, trickleUntil, trickle.Ready()});
    wake = std::min(wake, unplugAt);
    if (uploading) wake = std::min(wake, lastUploadByte + AnnounceIdle);
    return std::max(wake, now);
}

bool Chaos::HangupDue() const { return calm ? Board::HangupDue() : unplug; }

void Chaos::Replugged(Clock::time_point now)
{
    Board::Replugged(now);
    if (calm) return;
    unplug = false;
    unplugAt = Clock::time_point::max();
    out.clear();
    head = 0;
    later.clear();
    trickleUntil = Clock::time_point();
    uploading = false;
    readsFrom = now;
    Note(now, "plugged in again");
}

void Chaos::BecomeCalm(Clock::time_point now)
{
    Note(now, "calm from here on");
    calm = true;
    out.clear();
    head = 0;
    later.clear();
    Board::Replugged(now);
    Queue("\r\ncalm\r\n");
}

}  // namespace sim
