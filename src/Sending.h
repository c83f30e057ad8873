// What Send puts on the wire besides the box's text, with no toolkit: the
// line end added to each send, the box's text read as hex bytes, and the
// texts sent in this run, recalled as a shell recalls commands. Nothing here
// outlives the run.
#ifndef QUORVEL_SENDING_H
#define QUORVEL_SENDING_H

#include <cstddef>
#include <deque>
#include <string>

#include "LogCapture.h"

enum class TLineEnd { None, CR, LF, CRLF };

// "None", "CR", "LF", "CR LF": as the menu shows them.
const char *LineEndCaption(TLineEnd end);
std::string LineEndBytes(TLineEnd end);
// "none", "cr", "lf" or "crlf", as the command line gives it; false for anything else.
bool LineEndNamed(const std::string &name, TLineEnd &end);

// The console's command line, for scripts: what Send does in this run.
//   --line-end none|cr|lf|crlf   the line end added to each send
//   --hex                        the box's text read as hex bytes
// and a capture to file: from the start (--capture FILE), and for any in this
// run the text beside (--capture-text) and the size limit (--capture-limit SIZE).
// 0: go on; 1: --help, `said` is the usage (end with success); 2: `said` is what is wrong.
int ReadCommandLine(int argc, const char *const *argv, TLineEnd &end, bool &hex, TCaptureOptions &capture, std::string &said);

// "0D 0A 00 ff": those bytes; spaces may stand between bytes, not within
// one. False for anything else, with a line that names the first place at
// fault (characters counted from 1), and no bytes.
bool HexToBytes(const std::string &text, std::string &bytes, std::string &why);

// The last texts sent, newest last. Up goes back through them, Down forward
// to what was being typed; Escape brings that back at once.
class TSendHistory {
public:
    static constexpr std::size_t Most = 100;
    void Sent(const std::string &text);  // a text sent: recalled from now on, newest first
    // Up from the box's text `typed`: the older text into `text`; false at the oldest (nothing changes).
    bool Up(const std::string &typed, std::string &text);
    bool Down(std::string &text);    // newer; the text typed before Up after the newest
    bool Escape(std::string &text);  // the text typed before Up; false when not recalling
    bool Recalling() const { return at < texts.size(); }

private:
    std::deque<std::string> texts;
    std::size_t at = 0;  // the text shown; texts.size(): none, the box holds what was typed
    std::string typed;
};

#endif
