#include "headless_check.h"

#include "common/termination_signals.h"
#include "terminal/command_exchange.h"
#include "terminal/log_text.h"
#include "terminal/serial_component.h"
#include "window/activity_log.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// Prints to standard output while somebody reads it; false once nobody does (the reader of the
// pipe went away: `quorvane-check | head -n 1`).
bool print(const QByteArray &text)
{
    static bool readerGone = false;
    if (!readerGone) {
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
        readerGone = std::fflush(stdout) != 0 && errno == EPIPE;
    }
    return !readerGone;
}

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(printable(text));
}

QJsonValue roleOf(PortRole role)
{
    switch (role) {
    case PortRole::AtPrimary:
        return QStringLiteral("primary");
    case PortRole::AtSecondary:
        return QStringLiteral("secondary");
    case PortRole::AtData:
        return QStringLiteral("ppp");
    case PortRole::At:
        return QStringLiteral("at");
    default:
        return QJsonValue::Null;
    }
}

QJsonValue deviceOf(const PortIdentity &identity)
{
    if (!identity.usb)
        return QJsonValue::Null;
    const UsbInterface &usb = *identity.usb;
    return QJsonObject { { QStringLiteral("vendor_id"), usb.device.vendorId },
                         { QStringLiteral("product_id"), usb.device.productId },
                         { QStringLiteral("interface"), usb.number },
                         { QStringLiteral("manufacturer"), textOrNull(usb.device.manufacturer) },
                         { QStringLiteral("product"), textOrNull(usb.device.product) },
                         { QStringLiteral("role"), roleOf(identity.role) } };
}

} // namespace

QByteArray checkReport(const PortScan &scan)
{
    static const QString Results[] = { QStringLiteral("found"), QStringLiteral("not_found"),
                                       QStringLiteral("kept_out"), QStringLiteral("skipped") };
    QJsonArray terminals, ports;
    for (const PortOutcome &outcome : scan.outcomes()) {
        const QString port = printable(SerialComponent::devicePath(outcome.port));
        if (outcome.result == PortOutcome::Found) {
            terminals.append(QJsonObject {
                { QStringLiteral("port"), port },
                { QStringLiteral("manufacturer"), outcome.manufacturer },
                { QStringLiteral("stable_path"), textOrNull(outcome.identity.stablePath) },
                { QStringLiteral("device"), deviceOf(outcome.identity) } });
        }
        ports.append(QJsonObject {
            { QStringLiteral("port"), port },
            { QStringLiteral("result"), Results[outcome.result] },
            { QStringLiteral("messages"), QJsonArray::fromStringList(outcome.messages) } });
    }
    return QJsonDocument(QJsonObject { { QStringLiteral("terminals"), terminals },
                                       { QStringLiteral("ports"), ports },
                                       { QStringLiteral("messages"),
                                         QJsonArray::fromStringList(scan.messages()) } })
        .toJson(QJsonDocument::Indented);
}

int runHeadlessCheck(const CheckOptions &options)
{
    const QStringList ports = options.ports;
    auto component = ports.isEmpty()
        ? std::make_unique<SerialComponent>()
        : std::make_unique<SerialComponent>([ports] { return PortList(ports); });
    writeStartupSettings(*component);
    if (!options.systemRoot.isEmpty())
        component->setSystemRoot(options.systemRoot);
    ActivityLog log(options.logFolder);
    CommandExchange exchange(*component, log);
    PortScan scan(*component, exchange, log);
    // A reader that goes away ends the check once it is done with the port it is on: the port
    // is closed as at the end of every probe, and the log file still gets every line. Without
    // this the next line printed would end the process then and there.
    std::signal(SIGPIPE, SIG_IGN);
    if (!options.json) {
        QObject::connect(&log, &ActivityLog::lineAdded, [&scan](const QString &line) {
            if (!print(line.toUtf8() + '\n'))
                scan.stopAfterPort();
        });
    }
    if (options.reportLogFile)
        log.reportFilePath();

    // Served at the next turn of whatever wait the check is in.
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::received, [&](int signalNumber) {
        component->setPortOpen(false);
        log.AddLog(LogText::CheckInterrupted);
        if (options.json)
            print(checkReport(scan));
        std::_Exit(TerminationSignals::exitStatus(signalNumber));
    });

    const bool found = scan.CercaCell() != 0;
    if (scan.wasStopped())
        log.AddLog(LogText::CheckInterrupted);
    else if (!found)
        logNotFoundAdvice(log);
    if (options.json)
        print(checkReport(scan));
    return found ? 0 : 1;
}
