// The stand-in's table of open ports and its error codes.
#include "porttable.h"

#include <cerrno>

namespace standin {

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

std::mutex tableLock;
std::map<std::uintptr_t, std::shared_ptr<Port>> ports;
std::uintptr_t nextHandle = 0x100;

BOOL Fail(DWORD code)
{
    lastError = code;
    return FALSE;
}

DWORD FromErrno(int e)
{
    switch (e) {
    case 0: return ERROR_SUCCESS;
    case ENOENT:
    case ENXIO:
    case ENODEV: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ELOOP: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBUSY:
    case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOTTY: return ERROR_INVALID_FUNCTION;
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;  // a break a board does not take, say
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    default: return ERROR_GEN_FAILURE;  // EIO and friends: the device went wrong
    }
}

BOOL FailErrno() { return Fail(FromErrno(errno)); }

std::shared_ptr<Port> Find(HANDLE h)
{
    std::lock_guard<std::mutex> lock(tableLock);
    auto it = ports.find(reinterpret_cast<std::uintptr_t>(h));
    if (it == ports.end()) return nullptr;
    return it->second;
}

}  // namespace standin

DWORD WINAPI GetLastError(void) { return standin::lastError; }
void WINAPI SetLastError(DWORD code) { standin::lastError = code; }
