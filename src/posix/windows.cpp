// Win32 comm calls over termios. See windows.h for the port naming.
#include "windows.h"
#include "portsfolder.h"
#include "porttable.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

using namespace standin;

namespace {

struct Speed {
    speed_t code;
    DWORD baud;
};
const Speed speeds[] = {
    {B50, 50}, {B75, 75}, {B110, 110}, {B134, 134}, {B150, 150}, {B200, 200}, {B300, 300},
    {B600, 600}, {B1200, 1200}, {B1800, 1800}, {B2400, 2400}, {B4800, 4800}, {B9600, 9600},
    {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
#if defined(B460800)
    {B460800, 460800},
#endif
#if defined(B500000)
    {B500000, 500000}, {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000},
    {B1152000, 1152000}, {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000},
    {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
#endif
};

std::int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Waits for the descriptor; false on time-out. A negative deadline waits for ever.
// Hang-up and errors count as ready, so the next read or write reports them.
bool WaitFor(int fd, short events, std::int64_t deadline)
{
    for (;;) {
        int wait = -1;
        if (deadline >= 0) {
            std::int64_t left = deadline - NowMs();
            if (left <= 0) return false;
            wait = int(std::min<std::int64_t>(left, INT_MAX));
        }
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, wait);
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return true;
    }
}

constexpr DWORD MaxQueue = 16u << 20;

// Whether the line discipline refills within a moment (0.2 ms): the driver's
// worker is on another processor, and sleeping for it would cost a transfer
// that is still flowing far more than looking a few times.
bool Refilled(int fd)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
    do {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) return true;
        std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < until);
    return false;
}  // a larger receive queue is refused, as memory a driver would not get

std::size_t Queued(const Port &port) { return port.queueTail - port.queueHead; }

// Takes what has arrived into the receive queue, up to its size. The line
// discipline hands over at most its buffer (4 KB) a read and refills it from
// the driver a moment later; so after reads that brought about a buffer's
// worth, more may be behind them, and the fill looks again for a moment (5 ms
// in all). A board that trickles is never waited for. A hang-up or an error
// is left for the next read to meet.
constexpr std::size_t Backlog = 2048;  // this much at once suggests the buffer was full

void Fill(Port &port)
{
    std::vector<unsigned char> &q = port.queue;
    if (q.empty()) return;
    if (port.queueHead > 0) {
        std::memmove(q.data(), q.data() + port.queueHead, Queued(port));
        port.queueTail -= port.queueHead;
        port.queueHead = 0;
    }
    const std::int64_t until = NowMs() + 5;
    std::size_t burst = 0;  // bytes since the last wait
    while (port.queueTail < q.size()) {
        ssize_t r = read(port.fd, q.data() + port.queueTail, q.size() - port.queueTail);
        if (r > 0) {
            port.queueTail += std::size_t(r);
            burst += std::size_t(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return;
        if (burst < Backlog || NowMs() >= until) return;
        burst = 0;
        if (!Refilled(port.fd)) return;
    }
}

}  // namespace

DWORD WINAPI QueryDosDeviceA(LPCSTR name, LPSTR target, DWORD max)
{
    unsigned n = PortNumber(name, true);
    if (n == 0) {
        Fail(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    std::string path = DevicePath(n);
    if (!target || max < path.size() + 2) {
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(target, path.c_str(), path.size() + 1);
    target[path.size() + 1] = 0;
    return DWORD(path.size() + 2);
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD creation,
                          DWORD, HANDLE)
{
    // A port's name, or a device's own path (the command-line speed test's).
    const bool path = name && name[0] == '/';
    unsigned n = path ? 0 : PortNumber(name);
    if (n == 0 && !path) {
        Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (creation != OPEN_EXISTING || share != 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int mode = (access & GENERIC_READ) && (access & GENERIC_WRITE) ? O_RDWR
               : (access & GENERIC_WRITE)                          ? O_WRONLY
                                                                   : O_RDONLY;
    const std::string device = path ? std::string(name) : DevicePath(n);
    // Non-blocking so that a modem line without carrier cannot stall the open;
    // every wait is done with poll() under the port's time-outs.
    int fd;
    do fd = open(device.c_str(), mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        FailErrno();
        return INVALID_HANDLE_VALUE;
    }
    auto refuse = [fd](DWORD code) {
        close(fd);
        Fail(code);
        return INVALID_HANDLE_VALUE;
    };
    if (!isatty(fd)) return refuse(ERROR_INVALID_FUNCTION);
    // Exclusive like a Win32 comm port: flock stops every other process that
    // asks (root included), TIOCEXCL stops plain opens by other users. Root
    // passes another program's TIOCEXCL, so look for it too.
#if defined(TIOCGEXCL)
    int held = 0;
    if (ioctl(fd, TIOCGEXCL, &held) == 0 && held) return refuse(ERROR_SHARING_VIOLATION);
#endif
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return refuse(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : FromErrno(errno));
    ioctl(fd, TIOCEXCL);
    auto refuseHeld = [fd, &refuse](DWORD code) {
        ioctl(fd, TIOCNXCL);
        return refuse(code);
    };
    termios t;
    if (tcgetattr(fd, &t) != 0) return refuseHeld(FromErrno(errno));
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    // With O_NONBLOCK, VMIN 1 makes an empty queue read as EAGAIN; VMIN 0 would read as 0, as a hang-up does.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) return refuseHeld(FromErrno(errno));

    auto port = std::make_shared<Port>();
    port->fd = fd;
    std::lock_guard<std::mutex> lock(tableLock);
    std::uintptr_t h = nextHandle;
    nextHandle += 4;
    ports[h] = port;
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<HANDLE>(h);
}

BOOL WINAPI CloseHandle(HANDLE h)
{
    std::shared_ptr<Port> port;
    {
        std::lock_guard<std::mutex> lock(tableLock);
        auto it = ports.find(reinterpret_cast<std::uintptr_t>(h));
        if (it == ports.end()) return Fail(ERROR_INVALID_HANDLE);
        port = it->second;
        ports.erase(it);
    }
    // The exclusive flag outlives the descriptor on some drivers: dropped, so the next open is not refused.
    ioctl(port->fd, TIOCNXCL);
    close(port->fd);
    return TRUE;
}

BOOL WINAPI GetCommState(HANDLE h, LPDCB dcb)
{
    auto port = Find(h);
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    if (!dcb) return Fail(ERROR_INVALID_PARAMETER);
    const TDriverPlay play = DriverPlay();
    if (play.noState) return Fail(ERROR_GEN_FAILURE);
    termios t;
    if (tcgetattr(port->fd, &t) != 0) return FailErrno();
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    speed_t code = cfgetospeed(&t);
    for (const Speed &s : speeds)
        if (s.code == code) dcb->BaudRate = s.baud;
    dcb->fBinary = 1;
    dcb->fParity = (t.c_iflag & INPCK) ? 1 : 0;
    switch (t.c_cflag & CSIZE) {
    case CS5: dcb->ByteSize = 5; break;
    case CS6: dcb->ByteSize = 6; break;
    case CS7: dcb->ByteSize = 7; break;
    default: dcb->ByteSize = 8; break;
    }
    dcb->Parity = NOPARITY;
    if (t.c_cflag & PARENB) {
        dcb->Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
#if defined(CMSPAR)
        if (t.c_cflag & CMSPAR) dcb->Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
#endif
    }
    dcb->StopBits = (t.c_cflag & CSTOPB) ? (dcb->ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS) : ONESTOPBIT;
    bool rtscts = false;
#if defined(CRTSCTS)
    rtscts = (t.c_cflag & CRTSCTS) != 0;
#endif
    dcb->fOutxCtsFlow = rtscts ? 1 : 0;
    dcb->fRtsControl = rtscts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fOutX = (t.c_iflag & IXON) ? 1 : 0;
    dcb->fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    if (play.settingsLeft) {
        dcb->fDtrControl = DTR_CONTROL_DISABLE;
        dcb->fOutxCtsFlow = dcb->fOutX = dcb->fInX = dcb->fAbortOnError = dcb->fNull = 1;
        dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
    }
    dcb->fTXContinueOnXoff = 1;
    dcb->XonLim = 2048;
    dcb->XoffLim = 512;
    dcb->XonChar = char(t.c_cc[VSTART]);
    dcb->XoffChar = char(t.c_cc[VSTOP]);
    return TRUE;
}

BOOL WINAPI SetCommState(HANDLE h, LPDCB dcb)
{
    auto port = Find(h);
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    if (!dcb) return Fail(ERROR_INVALID_PARAMETER);
    if (DWORD refused = DriverPlay().refuseSettings) return Fail(refused);
    const Speed *speed = nullptr;
    for (const Speed &s : speeds)
        if (s.baud == dcb->BaudRate) speed = &s;
    // 1.5 stop bits go only with 5 data bits, 2 stop bits never do (as in Win32).
    bool badStop = dcb->StopBits > TWOSTOPBITS || (dcb->StopBits == ONE5STOPBITS && dcb->ByteSize != 5) ||
                   (dcb->StopBits == TWOSTOPBITS && dcb->ByteSize == 5);
    if (!speed || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY || badStop)
        return Fail(ERROR_INVALID_PARAMETER);
#if !defined(CMSPAR)
    if (dcb->Parity == MARKPARITY || dcb->Parity == SPACEPARITY) return Fail(ERROR_INVALID_PARAMETER);
#endif
    termios was;
    if (tcgetattr(port->fd, &was) != 0) return FailErrno();
    termios t = was;
    cfsetispeed(&t, speed->code);
    cfsetospeed(&t, speed->code);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag = (t.c_cflag & ~CSIZE) | sizes[dcb->ByteSize - 5];
    t.c_cflag &= ~(PARENB | PARODD | CSTOPB);
#if defined(CMSPAR)
    t.c_cflag &= ~CMSPAR;
#endif
    switch (dcb->Parity) {
    case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: t.c_cflag |= PARENB; break;
#if defined(CMSPAR)
    case MARKPARITY: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
#endif
    default: break;
    }
    if (dcb->StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
    if (dcb->fParity) t.c_iflag |= INPCK;
    else t.c_iflag &= ~INPCK;
#if defined(CRTSCTS)
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
    else t.c_cflag &= ~CRTSCTS;
#endif
    t.c_iflag &= ~(IXON | IXOFF);
    if (dcb->fOutX) t.c_iflag |= IXON;
    if (dcb->fInX) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = cc_t(dcb->XonChar);
    t.c_cc[VSTOP] = cc_t(dcb->XoffChar);
    if (tcsetattr(port->fd, TCSANOW, &t) != 0) return FailErrno();
    // tcsetattr succeeds when any part was taken; a driver that cannot do the
    // rest (a pseudo-terminal is always 8 bits, no parity) must not pass for one that did.
    termios now;
    tcflag_t line = CSIZE | PARENB | PARODD | CSTOPB;
#if defined(CMSPAR)
    line |= CMSPAR;
#endif
    if (tcgetattr(port->fd, &now) != 0) return FailErrno();
    if ((now.c_cflag & line) != (t.c_cflag & line) || cfgetospeed(&now) != speed->code) {
        tcsetattr(port->fd, TCSANOW, &was);
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return SetLines(port->fd, *dcb);
}

BOOL WINAPI SetupComm(HANDLE h, DWORD inQueue, DWORD)
{
    // The kernel sizes its own transmit buffers; the receive queue is ours.
    auto port = Find(h);
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    // QUORVEL_MAX_QUEUE plays a driver with less room, for the tests of a port opened in part.
    const char *most = std::getenv("QUORVEL_MAX_QUEUE");
    if (inQueue > (most ? DWORD(std::strtoul(most, nullptr, 10)) : MaxQueue)) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    // A queue only grows, as a driver's does; what it holds stays.
    if (inQueue > port->queue.size()) port->queue.resize(inQueue);
    return TRUE;
}

BOOL WINAPI GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts)
{
    auto port = Find(h);
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    if (!timeouts) return Fail(ERROR_INVALID_PARAMETER);
    *timeouts = port->timeouts;
    return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts)
{
    auto port = Find(h);
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    if (!timeouts) return Fail(ERROR_INVALID_PARAMETER);
    // Win32 refuses to wait "for ever" once a byte is there.
    if (timeouts->ReadIntervalTimeout == MAXDWORD && timeouts->ReadTotalTimeoutMultiplier == MAXDWORD &&
        timeouts->ReadTotalTimeoutConstant == MAXDWORD)
        return Fail(ERROR_INVALID_PARAMETER);
    port->timeouts = *timeouts;
    return TRUE;
}

BOOL WINAPI PurgeComm(HANDLE h, DWORD flags)
{
    auto port = Find(h);
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) return Fail(ERROR_INVALID_PARAMETER);
    // All I/O here is synchronous, so there is never a pending request to abort.
    int queue = -1;
    if ((flags & PURGE_RXCLEAR) && (flags & PURGE_TXCLEAR)) queue = TCIOFLUSH;
    else if (flags & PURGE_RXCLEAR) queue = TCIFLUSH;
    else if (flags & PURGE_TXCLEAR) queue = TCOFLUSH;
    if (queue >= 0 && tcflush(port->fd, queue) != 0) return FailErrno();
    if (flags & PURGE_RXCLEAR) port->queueHead = port->queueTail = 0;
    return TRUE;
}

BOOL WINAPI ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat)
{
    auto port = Find(h);
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    const TDriverPlay play = DriverPlay();
    if (play.statusFails) return Fail(play.statusFails);
    DWORD flags = 0;
#if defined(TIOCGICOUNT)
    // Line errors are counters here; report what grew since the last call.
    serial_icounter_struct now{};
    if (!port->noCounts) {
        if (ioctl(port->fd, TIOCGICOUNT, &now) != 0) {
            port->noCounts = errno == ENOTTY || errno == EINVAL;
        } else {
            if (port->haveCounts) {
                const serial_icounter_struct &was = port->counts;
                if (now.overrun != was.overrun) flags |= CE_OVERRUN;
                if (now.buf_overrun != was.buf_overrun) flags |= CE_RXOVER;
                if (now.parity != was.parity) flags |= CE_RXPARITY;
                if (now.frame != was.frame) flags |= CE_FRAME;
                if (now.brk != was.brk) flags |= CE_BREAK;
            }
            port->counts = now;
            port->haveCounts = true;
        }
    }
#endif
    // A device that is gone (the line hung up, the board unplugged) refuses
    // even this question; Windows fails the call then too.
    int waiting = 0;
    if (ioctl(port->fd, FIONREAD, &waiting) != 0) return play.gone && errno == EIO ? Fail(play.gone) : FailErrno();
    // A full line discipline may have more behind it: count that too.
    if (std::size_t(std::max(waiting, 0)) >= Backlog) {
        Fill(*port);
        if (ioctl(port->fd, FIONREAD, &waiting) != 0) return FailErrno();
    }
    if (errors) *errors = flags;
    if (stat) {
        std::memset(stat, 0, sizeof *stat);
        stat->cbInQue = DWORD(Queued(*port) + std::size_t(std::max(waiting, 0)));
        int n = 0;
        if (ioctl(port->fd, TIOCOUTQ, &n) == 0 && n > 0) stat->cbOutQue = DWORD(n);
    }
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE h, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped)
{
    if (done) *done = 0;
    auto port = Find(h);
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    if (overlapped || !done || (count && !buffer)) return Fail(ERROR_INVALID_PARAMETER);
    const COMMTIMEOUTS &t = port->timeouts;
    // The Win32 rules: MAXDWORD interval with zero totals returns at once;
    // MAXDWORD interval and multiplier waits up to the constant for a first
    // byte; otherwise a total deadline (when set) and a gap limit between bytes.
    bool atOnce = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    bool firstByte = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD;
    std::int64_t start = NowMs();
    std::int64_t deadline = -1;
    if (firstByte) deadline = start + t.ReadTotalTimeoutConstant;
    else if (t.ReadTotalTimeoutMultiplier || t.ReadTotalTimeoutConstant)
        deadline = start + std::int64_t(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
    DWORD gap = (t.ReadIntervalTimeout == MAXDWORD) ? 0 : t.ReadIntervalTimeout;

    auto *out = static_cast<unsigned char *>(buffer);
    DWORD got = 0;
    // What the queue gathered first, then straight from the terminal.
    if (std::size_t queued = Queued(*port)) {
        got = DWORD(std::min<std::size_t>(queued, count));
        std::memcpy(out, port->queue.data() + port->queueHead, got);
        port->queueHead += got;
    }
    std::size_t burst = 0;  // read since the line discipline was last found empty
    while (got < count) {
        ssize_t r = read(port->fd, out + got, count - got);
        if (r > 0) {
            got += DWORD(r);
            burst += std::size_t(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            // Hang-up (end of file) or a device error: hand over what came first.
            if (got) break;
            return r == 0 ? Fail(ERROR_GEN_FAILURE) : FailErrno();
        }
        if (atOnce || (firstByte && got)) {
            // As the queue's fill does: a buffer's worth may have more behind it.
            if (burst >= Backlog && NowMs() < start + 5 && Refilled(port->fd)) {
                burst = 0;
                continue;
            }
            break;
        }
        std::int64_t until = deadline;
        if (gap && got) {
            std::int64_t gapEnd = NowMs() + gap;
            until = until < 0 ? gapEnd : std::min(until, gapEnd);
        }
        if (!WaitFor(port->fd, POLLIN, until)) break;
    }
    *done = got;
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped)
{
    if (done) *done = 0;
    auto port = Find(h);
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    if (overlapped || !done || (count && !buffer)) return Fail(ERROR_INVALID_PARAMETER);
    const COMMTIMEOUTS &t = port->timeouts;
    std::int64_t deadline = -1;
    if (t.WriteTotalTimeoutMultiplier || t.WriteTotalTimeoutConstant)
        deadline = NowMs() + std::int64_t(t.WriteTotalTimeoutMultiplier) * count + t.WriteTotalTimeoutConstant;
    const auto *in = static_cast<const unsigned char *>(buffer);
    DWORD sent = 0;
    // When the queue is full, a far end that reads at full speed makes room
    // sooner than a sleeping writer wakes; so try again for a moment first.
    constexpr auto Retrying = std::chrono::microseconds(200);
    std::chrono::steady_clock::time_point retryEnd{};
    while (sent < count) {
        ssize_t r = write(port->fd, in + sent, count - sent);
        if (r > 0) {
            sent += DWORD(r);
            retryEnd = {};
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            *done = sent;
            return FailErrno();
        }
        auto now = std::chrono::steady_clock::now();
        if (retryEnd == decltype(retryEnd){}) retryEnd = now + Retrying;
        if (now < retryEnd) {
            std::this_thread::yield();
            continue;
        }
        retryEnd = {};
        // A write that runs out of time still succeeds; the count tells how far it got
        // (usbser.sys fails it instead, and tells nothing).
        if (!WaitFor(port->fd, POLLOUT, deadline)) {
            if (DriverPlay().writeTimeout) return Fail(ERROR_SEM_TIMEOUT);
            break;
        }
    }
    *done = sent;
    return TRUE;
}

void WINAPI Sleep(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }
