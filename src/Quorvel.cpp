#include "Quorvel.h"

#include <cstdio>
#include <exception>

#if defined(_WIN32)
#include "WinKernel.h"
#else
#include <unistd.h>
#endif

TApplication *Application = nullptr;

namespace {

// Until a widget set gives its box, faults go to the error stream.
void PrintedBox(const std::string &text, const std::string &title)
{
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
}

}  // namespace

TApplication::ErrorBox TApplication::ShowErrorBox = PrintedBox;

TApplication::TApplication() { Application = this; }

TApplication::~TApplication()
{
    if (Application == this) Application = nullptr;
}

void TApplication::ReportCurrentFault()
{
    try {
        throw;
    } catch (const std::exception &e) {
        ShowFault(e.what());
    } catch (...) {
        ShowFault("Unknown run-time fault");
    }
}

void TApplication::Run(const std::function<void()> &handler)
{
    try {
        handler();
    } catch (...) {
        ReportCurrentFault();
    }
}

std::string TApplication::FaultText(const std::string &message)
{
    // A full stop goes after a last character that comes after "." in the character set.
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + '.';
    return message;
}

std::string TApplication::FaultTitle(const std::string &programFile)
{
    std::string name = programFile.substr(programFile.find_last_of("/\\") + 1);
    name = name.substr(0, name.find('.'));
    for (std::size_t i = 1; i < name.size(); ++i)
        if (name[i] >= 'A' && name[i] <= 'Z') name[i] = char(name[i] - 'A' + 'a');
    return name;
}

std::string TApplication::ProgramFile()
{
#if defined(_WIN32)
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n);
#else
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path);
    return n > 0 ? std::string(path, std::size_t(n)) : std::string("quorvel");
#endif
}

int TApplication::StartFailed()
{
    std::string why = "Unknown run-time fault";
    try {
        throw;
    } catch (const std::exception &e) {
        why = e.what();
    } catch (...) {
    }
    ShowErrorBox(StartFailureText(why), FaultTitle(ProgramFile()));
    return 1;
}

std::string TApplication::StartFailureText(const std::string &why) { return FaultText("The program could not start: " + why); }

void TApplication::PrintFaults() { ShowErrorBox = PrintedBox; }

void TApplication::ShowFault(const std::string &message) { ShowErrorBox(FaultText(message), FaultTitle(ProgramFile())); }
