#include "termination_signals.h"

#include <QSocketNotifier>

#if defined(Q_OS_UNIX)

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>

namespace {

constexpr int Handled[] = { SIGINT, SIGTERM, SIGHUP };
// The pipe's two ends (the handler writes, the notifier reads), the handling each signal had
// before, and whether a signal came that is not served yet.
int signalPipe[2] = { -1, -1 };
struct sigaction previous[std::size(Handled)];
volatile std::sig_atomic_t waiting = 0;

void onSignal(int signalNumber)
{
    // The first is still waiting for the program to serve it, which it may not do soon (stuck
    // in a close, say): the user insists.
    if (waiting) {
        ::signal(signalNumber, SIG_DFL);
        ::raise(signalNumber);
        return;
    }
    waiting = 1;
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &number, 1);
    errno = saved;
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
    Q_ASSERT(signalPipe[0] < 0); // one at a time
    if (::pipe(signalPipe) != 0)
        return;
    for (const int end : signalPipe) {
        ::fcntl(end, F_SETFD, FD_CLOEXEC);
        ::fcntl(end, F_SETFL, O_NONBLOCK);
    }
    m_notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readSignal);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(Handled); ++i) {
        ::sigaction(Handled[i], nullptr, &previous[i]);
        // A signal the program was started to ignore (a job in the background of a script)
        // stays ignored.
        if (previous[i].sa_handler != SIG_IGN)
            ::sigaction(Handled[i], &action, nullptr);
    }
}

TerminationSignals::~TerminationSignals()
{
    if (!m_notifier)
        return;
    for (size_t i = 0; i < std::size(Handled); ++i)
        ::sigaction(Handled[i], &previous[i], nullptr);
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
    waiting = 0;
}

void TerminationSignals::readSignal()
{
    unsigned char number = 0;
    while (::read(signalPipe[0], &number, 1) == 1) {
        // Served once whoever serves it is done: a second signal meanwhile (the closing of a
        // port that hangs) ends the process.
        Q_EMIT received(number);
        waiting = 0;
    }
}

#else // no POSIX signals: nothing to serve

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
}

TerminationSignals::~TerminationSignals() = default;

void TerminationSignals::readSignal() { }

#endif
