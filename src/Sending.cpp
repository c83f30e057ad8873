#include "Sending.h"

const char *LineEndCaption(TLineEnd end)
{
    switch (end) {
    case TLineEnd::CR: return "CR";
    case TLineEnd::LF: return "LF";
    case TLineEnd::CRLF: return "CR LF";
    default: return "None";
    }
}

std::string LineEndBytes(TLineEnd end)
{
    switch (end) {
    case TLineEnd::CR: return "\r";
    case TLineEnd::LF: return "\n";
    case TLineEnd::CRLF: return "\r\n";
    default: return "";
    }
}

bool LineEndNamed(const std::string &name, TLineEnd &end)
{
    const struct {
        const char *name;
        TLineEnd end;
    } names[] = {{"none", TLineEnd::None}, {"cr", TLineEnd::CR}, {"lf", TLineEnd::LF}, {"crlf", TLineEnd::CRLF}};
    for (const auto &n : names)
        if (name == n.name) return end = n.end, true;
    return false;
}

namespace {

// "4096", "64K", "100M", "2G" (1024s); false for anything else, and for 0.
bool SizeNamed(const std::string &text, std::uint64_t &size)
{
    std::uint64_t n = 0;
    std::size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (n > (~std::uint64_t(0) - 9) / 10) return false;
        n = n * 10 + std::uint64_t(text[i] - '0');
    }
    const std::string unit = text.substr(i);
    const int shift = unit.empty() ? 0 : unit == "K" || unit == "k" ? 10 : unit == "M" || unit == "m" ? 20 : unit == "G" || unit == "g" ? 30 : -1;
    if (i == 0 || shift < 0 || n == 0 || n > (~std::uint64_t(0) >> shift)) return false;
    size = n << shift;
    return true;
}

}  // namespace

int ReadCommandLine(int argc, const char *const *argv, TLineEnd &end, bool &hex, TCaptureOptions &capture, std::string &said)
{
    const std::string usage = "usage: quorvel [--line-end none|cr|lf|crlf] [--hex] [--capture FILE] [--capture-text] [--capture-limit SIZE]\n"
                              "  --line-end END        add END to each send (none, the default; cr; lf; crlf)\n"
                              "  --hex                 read the send box as hex bytes (0D 0A 00 ff)\n"
                              "  --capture FILE        from the start, add every byte received to FILE's end, as it came\n"
                              "  --capture-text        a capture also writes the log as text with each read's time, to FILE.txt\n"
                              "  --capture-limit SIZE  a capture starts the next file (FILE-0002...) after SIZE bytes (K, M, G: 1024s)\n"
                              "All hold for this run; the send box's and the log's context menus change them.\n"
                              "The log is kept on disk, in a folder of its own under QUORVEL_LOG_FOLDER, else the user's cache\n"
                              "(Windows: the temporary folder), and keeps 1 GB (or a twentieth of a smaller disk) free.";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") return said = usage, 1;
        if (arg == "--hex" || arg == "--capture-text") {
            (arg == "--hex" ? hex : capture.text) = true;
            continue;
        }
        const bool given = i + 1 < argc && *argv[i + 1];
        if ((arg == "--line-end" && given && LineEndNamed(argv[i + 1], end)) || (arg == "--capture" && given) ||
            (arg == "--capture-limit" && given && SizeNamed(argv[i + 1], capture.limit))) {
            if (arg == "--capture") capture.path = argv[i + 1];
            ++i;
            continue;
        }
        const std::string value = i + 1 < argc ? ", not \"" + std::string(argv[i + 1]) + "\"" : "";
        said = arg == "--line-end"        ? "quorvel: --line-end takes none, cr, lf or crlf" + value
               : arg == "--capture"       ? std::string("quorvel: --capture takes a file's name")
               : arg == "--capture-limit" ? "quorvel: --capture-limit takes a size in bytes, or with K, M or G" + value
                                          : "quorvel: unknown option \"" + arg + "\"";
        said += "\n" + usage;
        return 2;
    }
    return 0;
}

namespace {

// A character as a line of the log can name it: one that does not print (a tab, a pasted line break) by its name or code.
std::string Named(char c)
{
    const unsigned char b = static_cast<unsigned char>(c);
    if (c == '\t') return "a tab";
    if (c == '\n' || c == '\r') return std::string("a line break (") + (c == '\n' ? "LF" : "CR") + ")";
    if (b < 0x20 || b == 0x7F || (b >= 0x80 && b < 0xA0)) {
        static const char digits[] = "0123456789ABCDEF";
        return std::string("the character 0x") + digits[b >> 4] + digits[b & 15];
    }
    return "\"" + std::string(1, c) + "\"";
}

}  // namespace

bool HexToBytes(const std::string &text, std::string &bytes, std::string &why)
{
    bytes.clear();
    auto digit = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1; };
    auto fail = [&](const std::string &line) {
        bytes.clear();
        why = "Not sent: " + line;
        return false;
    };
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == ' ') {
            ++i;
            continue;
        }
        const std::string at = " at character " + std::to_string(i + 1);
        if (digit(c) < 0) return fail(Named(c) + at + " is no hex digit (bytes are two of 0-9 and A-F each, as in 0D 0A).");
        if (i + 1 >= text.size() || text[i + 1] == ' ')
            return fail("the byte" + at + " has one digit (bytes are two of 0-9 and A-F each, as in 0D 0A).");
        if (digit(text[i + 1]) < 0)
            return fail(Named(text[i + 1]) + " at character " + std::to_string(i + 2) + " is no hex digit (bytes are two of 0-9 and A-F each, as in 0D 0A).");
        bytes += char(digit(c) * 16 + digit(text[i + 1]));
        i += 2;
    }
    return true;
}

void TSendHistory::Sent(const std::string &text)
{
    // The same text twice in a row is kept once, as shells do.
    if (!text.empty() && (texts.empty() || texts.back() != text)) texts.push_back(text);
    if (texts.size() > Most) texts.pop_front();
    at = texts.size();
    typed.clear();
}

bool TSendHistory::Up(const std::string &now, std::string &text)
{
    if (at == 0 || texts.empty()) return false;
    if (at == texts.size()) typed = now;
    text = texts[--at];
    return true;
}

bool TSendHistory::Down(std::string &text)
{
    if (at >= texts.size()) return false;
    ++at;
    text = at == texts.size() ? typed : texts[at];
    return true;
}

bool TSendHistory::Escape(std::string &text)
{
    if (at >= texts.size()) return false;
    at = texts.size();
    text = typed;
    return true;
}
