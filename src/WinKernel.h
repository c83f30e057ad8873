// The kernel's part of the Windows API alone (on other systems, our stand-in
// over termios): the console's own files see none of the user-interface
// headers through the port table, the stopwatch or the frame.
#ifndef QUORVEL_WINKERNEL_H
#define QUORVEL_WINKERNEL_H

#if defined(_WIN32)
#if defined(_MSC_VER) && !defined(_X86_) && !defined(_AMD64_) && !defined(_ARM64_)
// windows.h would name the target for winnt.h; without it, say it here.
#if defined(_M_IX86)
#define _X86_
#elif defined(_M_AMD64)
#define _AMD64_
#elif defined(_M_ARM64)
#define _ARM64_
#endif
#endif
#include <windef.h>
#include <winbase.h>
#else
#include <windows.h>  // the stand-in over termios
#endif

#endif
