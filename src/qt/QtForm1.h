// The console's window on Qt: the form over a Qt window built from its design.
#ifndef QUORVEL_QT_QTFORM1_H
#define QUORVEL_QT_QTFORM1_H

#include "QtControls.h"
#include "Unit1.h"

class QtForm1 : public TQtWindow, public TForm1 {
public:
    explicit QtForm1(QWidget *parent = nullptr, int dpi = 0) : TQtWindow(parent, dpi), TForm1(static_cast<TWindow &>(*this)) {}
};

#endif
