// Reports how long the program's waits and exchanges take on this machine. Run it with
// `tools/dev bench`; it prints a table, it asserts nothing.

#include "common/Globali.h"
#include "scripted_component.h"
#include "simulated_terminal.h"
#include "terminal/command_exchange.h"
#include "terminal/port_scan.h"
#include "terminal/serial_component.h"
#include "window/activity_log.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <chrono>
#include <functional>
#include <cstdio>
#include <ctime>

namespace {

double cpuSeconds()
{
    timespec t {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

void heading(const char *title)
{
    std::printf("\n%s\n", title);
}

void row(const char *what, double value, const char *unit, const char *note = "")
{
    std::printf("  %-52s %12.3f %-4s %s\n", what, value, unit, note);
}

struct Exchanger
{
    QTemporaryDir folder;
    ActivityLog log { folder.path() };
};

void pumpCosts()
{
    heading("Turns of the wait loop");
    constexpr int Turns = 1000000;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < Turns; ++i)
        Globali::pumpEvents();
    const double bareNs = double(timer.nsecsElapsed()) / Turns;

    // A silent exchange on an open port runs two whole budgets of paced turns.
    Exchanger ex;
    ScriptedComponent component({ QStringLiteral("COM1") });
    CommandExchange exchange(component, ex.log);
    component.setPortOpen(true);
    timer.restart();
    exchange.EseguiCMD(QStringLiteral("at"));
    const double pacedNs = double(timer.nsecsElapsed()) / exchange.lastPollCount();

    row("one pump turn", bareNs / 1000, "us");
    row("one paced turn (minimum 5 us)", pacedNs / 1000, "us");
    std::printf("  %-52s %12.2f x\n", "paced / bare", pacedNs / bareNs);
    row("200,000 bare turns", bareNs * CommandExchange::PollBudget / 1e9, "s");
    row("200,000 paced turns (one checkpoint)", pacedNs * CommandExchange::PollBudget / 1e9,
        "s");
}

void exchangesAt2400()
{
    heading("Exchanges with a simulated terminal at 2400 baud, echo on, reply SIEMENS");
    SimulatedTerminal terminal;
    SerialComponent component(SerialComponent::PortSource {});
    Exchanger ex;
    CommandExchange exchange(component, ex.log);
    exchange.InRicerca = true;
    component.selectPort(terminal.portPath());
    component.setPortOpen(true);

    for (const QString &command : { QStringLiteral("at"), QStringLiteral("at+gmi") }) {
        QElapsedTimer timer;
        timer.start();
        exchange.EseguiCMD(command);
        const double ms = timer.nsecsElapsed() / 1e6;
        char note[96];
        std::snprintf(note, sizeof note, "%lld turns, %s", (long long)exchange.lastPollCount(),
                      exchange.RispostaOK && !exchange.RispostaErrore ? "OK" : "FAILED");
        const QByteArray what = ("\"" + command + "\"").toLatin1();
        row(what.constData(), ms, "ms", note);
        terminal.waitUntilSent(std::chrono::seconds(2));
        Globali::pumpEvents();
    }

    terminal.setSilent(true);
    QElapsedTimer timer;
    timer.start();
    const double cpu = cpuSeconds();
    exchange.EseguiCMD(QStringLiteral("at"));
    char note[96];
    std::snprintf(note, sizeof note, "%lld turns, %.2f CPU s, %s",
                  (long long)exchange.lastPollCount(), cpuSeconds() - cpu,
                  exchange.RispostaErrore ? "failed as it should" : "DID NOT FAIL");
    row("silent terminal: time to fail", timer.nsecsElapsed() / 1e9, "s", note);
}

struct ScanFigures
{
    double wallSeconds;
    double cpuSeconds;
    qint16 found;
    QString lastLine;
};

ScanFigures timeScan(const QStringList &ports, const std::function<void()> &atStart = {})
{
    SerialComponent component([ports] { return ports; });
    writeStartupSettings(component);
    Exchanger ex;
    QString lastLine;
    QObject::connect(&ex.log, &ActivityLog::lineAdded,
                     [&lastLine](const QString &line) { lastLine = line.mid(22); });
    CommandExchange exchange(component, ex.log);
    PortScan scan(component, exchange, ex.log);
    if (atStart)
        atStart();
    QElapsedTimer timer;
    timer.start();
    const double cpu = cpuSeconds();
    const qint16 found = scan.CercaCell();
    return { timer.nsecsElapsed() / 1e9, cpuSeconds() - cpu, found, lastLine };
}

void wholeScans()
{
    heading("Whole scans of one port (wall s, CPU s, result; goal)");
    std::printf("  %-40s %8s %8s  %-28s %s\n", "", "wall s", "CPU s", "last line", "goal");
    auto report = [](const char *what, const ScanFigures &f, const char *goal) {
        std::printf("  %-40s %8.2f %8.2f  %-28s %s\n", what, f.wallSeconds, f.cpuSeconds,
                    f.lastLine.left(28).toLocal8Bit().constData(), goal);
    };
    {
        SimulatedTerminal terminal;
        report("(a) terminal at 2400 baud", timeScan({ terminal.portPath() }), "<= 3.5 s");
    }
    {
        SimulatedTerminal terminal;
        terminal.setSilent(true);
        report("(b) silent port", timeScan({ terminal.portPath() }), "<= 9.5 s");
    }
    {
        SimulatedTerminal terminal;
        terminal.setReplyDelay(std::chrono::milliseconds(800));
        report("(c) replies 800 ms late", timeScan({ terminal.portPath() }), "identified");
    }
    {
        SimulatedTerminal terminal;
        report("(d) deaf for 2 s after opening",
               timeScan({ terminal.portPath() },
                        [&terminal] { terminal.ignoreFor(std::chrono::seconds(2)); }),
               "identified");
    }
    report("(e) no ports", timeScan({}), "");
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen"
                                                                    : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    std::printf("Quorvane benchmark (%d cores)\n", QThread::idealThreadCount());
    pumpCosts();
    exchangesAt2400();
    wholeScans();
    return 0;
}
