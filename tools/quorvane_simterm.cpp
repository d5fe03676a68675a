// quorvane-simterm [--manufacturer NAME] [--no-echo] [--instant] [--silent] [--delay MS]
// Plays a GSM terminal on a pseudo-terminal for trials, prints the device path to open, and
// answers until it is stopped (Ctrl+C).

#include "simulated_terminal.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <thread>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulated GSM terminal on a pseudo-terminal, for trials."));
    parser.addHelpOption();
    const QCommandLineOption manufacturer(QStringLiteral("manufacturer"),
                                          QStringLiteral("Answer to at+gmi."),
                                          QStringLiteral("name"), QStringLiteral("SIEMENS"));
    const QCommandLineOption noEcho(QStringLiteral("no-echo"), QStringLiteral("Echo nothing."));
    const QCommandLineOption instant(QStringLiteral("instant"),
                                     QStringLiteral("Reply at once instead of at 2400 baud."));
    const QCommandLineOption silent(QStringLiteral("silent"), QStringLiteral("Answer nothing."));
    const QCommandLineOption delay(QStringLiteral("delay"),
                                   QStringLiteral("Start every reply this late."),
                                   QStringLiteral("ms"), QStringLiteral("0"));
    parser.addOptions({ manufacturer, noEcho, instant, silent, delay });
    parser.process(app);

    SimulatedTerminal terminal;
    if (!terminal.isValid()) {
        std::fprintf(stderr, "quorvane-simterm: no pseudo-terminal available\n");
        return 1;
    }
    terminal.setManufacturer(parser.value(manufacturer));
    terminal.setEcho(!parser.isSet(noEcho));
    terminal.setPaced(!parser.isSet(instant));
    terminal.setSilent(parser.isSet(silent));
    terminal.setReplyDelay(std::chrono::milliseconds(parser.value(delay).toInt()));

    std::signal(SIGINT, [](int) { stopRequested = 1; });
    std::signal(SIGTERM, [](int) { stopRequested = 1; });
    std::printf("%s\n", terminal.portPath().toLocal8Bit().constData());
    std::fflush(stdout);
    while (!stopRequested)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return 0;
}
