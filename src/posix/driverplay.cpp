// The ways of Windows drivers that a terminal lacks, played for the tests.
#include "porttable.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace standin {

TDriverPlay DriverPlay()
{
    TDriverPlay play;
    const char *words = std::getenv("QUORVEL_DRIVER");
    if (!words) return play;
    std::string all = words;
    for (std::size_t at = 0; at <= all.size();) {
        std::size_t end = all.find(',', at);
        if (end == std::string::npos) end = all.size();
        const std::string word = all.substr(at, end - at);
        const std::size_t eq = word.find('=');
        const std::string name = word.substr(0, eq);
        const DWORD value = eq == std::string::npos ? 0 : DWORD(std::strtoul(word.c_str() + eq + 1, nullptr, 10));
        if (name == "settings-left") play.settingsLeft = true;
        else if (name == "no-state") play.noState = true;
        else if (name == "refuse-settings") play.refuseSettings = value;
        else if (name == "write-timeout") play.writeTimeout = true;
        else if (name == "status-fails") play.statusFails = value;
        else if (name == "gone") play.gone = value;
        at = end + 1;
    }
    return play;
}

}  // namespace standin
