// The application frame on Qt: the message loop, the cursor, and the modal
// error box for run-time faults raised inside a handler or an event.
#ifndef QUORVEL_QT_QTAPPLICATION_H
#define QUORVEL_QT_QTAPPLICATION_H

#include <QApplication>

#include "Quorvel.h"

class TQtApplication : public QApplication, public TApplication {
public:
    TQtApplication(int &argc, char **argv);
    ~TQtApplication() override;
    bool notify(QObject *receiver, QEvent *event) override;

    void ProcessMessages() override;
    void SetBusyCursor(bool busy) override;

    // The program's own error box, modal, with an error icon and one OK button.
    static void ModalErrorBox(const std::string &text, const std::string &title);

protected:
    bool event(QEvent *event) override;
};

#endif
