// The reception log on Win32 as the text grows: what one appended line costs,
// drawn at once, with 0.1, 1.15 and 10.7 MB already in the log. Our log
// control beside the system's multi-line EDIT (the reference), in one window,
// in the same run. Run by ./bench.sh under Wine on a private X server.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "LogStore.h"
#include "Win32Log.h"

namespace {

double Ms()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return double(now.QuadPart) * 1000.0 / double(frequency.QuadPart);
}

void Pump()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// As a board's echo comes: a count line, then its data.
std::string Line(int i)
{
    if (i % 2 == 0) return "# BytesReceived: 64";
    std::string data(64, ' ');
    for (std::size_t k = 0; k < data.size(); ++k) data[k] = char('a' + (std::size_t(i) + k) % 26);
    return data;
}

struct Figures {
    double p50, p90;
};

// Each round appends one line and draws the control before the next.
Figures Measure(HWND view, int rounds, const std::function<void(const std::string &)> &append)
{
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        double start = Ms();
        append(Line(i));
        UpdateWindow(view);
        Pump();
        times.push_back(Ms() - start);
    }
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times[times.size() * 9 / 10]};
}

}  // namespace

int main()
{
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = "QuorvelBench";
    RegisterClassA(&wc);
    HWND host = CreateWindowExA(0, "QuorvelBench", "log benchmark", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 820, 420, nullptr, nullptr,
                                wc.hInstance, nullptr);
    HFONT font = CreateFontA(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                             DEFAULT_QUALITY, DEFAULT_PITCH, "MS Sans Serif");
    Pump();

    // The floor: a plain system control of the same size, drawn as often.
    HWND plain = CreateWindowExA(WS_EX_CLIENTEDGE, "STATIC", "", WS_CHILD | WS_VISIBLE, 8, 8, 369, 337, host, nullptr, wc.hInstance, nullptr);
    Figures floor = Measure(plain, 400, [&](const std::string &) { InvalidateRect(plain, nullptr, TRUE); });
    DestroyWindow(plain);
    std::printf("winlog: floor (a blank STATIC drawn): %.3f / %.3f ms\n", floor.p50, floor.p90);

    const double sizes[] = {0.1e6, 1.15e6, 10.7e6};
    std::printf("winlog: ms per appended line, drawn at once (median, 90th percentile); the log control is 369 x 337\n");
    double firstOurs = 0, lastOurs = 0;
    for (double size : sizes) {
        std::string text;
        int lines = 0;
        while (double(text.size()) < size) text += Line(lines++) + "\r\n";

        TLogStore store;
        for (int i = 0; i < lines; ++i) store.Append(Line(i));
        TWin32Log log(store, host, 1, WS_VISIBLE);
        SendMessageA(log.Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        MoveWindow(log.Handle(), 8, 8, 369, 337, TRUE);
        Pump();
        Figures ours = Measure(log.Handle(), 400, [&](const std::string &line) {
            store.Append(line);
            log.StoreChanged();
        });

        HWND edit = CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "", WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY, 400, 8,
                                    369, 337, host, nullptr, wc.hInstance, nullptr);
        SendMessageA(edit, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        SendMessageA(edit, EM_SETLIMITTEXT, 0x7FFFFFFE, 0);
        double start = Ms();
        SetWindowTextA(edit, text.c_str());
        double fill = Ms() - start;
        Pump();
        Figures system = Measure(edit, 40, [&](const std::string &line) {
            SendMessageA(edit, EM_SETSEL, WPARAM(-1), LPARAM(-1));
            std::string added = line + "\r\n";
            SendMessageA(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(added.c_str()));
        });
        DestroyWindow(edit);

        std::printf("winlog: %5.2f MB: ours %.3f / %.3f ms; EDIT %.2f / %.2f ms (filled in %.0f ms); EDIT/ours %.0fx\n", size / 1e6,
                    ours.p50, ours.p90, system.p50, system.p90, fill, system.p50 / std::max(ours.p50, 1e-6));
        if (firstOurs == 0) firstOurs = ours.p50;
        lastOurs = ours.p50;
    }
    // Ours must not grow with the text: 10.7 MB costs what 0.1 MB does.
    double growth = lastOurs / std::max(firstOurs, 1e-6);
    bool met = growth <= 1.5;
    std::printf("winlog: ours at 10.7 MB / at 0.1 MB = %.2f (target at most 1.5): %s\n", growth, met ? "met" : "MISSED");
    DestroyWindow(host);
    DeleteObject(font);
    return met ? 0 : 1;
}
