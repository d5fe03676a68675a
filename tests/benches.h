#pragma once

#include "log_lines.h"
#include "terminal/command_exchange.h"
#include "terminal/log_text.h"
#include "terminal/port_scan.h"
#include "terminal/serial_component.h"
#include "window/activity_log.h"

#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// One row of a data-driven test, its values in the order of the columns.
template<typename... Values>
void row(const char *tag, Values... values)
{
    (QTest::newRow(tag) << ... << values);
}

// Writes a file, making its folder; `ageSeconds` back-dates it.
bool writeFile(const QString &path, const QByteArray &content, int ageSeconds = 0);

// A device number as the kernel writes it ("4:64"); empty for none.
QString deviceNumbers(quint64 device);

// Files below a played system root: a path and its content, or "-> TARGET" for a link.
using Tree = QList<std::pair<QString, QByteArray>>;
bool plant(const QString &root, const Tree &tree);

// A component (the real one over `ports` unless one is given), an exchange and a scan over it,
// logging to a temporary folder; the lines logged are kept.
struct ScanBench
{
    explicit ScanBench(SerialComponent *given = nullptr);
    bool open(const QString &port);

    QStringList ports;
    std::unique_ptr<SerialComponent> own;
    SerialComponent &component;
    QTemporaryDir folder;
    ActivityLog log { folder.path() };
    CommandExchange exchange { component, log };
    PortScan scan { component, exchange, log };
    QStringList lines;
};

// The trial tool or a program run to its end in `folder`: its exit code, the lines it printed
// (standard output, standard error) and those of the log file it wrote there.
struct TrialRun
{
    int exitCode = -1;
    QStringList printed;
    QStringList logged;
    QStringList errors;
};
TrialRun
runTrial(const QStringList &command, const QString &folder,
         const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());

// A table of cases for a function of one argument, one case a line: its name, what the function
// is given and what it must give back. The first case that fails is named.
template<typename Input, typename Output>
struct Case
{
    const char *name;
    Input input;
    Output expected;
};

template<typename Input, typename Output, typename Function>
void checkCases(Function function, std::initializer_list<Case<Input, Output>> cases)
{
    for (const Case<Input, Output> &c : cases) {
        if (!QTest::qCompare(Output(function(c.input)), c.expected, c.name, "expected", __FILE__,
                             __LINE__))
            return;
    }
}
