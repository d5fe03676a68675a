// quorvane-simterm [--manufacturer NAME] [--no-echo] [--instant] [--silent] [--delay MS]
// quorvane-simterm --modem
// Plays a GSM terminal on a pseudo-terminal for trials, prints the device path to open, and
// answers until it is stopped (Ctrl+C). With --modem it plays a four-port USB modem instead (its
// diagnostic, GPS and two AT ports, tagged by ModemManager's rules) and prints the folder to give
// the trial as the system root, then the four ports.

#include "simulated_modem.h"
#include "simulated_terminal.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <optional>
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
    const QCommandLineOption modem(QStringLiteral("modem"),
                                   QStringLiteral("Play a four-port USB modem: print the system "
                                                  "root to give the trial, then its ports."));
    parser.addOptions({ manufacturer, noEcho, instant, silent, delay, modem });
    parser.process(app);

    std::optional<SimulatedModem> modemPlayed;
    SimulatedTerminal terminal;
    QStringList printed { terminal.portPath() };
    if (parser.isSet(modem)) {
        modemPlayed.emplace(true);
        printed = QStringList { modemPlayed->systemRoot() } + modemPlayed->portPaths();
    }
    if (!terminal.isValid() || (modemPlayed && !modemPlayed->isValid())) {
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
    for (const QString &line : std::as_const(printed))
        std::printf("%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
    while (!stopRequested)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return 0;
}
