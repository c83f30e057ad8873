// Test helpers: the log view over a fake host where every character is one
// unit wide and a row one unit high, and what must hold of it after any step.
#ifndef QUORVEL_TESTS_LOGVIEWCHECK_H
#define QUORVEL_TESTS_LOGVIEWCHECK_H

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "LogView.h"

struct FakeHost : TLogHost {
    int invalidated = 0, timer = 0;
    std::size_t barLines = 0, barPage = 0, barPosition = 0;
    std::string clipboard;
    bool captured = false;
    void Invalidate() override { ++invalidated; }
    void SetScrollBar(std::size_t lines, std::size_t page, std::size_t position) override
    {
        barLines = lines, barPage = page, barPosition = position;
    }
    void SetClipboard(const std::string &text) override { clipboard = text; }
    void CaptureMouse(bool on) override { captured = on; }
    void SetTimer(int ms) override { timer = ms; }
    bool working = false, askedFind = false;
    std::string savePath;  // what the save dialog answers
    void SetWorking(bool on) override { working = on; }
    void AskFind() override { askedFind = true; }
    std::string AskSavePath(bool) override { return savePath; }
    void SetFixedPitch(bool) override {}
};

// A folder for the stores tests keep on disk, gone at the end.
inline const std::string &ScratchBase()
{
    struct Base {
        std::string path;
        Base()
        {
#ifdef _WIN32
            path = TLogFolder::Base() + "-tests";
#else
            char name[] = "/tmp/quorvel-tests-XXXXXX";
            path = mkdtemp(name) ? name : "/tmp";
#endif
        }
        ~Base() { std::remove(path.c_str()); }
    };
    static Base base;
    return base.path;
}

// A view of its own store, or of another's (a form's log).
struct Log {
    TLogStore own;
    TLogStore &store;
    FakeHost host;
    TLogView view;
    explicit Log(int width = 10, int height = 5, int margin = 0, TLogStore *over = nullptr)
        : store(over ? *over : own), view(store, host, "\r\n")
    {
        int ones[256];
        std::fill(std::begin(ones), std::end(ones), 1);
        view.SetMetrics(ones, 1, margin);
        view.Resize(width, height);
    }
    void Add(const std::string &line)
    {
        store.Append(line);
        view.StoreChanged();
    }
    // The rows in sight as "text|text|...", each row's characters.
    std::string Shown() const
    {
        std::string out;
        for (const TLogView::Row &row : view.Rows()) out += (out.empty() ? "" : "|") + row.text->substr(std::size_t(row.from), std::size_t(row.to - row.from));
        return out;
    }
};

// What must hold of the view after any step; empty when it does.
inline std::string Invariants(const Log &log, int width, int height, int margin = 0)
{
    const TLogView &v = log.view;
    const std::size_t count = log.view.LineCount();
    const std::vector<TLogView::Row> &rows = v.Rows();
    if (height <= 0 || count == 0) return rows.empty() ? "" : "rows in a view of no height or no lines";
    if (rows.empty()) return height <= margin ? "" : "nothing in sight";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const TLogView::Row &r = rows[i];
        std::string line;
        if (r.line < count) v.Line(r.line, line);
        if (r.line >= count || *r.text != line) return "a row's text is not its line's";
        if (r.from < 0 || r.from > r.to || r.to > int(r.text->size())) return "a row outside its line";
        if (r.top >= height || r.top + 1 <= 0) return "a row out of sight";
        if (width >= 2 && r.to - r.from > width) {
            // Only blanks may hang past the edge.
            for (int k = r.from + width; k < r.to; ++k)
                if ((*r.text)[std::size_t(k)] != ' ') return "a row wider than the view";
        }
        if (r.selFrom < r.from || r.selTo > r.to || r.selFrom > r.selTo) return "a selection outside its row";
        if (i > 0) {
            const TLogView::Row &p = rows[i - 1];
            if (r.top != p.top + 1) return "rows not one under another";
            bool next = p.line == r.line ? p.to == r.from && p.to < int(p.text->size()) : r.line == p.line + 1 && r.from == 0 && p.to == int(p.text->size());
            if (!next) return "a row missing between two in sight";
        }
    }
    if (v.AtEnd() && (rows.back().line != count - 1 || rows.back().to != int(rows.back().text->size())))
        return "at the end, but the last line's end is not in sight";
    if (v.AtEnd() && rows.front().top > margin) return "a short log not at the top";
    if (!v.AtEnd() && (rows.front().line != v.TopLine() || (rows.front().from == 0) != (v.Top().row == 0) || rows.front().top != margin))
        return "scrolled, but the top row is not first";
    // The bar counts rows; its end is the view's.
    const std::uint64_t total = v.TotalRows(), page = std::uint64_t(v.Page()), barEnd = total > page ? total - page : 0;
    if (log.host.barLines != total || log.host.barPage != page || log.host.barPosition != v.RowIndex(v.Top()) ||
        log.host.barPosition > barEnd || v.AtEnd() != (log.host.barPosition == barEnd))
        return "the scroll bar is not where the view is";
    const TLogPosition a = v.Anchor(), c = v.Caret();
    for (TLogPosition p : {a, c})
        if (p.line >= count || p.offset < 0 || p.offset > v.LineLength(p.line)) return "the caret or anchor off the text";
    const TLogPosition from = std::min(a, c), to = std::max(a, c);
    if (to.line - from.line > 64) return "";  // a long selection's text is left to the cases above
    std::size_t selected = v.SelectedText().size(), expected = 0;
    for (std::size_t line = from.line; line <= to.line && from < to; ++line)
        expected += (line == to.line ? std::size_t(to.offset) : std::size_t(v.LineLength(line)) + 2) - (line == from.line ? std::size_t(from.offset) : 0);
    if (selected != expected) return "the selected text is not the selection";
    return "";
}

#endif
