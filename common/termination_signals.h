#pragma once

#include <QObject>

class QSocketNotifier;

// Ctrl-C (SIGINT), SIGTERM (a logout, `kill`) and SIGHUP (the terminal or the SSH session gone)
// as a Qt signal, served between events on the thread that made this object. The handler itself
// only writes the signal's number to a pipe, which is all a handler may safely do; a socket
// notifier reads it at the next turn of the event loop or of a wait that pumps events. A second
// signal before the first was served ends the process at once, as the signal would have. One at a
// time in a process; where there are no such signals it never fires.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

    // The exit status a program gives when such a signal ended it: 128 and its number.
    static int exitStatus(int signalNumber) { return 128 + signalNumber; }

Q_SIGNALS:
    void received(int signalNumber);

private:
    void readSignal();

    QSocketNotifier *m_notifier = nullptr;
};
