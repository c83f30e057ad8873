// The console's window on Win32: the form over a window built from its design.
#ifndef QUORVEL_WIN32_WIN32FORM1_H
#define QUORVEL_WIN32_WIN32FORM1_H

#include "Unit1.h"
#include "Win32Controls.h"

class Win32Form1 : public TWin32Window, public TForm1 {
public:
    explicit Win32Form1(int dpi = 0) : TWin32Window(dpi), TForm1(static_cast<TWindow &>(*this)) {}
};

#endif
