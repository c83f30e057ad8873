// A capture to file in the window: the log menu's items and dialogs, the
// lines and the status line; the bytes go to TLogCapture.
#include "Form1Capture.h"

#include <chrono>
#include <cstdio>

#include "Unit1.h"

namespace {

std::int64_t MonotonicUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

std::int64_t WallUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

bool There(const std::string &path)
{
    std::FILE *file = std::fopen(path.c_str(), "rb");
    return file && std::fclose(file) == 0;
}

}  // namespace

TFormCapture::TFormCapture(TWindow &window, TMemo &memo, TTimer &timer, const std::unique_ptr<TPortJob> &job)
    : window(window), memo(memo), timer(timer), job(job)
{
    memo.OnMenu = [this] { return Memo1Menu(); };
    timer.OnTimer = [this] { Timer7Timer(); };
}

void TFormCapture::Begin(const TCaptureOptions &options)
{
    run = options;
    if (!options.path.empty()) Start(options, true);
}

std::vector<TMenuItem> TFormCapture::Memo1Menu()
{
    return CaptureMenu(capture.Running(), [this] { CaptureToFile1Click(); }, [this] { StopCapture1Click(); });
}

void TFormCapture::CaptureToFile1Click()
{
    // A menu's item may be taken by its key after the state it was built in has gone.
    if (capture.Running()) return;
    TCaptureOptions options = run;
    options.path = window.AskCapturePath(options.text);
    if (options.path.empty()) return;
    const TFileThere there = There(options.path) ? window.AskAppendOrReplace(options.path) : TFileThere::Append;
    if (there != TFileThere::Cancel) Start(options, there == TFileThere::Append);
}

void TFormCapture::Start(const TCaptureOptions &options, bool append)
{
    if (!capture.Start(options, append)) return memo.Append(capture.TakeSaid());
    std::string line = "Capture to " + options.path + (append ? "" : ", emptied first") + ": every byte received from now on goes to its end";
    if (options.text) line += ", and the log with each read's time to " + TLogCapture::TextName(options.path);
    if (options.limit) line += "; the next file after every " + std::to_string(options.limit) + " bytes";
    memo.Append(line + ". \"Stop Capture\" in the log's menu ends it.");
    timer.SetEnabled(true);
    if (!job) memo.SetStatus(capture.Status());
}

void TFormCapture::StopCapture1Click()
{
    if (capture.Running()) Ended(capture.Stop());
}

void TFormCapture::Add(const unsigned char *data, std::size_t count, std::int64_t monotonicUs, std::int64_t wallUs)
{
    if (!capture.Running()) return;
    capture.Add(data, count, monotonicUs, wallUs);
    if (!capture.Running()) Ended(capture.TakeSaid());
}

void TFormCapture::Gap(bool away)
{
    if (!capture.Running()) return;
    capture.Gap(away, MonotonicUs(), WallUs());
    if (!capture.Running()) Ended(capture.TakeSaid());
}

void TFormCapture::Timer7Timer()
{
    if (!capture.Running()) return timer.SetEnabled(false);
    capture.Flush(MonotonicUs());
    if (!capture.Running()) return Ended(capture.TakeSaid());
    if (!job) memo.SetStatus(capture.Status());
}

void TFormCapture::Ended(const std::string &line)
{
    timer.SetEnabled(false);
    if (!job) memo.SetStatus("");
    if (!line.empty()) memo.Append(line);
}
