// The log view's model and the port list's completion, with no window: a
// fake host where every character is one unit wide and a row one unit high.
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "Check.h"
#include "Completion.h"
#include "LogFind.h"
#include "LogView.h"
#include "LogViewCheck.h"

namespace {

// Every row can be scrolled to: a view of the same width goes from the top
// to the end a row a step, the bar a row a step with it.
std::string EveryRowReached(const Log &log, int width)
{
    FakeHost host;
    TLogView probe(log.store, host, "\n");
    int ones[256];
    std::fill(std::begin(ones), std::end(ones), 1);
    probe.SetMetrics(ones, 1, 0);
    probe.Resize(width, 3);
    probe.ScrollTo(TLogView::Place{});
    for (std::uint64_t step = 0; !probe.AtEnd(); ++step) {
        if (host.barPosition != step) return "the bar did not count a row a step";
        const TLogView::Row next = probe.Rows().at(1);
        probe.Scroll(TLogScroll::LineDown);
        const TLogView::Row &first = probe.Rows().front();
        if (first.line != next.line || first.from != next.from) return "a row passed over when scrolled a row";
    }
    return "";
}

}  // namespace

TEST_CASE(lines_wrap_after_the_last_blank_else_where_full)
{
    struct Case {
        int width;
        const char *line, *rows;
    } cases[] = {
        {10, "", ""},
        {10, "short", "short"},
        {10, "exactly 10", "exactly 10"},
        {5, "hello world", "hello |world"},            // the blank at the edge hangs past it
        {8, "ab cd efgh ij", "ab cd |efgh ij"},        // after the last blank that fits
        {3, "abcdefgh", "abc|def|gh"},                 // no blank: wherever full
        {4, "ab   cd", "ab   |cd"},                    // a run of blanks hangs whole
        {2, "ab  ", "ab  "},                           // and ends the line: no empty row
        {0, "abc", "a|b|c"},                           // no room: a character a row
        {6, "a\tb\x01\xFF\x7F" "c", "a\tb\x01\xFF\x7F|c"},  // every byte one character, TAB too
    };
    // Control bytes show as blanks of their own on every widget set; the rest as they are.
    for (int b : {0x00, 0x09, 0x0D, 0x1F, 0x7F, 0x85, 0x9F}) CHECK_EQ(TLogView::Shown(static_cast<unsigned char>(b)), ' ');
    for (int b : {0x20, 0x41, 0x7E, 0xA0, 0xE4, 0xFF}) CHECK_EQ(TLogView::Shown(static_cast<unsigned char>(b)), char(b));
    for (const Case &c : cases) {
        Log log(c.width, 20);
        log.Add(c.line);
        CHECK_EQ(log.Shown(), std::string(c.rows));
        CHECK_EQ(Invariants(log, c.width, 20), std::string());
    }
    // Lines that wrap fill the view from the bottom at the end, and from the top line scrolled up.
    Log log(4, 3);
    for (const char *line : {"one", "two two", "three"}) log.Add(line);
    CHECK_EQ(log.Shown(), std::string("two|thre|e"));
    log.view.ScrollTo(0);
    CHECK_EQ(log.Shown(), std::string("one|two |two"));
    // Each row of a line that wraps into more than the view holds can be scrolled to, and the bar counts rows.
    Log tall(10, 3);
    for (const char *line : {"a", "0123456789abcdefghijABCDEFGHIJ0123456789abcdefghij", "b", "c", "d", "e"}) tall.Add(line);
    CHECK_EQ(tall.Shown(), std::string("c|d|e"));
    CHECK_EQ(tall.host.barLines, std::size_t(10));
    tall.view.ScrollTo(std::uint64_t(3));
    CHECK_EQ(tall.Shown(), std::string("ABCDEFGHIJ|0123456789|abcdefghij"));
    CHECK_EQ(EveryRowReached(tall, 10), std::string());
    CHECK_EQ(EveryRowReached(tall, 3), std::string());
}

TEST_CASE(the_view_follows_the_end_and_stays_when_scrolled_up)
{
    Log log(10, 3);
    for (int i = 0; i < 10; ++i) log.Add("line " + std::to_string(i));
    CHECK(log.view.AtEnd());
    CHECK_EQ(log.view.TopLine(), std::size_t(7));
    CHECK_EQ(log.Shown(), std::string("line 7|line 8|line 9"));
    CHECK_EQ(log.host.barPosition, std::size_t(7));

    struct Step {
        TLogScroll action;
        std::size_t top;
        bool atEnd;
    } steps[] = {{TLogScroll::LineUp, 6, false}, {TLogScroll::PageUp, 3, false}, {TLogScroll::Top, 0, false},
                 {TLogScroll::LineUp, 0, false}, {TLogScroll::PageDown, 3, false}, {TLogScroll::Bottom, 7, true},
                 {TLogScroll::LineDown, 7, true}};
    for (const Step &s : steps) {
        log.view.Scroll(s.action);
        CHECK_EQ(log.view.TopLine(), s.top);
        CHECK_EQ(log.view.AtEnd(), s.atEnd);
    }
    // Scrolled up, new lines leave the view where it is; the wheel goes three lines a notch, parts adding up.
    log.view.Wheel(120);
    CHECK_EQ(log.view.TopLine(), std::size_t(4));
    log.Add("more");
    CHECK_EQ(log.view.TopLine(), std::size_t(4));
    CHECK_EQ(log.Shown(), std::string("line 4|line 5|line 6"));
    log.view.Wheel(-40);
    log.view.Wheel(-40);
    CHECK_EQ(log.view.TopLine(), std::size_t(6));
    // Back at the end, it follows again; so it does after growing taller there.
    log.view.ScrollTo(100);
    log.Add("last");
    CHECK(log.view.AtEnd());
    CHECK_EQ(log.Shown(), std::string("line 9|more|last"));
    log.view.Resize(10, 5);
    CHECK_EQ(log.Shown(), std::string("line 7|line 8|line 9|more|last"));
    log.store.Clear();
    log.view.StoreChanged();
    CHECK_EQ(log.Shown(), std::string());
    CHECK(log.view.AtEnd() && log.host.barLines == 0);

    // The thumb dropped at a part of the bar shows the row there, however many NULs the lines keep
    // (here each line is one row: a count line, and three characters after 2000 NULs).
    const std::string nuls = std::string(2000, '\0') + "abc";
    for (int k = 0; k < 10000; ++k) log.store.AppendRead(reinterpret_cast<const unsigned char *>(nuls.data()), nuls.size(), 0, 0);
    for (int quarter = 1; quarter < 4; ++quarter) {
        Log thumb(40, 10, 0, &log.store);
        thumb.view.ScrollTo(thumb.view.TotalRows() * std::uint64_t(quarter) / 4);
        const double at = double(thumb.view.TopLine()) / double(thumb.view.LineCount());
        CHECK(at > quarter / 4.0 - 0.01 && at < quarter / 4.0 + 0.01);
    }
}

TEST_CASE(keys_and_the_mouse_select_and_copy_with_the_platforms_line_break)
{
    Log log(6, 4);
    for (const char *line : {"first", "second line", "3rd"}) log.Add(line);
    CHECK_EQ(log.Shown(), std::string("first|second |line|3rd"));
    struct Step {
        TLogKey key;
        int modifiers;
        TLogPosition caret, anchor;
    } steps[] = {
        {TLogKey::Home, lmControl, {0, 0}, {0, 0}},
        {TLogKey::Right, lmShift, {0, 1}, {0, 0}},
        {TLogKey::End, lmShift, {0, 5}, {0, 0}},
        {TLogKey::Right, lmShift, {1, 0}, {0, 0}},   // over the line break
        {TLogKey::Down, lmShift, {1, 7}, {0, 0}},    // a row down: the line's wrapped row
        {TLogKey::Down, lmShift, {2, 0}, {0, 0}},
        {TLogKey::Left, lmShift, {1, 11}, {0, 0}},   // back over it, to the line's end
        {TLogKey::Up, 0, {1, 4}, {1, 4}},            // the place across kept, a row up
        {TLogKey::Up, 0, {0, 4}, {0, 4}},
        {TLogKey::PageDown, 0, {2, 3}, {2, 3}},      // as far as the last line goes
        {TLogKey::End, lmControl, {2, 3}, {2, 3}},
        {TLogKey::PageUp, lmShift, {0, 3}, {2, 3}},
        {TLogKey::Home, 0, {0, 0}, {0, 0}},
        {TLogKey::Left, 0, {0, 0}, {0, 0}},           // nowhere to go
    };
    for (const Step &s : steps) {
        CHECK(log.view.Key(s.key, s.modifiers));
        CHECK(log.view.Caret() == s.caret && log.view.Anchor() == s.anchor);
    }
    // The mouse: press in a wrapped line's second row, drag to the next line, copy.
    log.view.Press(1, 2, 0);  // "l|ine"
    CHECK(log.host.captured);
    CHECK(log.view.Caret() == (TLogPosition{1, 8}));
    log.view.Drag(2, 3);  // "3r|d", nearer to the right of "r"
    log.view.Release();
    CHECK(!log.host.captured);
    CHECK(log.view.Key(TLogKey::Copy, 0));
    CHECK_EQ(log.host.clipboard, std::string("ine\r\n3r"));
    log.view.Press(100, 0, lmShift);  // past a row's end: its end; Shift keeps the anchor
    CHECK_EQ(log.view.SelectedText(), std::string("\r\nsecond l"));
    log.view.Release();
    CHECK(log.view.Key(TLogKey::SelectAll, 0));
    CHECK_EQ(log.view.SelectedText(), std::string("first\r\nsecond line\r\n3rd"));
    CHECK_EQ(log.view.Text(), log.view.SelectedText());
    CHECK_EQ(log.view.TextLength(), std::uint64_t(log.view.Text().size()));
    CHECK_EQ(log.view.Range({0, 2}, {2, 1}, 6), std::string("rst\r\ns"));  // a limit, as WM_GETTEXT gives
    // Where a character is: at a row's end the next row's start; a line's end has a blank's box.
    TLogBox b = log.view.Where({1, 7});
    CHECK(b.left == 0 && b.top == 2 && b.right == 1 && b.bottom == 3);
    b = log.view.Where({2, 3});
    CHECK(b.left == 3 && b.top == 3);
    CHECK(log.view.Where({9, 0}).Empty());

    // Dragging past an edge scrolls on, by the host's timer while the pointer stays out.
    Log tall(10, 3);
    for (int i = 0; i < 10; ++i) tall.Add("line " + std::to_string(i));
    tall.view.ScrollTo(3);
    tall.view.Press(0, 1, 0);
    tall.view.Drag(0, 5);
    CHECK_EQ(tall.view.TopLine(), std::size_t(4));
    CHECK_EQ(tall.host.timer, TLogView::DragScrollMs);
    for (int i = 0; i < 5; ++i) tall.view.Tick();
    CHECK(tall.view.AtEnd());
    CHECK(tall.view.Caret() == (TLogPosition{9, 0}));
    tall.view.Drag(3, -1);
    CHECK_EQ(tall.view.TopLine(), std::size_t(6));
    tall.view.Drag(3, 1);  // back inside: the timer stops
    CHECK_EQ(tall.host.timer, 0);
    tall.view.Release();
    CHECK_EQ(tall.view.SelectedText(), std::string("line 4\r\nline 5\r\nline 6\r\nlin"));
    // With no lines, keys are the host's, and nothing breaks.
    Log empty;
    CHECK(!empty.view.Key(TLogKey::Down, 0));
    empty.view.Press(3, 3, 0);
    CHECK(empty.view.Caret() == (TLogPosition{0, 0}));
}

TEST_CASE(the_context_menu_is_the_views_table_as_it_stands)
{
    // Every widget set shows these items, in this order, enabled as the view says.
    auto menu = [](const TLogView &view) {
        std::string out;
        for (const TLogMenuItem &item : view.Menu())
            out += item.separator ? std::string("-|") : std::string(item.caption) + " " + item.keys + (item.enabled ? "" : " (off)") + "|";
        return out;
    };
    const std::string views = "-|Te&xt |&Hex Ctrl+H|&Times Ctrl+T|-|&Save Log As... Ctrl+S|Save &Received Bytes As... |";
    Log log(20, 5);
    CHECK_EQ(menu(log.view), "&Copy Ctrl+C (off)|-|Select &All Ctrl+A (off)|-|&Find... Ctrl+F (off)|Find &Next F3 (off)|" + views);
    for (const char *line : {"first", "second"}) log.Add(line);
    CHECK_EQ(menu(log.view), "&Copy Ctrl+C (off)|-|Select &All Ctrl+A|-|&Find... Ctrl+F|Find &Next F3 (off)|" + views);
    log.view.Command(TLogCommand::SelectAll);
    CHECK_EQ(menu(log.view), "&Copy Ctrl+C|-|Select &All Ctrl+A|-|&Find... Ctrl+F|Find &Next F3 (off)|" + views);
    log.view.Command(TLogCommand::Copy);
    CHECK_EQ(log.host.clipboard, std::string("first\r\nsecond"));
}

TEST_CASE(times_show_each_reads_time_of_day_and_gap_on_its_count_line)
{
#ifdef _WIN32
    _putenv_s("TZ", "UTC");
    _tzset();
#else
    setenv("TZ", "UTC", 1);
    tzset();
#endif
    const std::int64_t at = 1796738587512000;  // 2026-12-08 14:03:07.512 UTC
    Log log(80, 10);
    auto read = [&](std::int64_t monotonicUs, const char *text) {
        // Only the first read ties the clocks.
        log.store.AppendRead(reinterpret_cast<const unsigned char *>(text), std::strlen(text), monotonicUs, at + monotonicUs - 5000000 + 777);
        log.view.StoreChanged();
    };
    auto timesItem = [&] { return log.view.Menu()[9]; };
    read(5000000, "hello world");
    read(5998400, "abc");
    log.Add("Speed PC -> PIC: 100.00 KB/s");
    read(3605998400, "z");  // an hour later
    const std::string plain = log.view.Text();
    CHECK(!log.view.Times() && timesItem().caption == std::string("&Times") && !timesItem().checked);
    CHECK(log.view.Shortcut('T'));
    CHECK(log.view.Times() && timesItem().checked);
    CHECK_EQ(log.view.Text(), std::string("# BytesReceived: 11   14:03:07.512\r\nhello world\r\n"
                                          "# BytesReceived: 3   14:03:08.511  +0.998 s\r\nabc\r\n"
                                          "Speed PC -> PIC: 100.00 KB/s\r\n"
                                          "# BytesReceived: 1   15:03:08.511  +3600.000 s\r\nz"));
    CHECK_EQ(log.view.TextLength(), std::uint64_t(log.view.Text().size()));
    CHECK_EQ(Invariants(log, 80, 10), std::string());
    // Narrow, a count line wraps with its times; the selection at the end stays within the text when they go.
    log.view.Resize(12, 4);
    log.view.Select({0, 0}, {5, log.view.LineLength(5)});
    CHECK_EQ(Invariants(log, 12, 4), std::string());
    CHECK(!log.view.Shortcut('Q'));  // no item has it
    log.view.Command(TLogCommand::Times);
    CHECK_EQ(log.view.Text(), plain);
    CHECK(log.view.Caret() == (TLogPosition{5, 18}));
    CHECK_EQ(Invariants(log, 12, 4), std::string());
    // Cleared, the next read is the first again: its time, no gap.
    log.store.Clear();
    log.view.SetTimes(true);
    read(9000000, "ok");
    CHECK_EQ(log.view.Text(), std::string("# BytesReceived: 2   14:03:11.512\r\nok"));
}

namespace {

void Read(Log &log, const std::string &bytes, std::int64_t clock = 0)
{
    log.store.AppendRead(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), clock, clock);
    log.view.StoreChanged();
}

// A find or a save, to its end, as the host's idle time would run it.
void Run(Log &log)
{
    for (int slices = 0; log.view.Working() && slices < 100000; ++slices) log.view.Work(20);
}

std::string FileText(const std::string &path)
{
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) return "(none)";
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
    std::fclose(file);
    return text;
}

// Lines as the log has always shown text: a line per read or line written, NULs left out, then CR, LF and CR LF end one.
void TextLines(std::string text, std::vector<std::string> &lines)
{
    text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
    lines.emplace_back();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\0') continue;
        if (text[i] != '\r' && text[i] != '\n') {
            lines.back() += text[i];
            continue;
        }
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        lines.emplace_back();
    }
}

}  // namespace

TEST_CASE(every_byte_is_kept_as_it_came_shown_as_text_and_as_hex_and_saved)
{
    // Every value four times over, in reads of random size, one of them cut between CR and LF;
    // then CR LF with NULs between them, which the text takes for one line end.
    std::string sent;
    for (int b = 0; b < 4 * 256; ++b) sent += char(b % 256);
    sent += std::string("a\r\0\nb\r\0\0\nc\0\r\n\r\0d", 16);
    std::mt19937 random(7);
    Log log(200, 20);
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < sent.size();) {
        std::size_t n = std::min<std::size_t>(1 + random() % 40, sent.size() - at);
        if (at <= 13 && at + n > 13) n = 14 - at;  // a read ends with the first CR, the next begins with its LF
        const std::string bytes = sent.substr(at, n);
        Read(log, bytes);
        lines.push_back("# BytesReceived: " + std::to_string(n));
        TextLines(bytes, lines);
        at += n;
    }
    log.Add("Speed PC -> PIC: 100.00 KB/s");
    lines.push_back("Speed PC -> PIC: 100.00 KB/s");
    std::vector<std::string> shown;
    for (std::size_t i = 0; i < log.view.LineCount(); ++i) shown.push_back(log.store.Line(i));
    CHECK(shown == lines);
    CHECK_EQ(log.store.Received(), std::uint64_t(sent.size()));
    CHECK_EQ(log.view.TextLength(), std::uint64_t(log.view.Text().size()));

    // In hex the rows give back every byte; the other lines show as they are.
    log.view.Command(TLogCommand::Hex);
    std::string fromHex, other;
    for (std::size_t i = 0; i < log.view.LineCount(); ++i) {
        std::string row;
        log.view.Line(i, row);
        if (row[0] == '#' || row[0] == 'S') {
            other += row + "|";
            continue;
        }
        for (std::size_t c = TLogView::HexColumn; c + 1 < TLogView::HexColumn + 48 && row[c] != ' '; c += 3)
            fromHex += char(std::stoi(row.substr(c, 2), nullptr, 16));
    }
    CHECK(fromHex == sent);
    CHECK(other.find("# BytesReceived: ") == 0 && other.find("|Speed PC -> PIC: 100.00 KB/s|") != std::string::npos);
    CHECK_EQ(log.view.TextLength(), std::uint64_t(log.view.Text().size()));
    CHECK_EQ(Invariants(log, 200, 20), std::string());

    // Saved: the bytes alone, exactly; the log as shown, a line break after each line.
    log.host.savePath = "logview-bytes.bin";
    log.view.Command(TLogCommand::SaveReceived);
    Run(log);
    CHECK(FileText("logview-bytes.bin") == sent);
    CHECK_EQ(log.view.Status(), std::string("Saved 1,040 bytes to logview-bytes.bin."));
    log.host.savePath = "logview-log.txt";
    log.view.Shortcut('S');
    Run(log);
    CHECK(FileText("logview-log.txt") == log.view.Text() + "\r\n");
    std::remove("logview-log.txt");
    // A failed save says why in a line and leaves nothing under the name; so does one stopped or cleared under it.
    for (const char *path : {"no-such-folder/x.bin", "."}) {
        log.host.savePath = path;
        log.view.Command(TLogCommand::SaveReceived);
        Run(log);
        CHECK_EQ(log.view.Status().find(std::string("Could not save ") + path + ": "), std::size_t(0));
    }
#ifndef _WIN32
    // What is at the name or beside it: a save writes through a link at the name to the file it
    // points to, keeps that file's permissions, never writes through a link planted beside it
    // (a save stopped or whole), and says plainly why a folder or a name takes no file.
    std::FILE *victim = std::fopen("logview-victim", "wb");
    std::fputs("keep", victim), std::fclose(victim);
    chmod("logview-victim", 0600);
    symlink("logview-victim", "logview-link");
    symlink("logview-victim", ("logview-saved.quorvel-" + std::to_string(getpid()) + ".tmp").c_str());
    struct Save {
        std::string path;
        bool stop;
        std::string said;  // how the status begins
    };
    const std::string longest(255, 'n'), tooLong(256, 'n');
    symlink("logview-loop-b", "logview-loop-a");
    symlink("logview-loop-a", "logview-loop-b");
    for (const Save &s : {Save{"logview-saved", true, "Save stopped: "}, Save{"logview-saved", false, "Saved 1,040 bytes"},
                          Save{"/sys/logview.bin", false, "Could not save /sys/logview.bin: its folder /sys takes no new file ("},
                          Save{longest, false, "Saved 1,040 bytes"}, Save{tooLong, false, "Could not save " + tooLong + ": the name is too long"},
                          Save{"logview-loop-a", false, "Could not save logview-loop-a: " + std::string(std::strerror(ELOOP))},
                          Save{"logview-link", false, "Saved 1,040 bytes to logview-link."}}) {
        log.host.savePath = s.path;
        log.view.Command(TLogCommand::SaveReceived);
        if (s.stop) log.view.Key(TLogKey::Escape, 0);
        Run(log);
        CHECK_EQ(log.view.Status().substr(0, s.said.size()), s.said);
    }
    struct stat st;
    CHECK(lstat("logview-link", &st) == 0 && S_ISLNK(st.st_mode));
    CHECK(stat("logview-victim", &st) == 0 && (st.st_mode & 0777) == 0600 && FileText("logview-victim") == sent);
    CHECK(FileText("logview-saved") == sent);
    CHECK(lstat("logview-loop-a", &st) == 0 && S_ISLNK(st.st_mode));
    for (const std::string &name : {std::string("logview-victim"), std::string("logview-link"), std::string("logview-saved"), longest,
                                    std::string("logview-loop-a"), std::string("logview-loop-b")})
        std::remove(name.c_str());
    std::remove(("logview-saved.quorvel-" + std::to_string(getpid()) + ".tmp").c_str());
#endif
    std::remove("logview-bytes.bin");
    log.host.savePath = "logview-bytes.bin";
    log.view.Command(TLogCommand::SaveReceived);
    CHECK(log.view.Working() && log.host.working && !log.view.Menu()[11].enabled);
    CHECK(log.view.Key(TLogKey::Escape, 0));
    CHECK(!log.view.Working() && !log.host.working && FileText("logview-bytes.bin") == "(none)");
    CHECK_EQ(log.view.Status(), std::string("Save stopped: logview-bytes.bin was not written."));
    log.view.Command(TLogCommand::SaveReceived);
    log.store.Clear();
    Run(log);
    CHECK(FileText("logview-bytes.bin") == "(none)" && log.view.Status() == "The log was cleared: logview-bytes.bin was not written.");
    CHECK(log.view.Key(TLogKey::Escape, 0) && log.view.Status().empty() && !log.view.Key(TLogKey::Escape, 0));
}

TEST_CASE(hex_rows_show_offset_bytes_and_characters_under_the_count_line)
{
    Log log(90, 10);
    log.Add("Speed PIC -> PC: 99.50 KB/s");
    Read(log, std::string("Hello\r\n\0\xff" "0123456789abcdefg", 26), 5000000);
    log.view.SetTimes(true);
    log.view.Command(TLogCommand::Hex);
    CHECK(log.view.Hex() && log.view.Menu()[8].checked && !log.view.Menu()[7].checked);
    const std::string text = log.view.Text();
    CHECK_EQ(text.substr(text.find("\r\n") + 2, 19), std::string("# BytesReceived: 26"));
    CHECK_EQ(text.substr(text.find("\r\n0000")),
             std::string("\r\n0000  48 65 6C 6C 6F 0D 0A 00 FF 30 31 32 33 34 35 36  Hello....0123456"
                         "\r\n0010  37 38 39 61 62 63 64 65 66 67                    789abcdefg"));
    // Copy takes what is shown; back in text, the same bytes are at the selection.
    log.view.Select({2, 0}, {2, 4});
    log.view.Command(TLogCommand::Copy);
    CHECK_EQ(log.host.clipboard, std::string("0000"));
    log.view.Select({3, 6}, {3, 8});  // the byte '7'
    log.view.Command(TLogCommand::Text);
    CHECK(log.view.Anchor() == (TLogPosition{3, 8}) && !log.view.Hex());  // after the NUL, which text leaves out
    CHECK_EQ(log.view.SelectedText(), std::string("7"));
    CHECK_EQ(Invariants(log, 90, 10), std::string());
}

TEST_CASE(find_selects_the_next_match_either_way_round_and_in_hex_finds_bytes)
{
    Log log(40, 5);
    log.Add("Speed PC -> PIC: 100.00 KB/s");
    Read(log, "alpha\r\nBeta gamma\r\nbeta");
    log.Add("the end");
    log.view.Shortcut('F');
    CHECK(log.host.askedFind);
    auto find = [&](const std::string &what, bool forward) {
        log.view.Find(what, forward);
        Run(log);
        return std::to_string(log.view.Anchor().line) + ":" + log.view.SelectedText();
    };
    CHECK_EQ(find("BETA", true), std::string("3:Beta"));
    CHECK(log.view.Key(TLogKey::FindNext, 0));
    Run(log);
    CHECK_EQ(std::to_string(log.view.Anchor().line) + ":" + log.view.SelectedText(), std::string("4:beta"));
    CHECK_EQ(find("beta", true), std::string("3:Beta"));  // round the end
    CHECK_EQ(find("beta", false), std::string("4:beta"));  // and back round the start
    CHECK_EQ(find("zeta", true), std::string("4:beta"));
    CHECK_EQ(log.view.Status(), std::string("\"zeta\" is not in the log."));
    // The status line stands below the rows: following the end, the newest row is above it.
    log.view.Resize(40, 6);
    log.view.ScrollTo(TLogView::Place{log.view.LineCount(), 0});
    CHECK(log.view.AtEnd() && log.view.Rows().back().line == log.view.LineCount() - 1 &&
          log.view.Rows().back().top + 1 <= 6 - log.view.StatusHeight() && log.view.StatusHeight() == 3);
    log.view.Key(TLogKey::Escape, 0);
    CHECK(log.view.StatusHeight() == 0 && log.view.Rows().back().top == 5);
    log.view.Resize(40, 5);
    CHECK_EQ(find("pic:", false), std::string("0:PIC:"));
    log.view.SetHex(true);
    CHECK_EQ(find("0d 0A 42", true), std::string("2:0D 0A 42"));
    log.view.Select({0, 0}, {0, 0});
    CHECK_EQ(find("65", true), std::string("2:65"));  // the board's "e", not the count line's or the offset's digits
    CHECK_EQ(Invariants(log, 40, 5), std::string());

    // A match across the store's chunk boundary, either way, in a log past it.
    Log big(40, 5);
    std::string bytes(big.store.PieceBytes() + 40, 'x');
    const std::size_t countLine = std::string("# BytesReceived: ").size() + std::to_string(bytes.size()).size();
    bytes.replace(big.store.PieceBytes() - countLine - 3, 6, "NeEdLe");
    Read(big, bytes);
    for (bool forward : {true, false}) {
        big.view.Find("needle", forward);
        Run(big);
        CHECK_EQ(big.view.SelectedText(), std::string("NeEdLe"));
    }
}

TEST_CASE(find_and_hex_keep_to_the_bytes_at_every_edge)
{
    // Each: the reads (a line of the console's own where one starts with '|'), the
    // view, what to find going down (from the start, then again twice as F3 does),
    // and the selections that must follow, each "line:offset-line:offset", its
    // text when it is in one line, or "none".
    struct Case {
        std::vector<std::string> reads;
        bool hex;
        const char *what;
        std::vector<std::string> then;
    };
    const std::vector<Case> cases = {
        // F3 goes on past NULs before the match (a board that reset sends them).
        {{std::string("\0\0\0\0abc xyz abc", 15)}, false, "abc", {"1:0-1:3:abc", "1:8-1:11:abc", "1:0-1:3:abc"}},
        {{std::string("\0abc", 4)}, false, "abc", {"1:0-1:3:abc", "1:0-1:3:abc"}},
        // A match lies within one line as shown: not from a count line into the bytes,
        // nor from a read into the console's next line.
        {{"AB"}, false, "2AB", {"none"}},
        {{"xy", "|Port 20 went away"}, false, "yPort", {"none"}},
        // What the text shows is found, NULs left out.
        {{std::string("a\0b", 3)}, false, "ab", {"1:0-1:2:ab"}},
        {{std::string("a\0\0\0b", 5), "|a b"}, false, "A", {"1:0-1:1:a", "2:0-2:1:a", "1:0-1:1:a"}},
        // Bytes in hex are one stream across reads, never the console's lines between them.
        {{"OK\r", "\nREADY"}, true, "0D 0A", {"1:12-3:8"}},
        {{"OK\r", "|done", "\nREADY"}, true, "0D 0A", {"1:12-4:8"}},
        {{"ab", "|4243", "cd"}, true, "42 43", {"none"}},
    };
    for (const Case &c : cases) {
        Log log(200, 10);
        for (const std::string &r : c.reads) r[0] == '|' ? log.Add(r.substr(1)) : Read(log, r);
        log.view.SetHex(c.hex);
        std::string got, want;
        for (std::size_t k = 0; k < c.then.size(); ++k) {
            if (k == 0) log.view.Find(c.what, true);
            else log.view.Key(TLogKey::FindNext, 0);
            Run(log);
            const bool none = log.view.Status().find("is not in the log") != std::string::npos;
            const TLogPosition a = log.view.Anchor(), z = log.view.Caret();
            std::string said = std::to_string(a.line) + ":" + std::to_string(a.offset) + "-" + std::to_string(z.line) + ":" + std::to_string(z.offset);
            if (a.line == z.line) said += ":" + log.view.SelectedText();
            got += (none ? std::string("none") : said) + " ";
            want += c.then[k] + " ";
        }
        CHECK_EQ(got, want);
    }

    // Hex to text keeps every selected byte, whichever way it was made and whichever column it ends in.
    Log log(200, 10);
    Read(log, "HELLO world");
    log.view.SetHex(true);
    const int hexAt = TLogView::HexColumn, charsAt = TLogView::HexColumn + 47 + 2;
    struct Back {
        TLogPosition from, to;
        const char *text;  // selected back in text
        TLogPosition caret;
    };
    for (const Back &c : {Back{{1, hexAt}, {1, hexAt + 14}, "HELLO", {1, 5}},      // the digits of HELLO
                          Back{{1, hexAt + 14}, {1, hexAt}, "HELLO", {1, 0}},      // the same, made from the end
                          Back{{1, charsAt}, {1, charsAt + 5}, "HELLO", {1, 5}},   // HELLO in the characters column
                          Back{{1, hexAt + 3}, {1, hexAt + 5}, "E", {1, 2}},       // one byte
                          Back{{1, charsAt + 1}, {1, charsAt + 2}, "E", {1, 2}},   // one character
                          Back{{1, charsAt + 6}, {1, charsAt + 6}, "", {1, 6}}}) {  // a caret at 'w's own character
        log.view.SetHex(true);
        log.view.Select(c.from, c.to);
        log.view.SetHex(false);
        CHECK_EQ(log.view.SelectedText(), std::string(c.text));
        CHECK(log.view.Caret() == c.caret);
    }

    // Line ends and NULs go across with the bytes: text to hex and back, each selection
    // "line:offset-line:offset", and the hex rows' bytes it covers.
    Log ends(200, 10);
    Read(ends, "ab\r\ncd");
    Read(ends, std::string("a\0b", 3));
    Read(ends, "abc");
    Read(ends, std::string("\0\0OK", 4));  // a board that reset: NULs after the count line
    ends.Add(std::string("\0X", 2));       // and after a read cut short
    struct Across {
        TLogPosition from, to;
        const char *bytes;  // what hex selects, its digits
    };
    for (const Across &c : {Across{{1, 0}, {2, 0}, "61 62 0D 0A"}, Across{{1, 2}, {2, 0}, "0D 0A"}, Across{{4, 0}, {4, 1}, "61 00"},
                            Across{{4, 1}, {4, 2}, "62"}, Across{{6, 3}, {6, 3}, ""}, Across{{6, 1}, {6, 1}, ""},
                            Across{{7, 0}, {7, 18}, "# BytesReceived: 4"}, Across{{7, 18}, {7, 18}, ""}, Across{{8, 0}, {8, 2}, "4F 4B"},
                            Across{{8, 2}, {8, 2}, ""}}) {
        ends.view.Select(c.from, c.to);
        ends.view.SetHex(true);
        std::string digits = ends.view.SelectedText();
        digits.erase(std::remove(digits.begin(), digits.end(), ' '), digits.end());
        std::string want = c.bytes;
        want.erase(std::remove(want.begin(), want.end(), ' '), want.end());
        ends.view.SetHex(false);
        CHECK_EQ(digits, want);
        CHECK(ends.view.Anchor() == c.from && ends.view.Caret() == c.to);
    }
    ends.view.SetHex(true);
    ends.view.Select({7, charsAt}, {7, charsAt + 4});  // "..OK" in the characters column
    ends.view.SetHex(false);
    CHECK(ends.view.Anchor() == (TLogPosition{8, 0}) && ends.view.Caret() == (TLogPosition{8, 2}));
    // A caret at the log's end stays there, after the last read's last byte in hex.
    Log tail(200, 10);
    Read(tail, "hello\r\n");
    tail.view.Key(TLogKey::End, lmControl);
    tail.view.SetHex(true);
    CHECK(tail.view.Caret() == (TLogPosition{1, TLogView::HexColumn + 6 * 3 + 2}));
    tail.view.SetHex(false);
    CHECK(tail.view.Caret() == tail.view.End());
    // From a caret after a hex row's last character, F3 goes round and Shift+F3 takes the byte before it.
    Read(tail, "fxf");
    tail.view.SetHex(true);
    for (const auto &[forward, at] : {std::make_pair(true, 0), std::make_pair(false, 2)}) {
        tail.view.Select({3, charsAt + 3}, {3, charsAt + 3});
        tail.view.Find("f", forward);
        Run(tail);
        CHECK(tail.view.Anchor() == (TLogPosition{3, TLogView::HexColumn + 3 * at}));
    }
    // From hex: a match of a line end, and of a NUL alone (no character: nothing selected, before 'b').
    for (const auto &[what, from, to] : {std::make_tuple("0D 0A", TLogPosition{1, 2}, TLogPosition{2, 0}),
                                         std::make_tuple("00", TLogPosition{4, 1}, TLogPosition{4, 1})}) {
        ends.view.SetHex(true);
        ends.view.Select({0, 0}, {0, 0});
        ends.view.Find(what, true);
        Run(ends);
        ends.view.SetHex(false);
        CHECK(ends.view.Anchor() == from && ends.view.Caret() == to);
    }
}

TEST_CASE(the_search_finds_what_a_plain_reference_finds_and_looks_at_each_byte_a_bounded_number_of_times)
{
    // Random logs of a few byte values (NULs, CR and LF among them), the
    // console's lines between reads, needles found either way from anywhere,
    // paused at random: the same match as a search of the lines as shown, or
    // of the board's bytes as one stream.
    std::mt19937 random(11);
    const char alphabet[] = {'a', 'b', 'A', '\0', '\r', '\n'};
    for (int round = 0; round < 300; ++round) {
        TLogStore store;
        for (int k = 0, n = 1 + int(random() % 6); k < n; ++k) {
            std::string bytes;
            for (int i = 0, len = 1 + int(random() % 12); i < len; ++i) bytes += alphabet[random() % 6];
            if (random() % 4 == 0) store.Append("a" + bytes.substr(0, 2));
            store.AppendRead(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), 0, 0);
        }
        const bool hex = random() % 2;
        std::string needle;
        for (int i = 0, len = 1 + int(random() % 3); i < len; ++i) needle += alphabet[random() % (hex ? 6 : 3)];
        // Every match, first and last byte, in order.
        std::vector<std::pair<std::uint64_t, std::uint64_t>> matches;
        auto fold = [](std::string s) {
            for (char &c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
            return s;
        };
        if (hex) {
            std::string stream;
            std::vector<std::uint64_t> where;
            for (std::size_t k = 0; k < store.Reads(); ++k)
                for (std::uint32_t i = 0; i < store.Read(k).count; ++i) stream += char(store.At(store.Read(k).at + i)), where.push_back(store.Read(k).at + i);
            for (std::size_t at = stream.find(needle); at != std::string::npos; at = stream.find(needle, at + 1))
                matches.push_back({where[at], where[at + needle.size() - 1]});
        } else {
            for (std::size_t i = 0; i < store.LineCount(); ++i) {
                const std::string line = fold(store.Line(i));
                for (std::size_t at = line.find(fold(needle)); at != std::string::npos; at = line.find(fold(needle), at + 1))
                    matches.push_back({store.ByteOf({i, int(at)}), store.ByteOf({i, int(at + needle.size() - 1)})});
            }
        }
        for (int probe = 0; probe < 10; ++probe) {
            const bool forward = random() % 2;
            const std::uint64_t origin = random() % (store.Bytes() + 1);
            const std::uint64_t none = ~std::uint64_t(0);
            std::pair<std::uint64_t, std::uint64_t> want{none, none};
            if (!matches.empty()) {
                want = forward ? matches.front() : matches.back();
                for (const auto &m : matches)
                    if (forward ? m.first >= origin : m.first < origin) {
                        want = m;
                        if (forward) break;
                    }
                if (!forward)
                    for (auto m = matches.rbegin(); m != matches.rend(); ++m)
                        if (m->first < origin) {
                            want = *m;
                            break;
                        }
            }
            TLogSearch search(store, needle, hex, forward, origin);
            while (!search.Step(1 + random() % 20)) {
            }
            std::pair<std::uint64_t, std::uint64_t> got{none, none};
            if (search.Found()) got = {search.First(), search.Last()};
            if (got != want) {
                CHECK_EQ(std::to_string(got.first) + "-" + std::to_string(got.second), std::to_string(want.first) + "-" + std::to_string(want.second));
                return;
            }
        }
    }

    // Linear: 4 MB of one byte and a needle of 100 of it then another is looked through about once, either way.
    TLogStore store;
    const std::string bytes(4 << 20, 'a');
    for (std::size_t at = 0; at < bytes.size(); at += 64000)
        store.AppendRead(reinterpret_cast<const unsigned char *>(bytes.data() + at), std::min<std::size_t>(64000, bytes.size() - at), 0, 0);
    for (bool hex : {false, true})
        for (bool forward : {true, false}) {
            TLogSearch search(store, std::string(100, hex ? 'a' : 'A') + "b", hex, forward, 0);
            std::uint64_t steps = 0;
            while (!search.Step(1 << 20)) ++steps;
            CHECK(!search.Found() && search.Looked() <= store.Bytes() * 21 / 10 && steps < 20);
        }
}

TEST_CASE(a_place_and_its_byte_convert_into_each_other_and_a_row_and_its_index_too)
{
    // Random logs: the board's NULs, CR, LF and CR LF split across reads, count lines, the
    // console's lines, Times on and off, text and hex, rows from 1 column wide up. The byte is
    // the one address: every place's byte shows at a place that gives it back, later places
    // never give earlier bytes, and a byte with no place of its own (a NUL, a line end's LF)
    // gives the next that has one. Rows, and places within rows, convert both ways exactly.
    std::mt19937 random(5);
    const char alphabet[] = {'a', ' ', 'B', '\0', '\r', '\n'};
    std::uint64_t places = 0;
    auto fail = [](const std::string &what, std::size_t line, int offset, bool hex, bool times) {
        CHECK_EQ(what + " at " + std::to_string(line) + ":" + std::to_string(offset) + (hex ? " hex" : "") + (times ? " times" : ""), std::string());
    };
    for (int round = 0; places < 1000000; ++round) {
        // Every fourth log on disk, in blocks of 16 to 64 bytes, so that lines and reads cross them.
        TLogStore store(round % 4 == 1 ? std::size_t(16) << (round % 3) : std::size_t(1) << 17, 4);
        std::string why;
        if (round % 4 == 1) CHECK(store.KeepOnDisk(ScratchBase(), why));
        std::int64_t us = 1000000;
        while (store.Bytes() < 3000) {
            std::string bytes;
            for (int i = 0, len = 1 + int(random() % (round % 2 ? 40 : 300)); i < len; ++i) bytes += alphabet[random() % 6];
            if (random() % 8 == 0) store.Append(bytes);
            else store.AppendRead(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), us, us), us += random() % 3000000;
        }
        for (int mode = 0; mode < 4; ++mode) {
            const bool hex = mode & 1, times = mode & 2;
            TLogLines lines(store);
            lines.SetHex(hex), lines.SetTimes(times);
            std::vector<bool> address(store.Bytes() + 1, false);
            std::uint64_t previous = 0;
            for (std::size_t i = 0; i < lines.Count(); ++i)
                for (int o = 0, again = 0; o <= lines.Length(i); ++o, ++places) {
                    // (A hex row's characters show its bytes a second time: once a row, its bytes start again.)
                    const std::uint64_t at = lines.ByteFrom({i, o});
                    if (at < previous && hex && !again++ && at == lines.ByteFrom({i, 0})) previous = at;
                    if (at > store.Bytes() || at < previous) return fail("a byte before the last place's", i, o, hex, times);
                    if (lines.ByteFrom(lines.PlaceOf(at, false)) != at) return fail("a byte whose place gives another", i, o, hex, times);
                    previous = at, address[at] = true;
                }
            if (!address[store.Bytes()]) return fail("no place for the log's end", lines.Count(), 0, hex, times);
            // Each byte's place gives it back, or, for a byte with none, the byte that shows next to it.
            std::vector<std::uint64_t> before(address.size()), after(address.size());
            for (std::uint64_t at = 0, last = 0; at < address.size(); ++at) before[at] = last = address[at] ? at : last;
            for (std::uint64_t at = address.size(), next = store.Bytes(); at-- > 0;) after[at] = next = address[at] ? at : next;
            for (std::uint64_t at = 0; at < store.Bytes(); ++at) {
                const std::uint64_t got = lines.ByteFrom(lines.PlaceOf(at, false));
                if (address[at] ? got != at : got != before[at] && got != after[at]) return fail("byte " + std::to_string(at) + " shows at another's place", 0, 0, hex, times);
                if (address[at] && lines.ByteFrom(lines.PlaceOf(at, true)) != after[at + 1]) return fail("after byte " + std::to_string(at) + " is not before the next", 0, 0, hex, times);
            }
            // Rows at a width: every row's index gives it back, and every place its row and x.
            int widths[256];
            for (int &w : widths) w = 1 + int(random() % 3);
            TLogLayout layout(store, lines);
            layout.SetWidths(widths);
            layout.SetRoom(1 + int(random() % 120));
            for (std::uint64_t row = 0; row < layout.TotalRows(); row += 1 + random() % 4) {
                const TLogPlace place = layout.RowAt(row);
                if (layout.RowIndex(place) != row || place.row >= layout.RowsOf(place.line)) return fail("row " + std::to_string(row), place.line, place.row, hex, times);
            }
            for (std::size_t i = random() % 7; i < lines.Count(); i += 1 + random() % 7)
                for (int o = 0; o <= lines.Length(i); ++o) {
                    const TLogPlace place = layout.RowOf({i, o});
                    if (!(layout.AtX(place, layout.XOf({i, o})) == TLogPosition{i, o})) return fail("a row's place", i, o, hex, times);
                }
        }
    }
}

TEST_CASE(a_store_of_small_blocks_on_disk_gives_every_line_as_the_rules_make_it)
{
    // Random additions of NULs, CR, LF and runs longer than a block, into stores whose
    // blocks are 16 to 64 bytes (a cache of 4), on disk and in memory, asked between
    // additions: each line's start, end and characters, and each byte's place, as the
    // rules alone make them from what was added. A failed addition leaves all as it was.
    std::mt19937 random(23);
    for (int round = 0; round < 120; ++round) {
        TLogStore store(std::size_t(16) << (round % 3), 4);
        std::string why;
        if (round % 2) CHECK(store.KeepOnDisk(ScratchBase(), why));
        std::string all;
        struct Line {
            std::uint64_t start, end;
            std::string text;
        };
        std::vector<Line> expected;
        auto add = [&](const std::string &bytes) {
            const std::uint64_t base = all.size();
            std::size_t from = 0;
            for (std::size_t i = 0; i <= bytes.size(); ++i) {
                if (i < bytes.size() && bytes[i] != '\r' && bytes[i] != '\n') continue;
                std::size_t last = i, j = i + 1;
                while (i < bytes.size() && bytes[i] == '\r' && j < bytes.size() && bytes[j] == '\0') ++j;
                if (i < bytes.size() && bytes[i] == '\r' && j < bytes.size() && bytes[j] == '\n') last = j;
                std::string text = bytes.substr(from, i - from);
                text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
                expected.push_back({base + from, base + i, text});
                from = (i = last) + 1;
            }
            all += bytes;
        };
        auto compare = [&](const char *when) {
            std::string got = store.LineCount() == expected.size() ? "" : "line count";
            for (std::size_t i = 0; got.empty() && i < expected.size(); ++i)
                if (store.Offset(i) != expected[i].start || store.TextEnd(i) != expected[i].end || store.Line(i) != expected[i].text ||
                    store.LineLength(i) != expected[i].text.size())
                    got = "line " + std::to_string(i);
            for (std::uint64_t at = 0, i = 0; got.empty() && at <= all.size(); ++at) {
                while (i + 1 < expected.size() && expected[i + 1].start <= at) ++i;
                const std::uint64_t end = std::min(at, expected[i].end);
                const int offset = int(end - expected[i].start - std::count(all.begin() + std::ptrdiff_t(expected[i].start), all.begin() + std::ptrdiff_t(end), '\0'));
                if (!(store.PositionOf(at) == TLogPosition{std::size_t(i), offset})) got = "the place of byte " + std::to_string(at);
                if (at < all.size() && store.At(at) != static_cast<unsigned char>(all[at])) got = "byte " + std::to_string(at);
            }
            CHECK_EQ(got.empty() ? got : got + " " + when + " in round " + std::to_string(round), std::string());
        };
        const char alphabet[] = {'a', 'b', '\0', '\r', '\n'};
        for (int k = 0, n = 1 + int(random() % 30); k < n; ++k) {
            std::string bytes;
            for (int i = 0, len = int(random() % 40); i < len; ++i)
                bytes += random() % 9 ? std::string(1, alphabet[random() % 5]) : std::string(random() % 150, alphabet[random() % 3]);
            if (random() % 3) {
                CHECK(store.AppendRead(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), k, k));
                if (bytes.empty()) continue;
                add("# BytesReceived: " + std::to_string(bytes.size()));
            } else {
                CHECK(store.Append(bytes));
            }
            add(bytes);
            if (random() % 4 == 0) compare("between additions");
            if (random() % 16 == 0) {
                // An addition that finds no room is taken back whole, and said once.
                store.SetLimit(store.Bytes() + 8);
                CHECK(!store.Append(std::string(200, 'x')));
                store.SetLimit(~std::uint64_t(0));
                if (store.LineCount() > expected.size()) add(TLogStore::FullLine);
                compare("after a failed addition");
            }
        }
        compare("at the end");
        store.Clear(), all.clear(), expected.clear();
        CHECK(store.Append(std::string("a\r\0\0\nb", 6)));
        add(std::string("a\r\0\0\nb", 6));
        compare("after a clear");
    }
}

TEST_CASE(a_fixed_pitch_font_wraps_lines_as_any_other_font_does)
{
    // Counted for a font whose characters are all as wide, measured for any other: the same rows.
    std::mt19937 random(11);
    int widths[256];
    std::fill(std::begin(widths), std::end(widths), 1);
    widths[0xFF] = 2;  // never in these lines: the rows must not change, only how they are found
    for (int round = 0; round < 300; ++round) {
        const int width = int(random() % 30), height = 1 + int(random() % 40);
        Log fixed(width, height), measured(width, height);
        measured.view.SetMetrics(widths, 1, 0);
        for (int line = 0; line < 6; ++line) {
            std::string text(random() % 70, 'x');
            for (char &c : text) c = "ab  \x01"[random() % 5];
            fixed.Add(text), measured.Add(text);
        }
        CHECK_EQ(fixed.Shown(), measured.Shown());
        CHECK_EQ(fixed.view.TotalRows(), measured.view.TotalRows());
    }
}

TEST_CASE(every_view_height_from_none_up_and_a_margin)
{
    for (int margin : {0, 2}) {
        for (int height = 0; height <= 14; ++height) {
            Log log(5, height, margin);
            for (const char *line : {"one", "a wrapped line", "", "last"}) log.Add(line);
            CHECK_EQ(Invariants(log, 5 - 2 * margin, height, margin), std::string());
            CHECK_EQ(log.view.Page(), std::max(1, height - 2 * margin));
            log.view.Press(1, height / 2, 0);
            log.view.Release();
        }
    }
}

TEST_CASE(typed_completion_against_the_entries)
{
    const std::vector<std::string> ports = {"1", "2", "3", "12", "20"};
    struct Case {
        TComboText before;
        char typed;
        TComboText after;
        bool change;
    } cases[] = {
        {{"", 0, 0, -1}, '1', {"1", 1, 1, 0}, true},
        {{"1", 1, 1, 0}, '2', {"12", 2, 2, 3}, true},      // 1 then 2 gives 12
        {{"12", 1, 2, 3}, '2', {"12", 2, 2, 3}, false},    // the same entry again: no change
        {{"2", 0, 1, 1}, '2', {"2", 1, 1, 1}, false},      // typed over the selection
        {{"2", 1, 1, 1}, '0', {"20", 2, 2, 4}, true},
        {{"20", 2, 2, 4}, 'x', {"20x", 3, 3, -1}, true},   // begins no entry: as typed
        {{"COM", 1, 3, -1}, '9', {"C9", 2, 2, -1}, true},  // replacing the selection
        {{"12", 2, 2, 3}, ComboBackspace, {"1", 1, 1, -1}, true},
        {{"12", 0, 2, 3}, ComboBackspace, {"", 0, 0, -1}, true},
        {{"12", 0, 0, 3}, ComboBackspace, {"12", 0, 0, -1}, true},  // nothing before the caret
        {{"ComPort", 7, 0, -1}, '3', {"3", 1, 1, 2}, true},         // a selection made leftwards
    };
    for (const Case &c : cases) {
        TComboText box = c.before;
        CHECK_EQ(ComboType(ports, box, c.typed), c.change);
        CHECK_EQ(box.text, c.after.text);
        CHECK(box.selFrom == c.after.selFrom && box.selTo == c.after.selTo && box.index == c.after.index);
    }
    // Pasted, cut or deleted: the text and selection as they are, no entry chosen, the handler runs.
    TComboText pasted{"12", 1, 2, 3};
    CHECK(ComboEdited(pasted) && pasted.text == "12" && pasted.selFrom == 1 && pasted.selTo == 2 && pasted.index == -1);
    TComboText letters{"", 0, 0, -1};
    CHECK(ComboType({"Alpha", "alps"}, letters, 'a') && letters.text == "Alpha" && letters.index == 0);  // case folded
}

TEST_CASE(random_appends_resizes_keys_and_clicks_keep_the_view_whole)
{
    // Every byte value, views down to nothing, for a fixed time.
    const double seconds = std::getenv("QUORVEL_RANDOM_SECONDS") ? std::atof(std::getenv("QUORVEL_RANDOM_SECONDS")) : 30;
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    auto pick = [&](int n) { return int(random() % unsigned(n)); };
    Log log(8, 6);
    int width = 8, height = 6;
    long steps = 0;
    std::int64_t clock = 0;
    std::vector<std::string> lines;
    std::string received;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::string failure;
    while (failure.empty() && (steps % 1024 != 0 || std::chrono::steady_clock::now() < end)) {
        ++steps;
        const int op = pick(100);
        if (op < 40) {
            std::string bytes(std::size_t(pick(14)), '\0');
            for (char &b : bytes) b = pick(4) ? char(pick(256)) : std::string(" \r\n\0", 4)[std::size_t(pick(4))];
            // Reads (gaps from none to hours) and lines of the console's own.
            if (pick(2) && !bytes.empty()) {
                clock += pick(2) ? pick(2000) : pick(1 << 30);
                Read(log, bytes, clock);
                lines.push_back("# BytesReceived: " + std::to_string(bytes.size()));
                received += bytes;
            } else {
                log.Add(bytes);
            }
            TextLines(bytes, lines);
            if (pick(40) == 0) log.view.Command(TLogCommand::Times);
            if (pick(40) == 0) log.view.Command(TLogCommand::Hex);
        } else if (op < 44) {
            width = pick(12), height = pick(10);
            log.view.Resize(width, height);
        } else if (op < 70) {
            const TLogKey key = TLogKey(pick(12));
            log.view.Key(key, pick(4));
            // A key that moves the caret brings its row into sight.
            bool seen = key >= TLogKey::Copy || height < 1 || log.store.LineCount() == 0;
            for (const TLogView::Row &row : log.view.Rows()) seen = seen || (row.caret >= 0 && row.top >= 0 && row.top < height);
            if (!seen) failure = "the caret's row is out of sight after a key";
        } else if (op < 78) {
            log.view.Press(pick(14) - 2, pick(14) - 2, pick(2));
        } else if (op < 86) {
            log.view.Drag(pick(14) - 2, pick(16) - 3);
        } else if (op < 89) {
            log.view.Tick();
        } else if (op < 92) {
            log.view.Release();
        } else if (op < 95) {
            log.view.Wheel(pick(480) - 240);
        } else if (op < 99) {
            log.view.Scroll(TLogScroll(pick(6)));
        } else if (pick(50) == 0) {
            log.store.Clear();
            log.view.StoreChanged();
            lines.clear(), received.clear();
        } else {
            log.view.ScrollTo(std::uint64_t(pick(int(log.view.TotalRows()) + 3)));
        }
        if (failure.empty()) failure = Invariants(log, width, height);
        if (failure.empty() && steps % 4099 == 0 && log.store.LineCount() < 600) failure = EveryRowReached(log, width);
        if (failure.empty() && steps % 997 == 0) {
            // The lines as text always showed them, and every byte of the reads as it came.
            bool same = log.store.LineCount() == lines.size() && log.store.Received() == received.size();
            for (std::size_t i = 0; same && i < lines.size(); ++i) same = log.store.Line(i) == lines[i];
            std::string bytes;
            for (std::size_t k = 0; k < log.store.Reads(); ++k)
                for (std::uint64_t b = 0; b < log.store.Read(k).count; ++b) bytes += char(log.store.At(log.store.Read(k).at + b));
            if (!same || bytes != received) failure = "the store's lines or bytes are not what came";
        }
    }
    std::printf("    %ld random steps in %.0f s (seed %u), %zu lines at the end\n", steps, seconds, seed, log.store.LineCount());
    CHECK_EQ(failure, std::string());
    CHECK(steps >= 100000);
}

int main() { return check::RunAll(); }
