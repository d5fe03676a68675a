#include "headless_check.h"

#include "common/Globali.h"
#include "common/termination_signals.h"
#include "terminal/command_exchange.h"
#include "terminal/log_text.h"
#include "terminal/serial_component.h"
#include "window/activity_log.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;

// Between two rounds of a check that waits: how often the ports are looked at, and how long a
// round waits for a change before it checks again all the same (a modem that has just come up
// may answer only some seconds after its port appeared).
constexpr auto LookEvery = 250ms;
constexpr auto CheckAgainAfter = 5s;

// Standard output, while somebody reads it.
class Output
{
public:
    // False once nobody does: the reader of the pipe went away (`quorvane-check | head -n 1`).
    bool print(const QByteArray &text)
    {
        if (!m_readerGone) {
            std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
            m_readerGone = std::fflush(stdout) != 0 && errno == EPIPE;
        }
        return !m_readerGone;
    }

private:
    bool m_readerGone = false;
};

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
                         { QStringLiteral("role"), roleOf(identity.role) },
                         { QStringLiteral("usb_path"), printable(usb.device.name) },
                         { QStringLiteral("serial"), textOrNull(usb.device.serialNumber) } };
}

// The word a script reads for why a port came to its result.
QString reasonWord(PortOutcome::Reason reason)
{
    using Reason = PortOutcome::Reason;
    switch (reason) {
    case Reason::Checking:
        return QStringLiteral("interrupted");
    case Reason::Found:
        return QStringLiteral("found");
    case Reason::NoAnswer:
        return QStringLiteral("no_answer");
    case Reason::Stream:
        return QStringLiteral("stream");
    case Reason::NotAtPort:
        return QStringLiteral("not_at_port");
    case Reason::Bluetooth:
        return QStringLiteral("bluetooth");
    case Reason::PermissionDenied:
        return QStringLiteral("permission_denied");
    case Reason::InUse:
        return QStringLiteral("in_use");
    case Reason::StaleLock:
        return QStringLiteral("stale_lock");
    case Reason::Console:
        return QStringLiteral("console");
    case Reason::ModemManager:
        return QStringLiteral("modemmanager");
    case Reason::ModemManagerSilent:
        return QStringLiteral("modemmanager_silent");
    case Reason::Examining:
        return QStringLiteral("examining");
    case Reason::NoDevice:
        return QStringLiteral("no_device");
    case Reason::NotSerial:
        return QStringLiteral("not_serial");
    case Reason::InputOutput:
        return QStringLiteral("io_error");
    case Reason::SystemError:
        break;
    }
    return QStringLiteral("system_error");
}

// A port as the device it stands for: a name (ttyUSB0) below /dev, a link (/dev/serial/by-id/...)
// followed to its device.
QString devicePathOf(const QString &port)
{
    const QString path = SerialComponent::devicePath(port);
    const QString device = QFileInfo(path).canonicalFilePath();
    return printable(device.isEmpty() ? path : device);
}

// The word a script reads for why a device offers no serial port.
QString causeWord(DeviceWithoutPorts::Cause cause)
{
    using Cause = DeviceWithoutPorts::Cause;
    switch (cause) {
    case Cause::StorageMode:
        return QStringLiteral("storage_mode");
    case Cause::HeldThroughUsbfs:
        return QStringLiteral("usbfs");
    case Cause::NoDriver:
        return QStringLiteral("no_driver");
    case Cause::FileTransfer:
        return QStringLiteral("file_transfer");
    case Cause::NetworkMode:
        return QStringLiteral("network_mode");
    case Cause::NoPciDriver:
        return QStringLiteral("pci_no_driver");
    case Cause::OtherConfiguration:
        break;
    }
    return QStringLiteral("other_configuration");
}

// A device that offers no serial port, as the document lists it.
QJsonObject deviceEntry(bool onPci, const QString &path, const QString &vendorId,
                        const QString &productId, const QString &manufacturer,
                        const QString &product, const QString &cause, const QString &fix,
                        const QString &line)
{
    return QJsonObject { { QStringLiteral("bus"),
                           onPci ? QStringLiteral("pci") : QStringLiteral("usb") },
                         { QStringLiteral("path"), printable(QFileInfo(path).fileName()) },
                         { QStringLiteral("vendor_id"), vendorId },
                         { QStringLiteral("product_id"), productId },
                         { QStringLiteral("manufacturer"), textOrNull(manufacturer) },
                         { QStringLiteral("product"), textOrNull(product) },
                         { QStringLiteral("cause"), cause },
                         { QStringLiteral("fix"), textOrNull(fix) },
                         { QStringLiteral("message"), line } };
}

// The modems, phones and adapters the scan told of that offer no serial port, and why.
QJsonArray devicesOf(const PortScan &scan)
{
    QJsonArray devices;
    for (const NonSerialModem &modem : scan.modemsWithoutPorts()) {
        const NonSerialModem::Told told = modem.told();
        const QString cause = told == NonSerialModem::Told::ByModemManager
            ? QStringLiteral("modemmanager")
            : told == NonSerialModem::Told::WwanAtPort ? QStringLiteral("wwan_at_port")
                                                       : QStringLiteral("qmi_mbim");
        devices.append(deviceEntry(modem.onPci, modem.path, modem.vendorId, modem.productId,
                                   modem.manufacturer, modem.product, cause, QString(),
                                   nonSerialModemMessage(modem)));
    }
    for (const DeviceWithoutPorts &device : scan.devicesWithoutPorts()) {
        devices.append(deviceEntry(device.onPci, device.path, device.vendorId, device.productId,
                                   device.manufacturer, device.product, causeWord(device.cause),
                                   fixCommand(device), deviceWithoutPortsMessage(device)));
    }
    return devices;
}

int statusOf(const PortScan &scan, bool found)
{
    if (found)
        return CheckStatus::Found;
    for (const PortOutcome &outcome : scan.outcomes()) {
        if (outcome.couldNotBeChecked())
            return CheckStatus::NotAllChecked;
    }
    return CheckStatus::NotFound;
}

// The ports a check that waits looks at, as they are now: which of them are there, as which
// device, changed when (udev sets a new port's group and mode a moment after it appears). A new
// round is due when this changes.
QByteArray portsNow(const QStringList &ports)
{
    QByteArray state;
    for (const QString &port : ports) {
        struct stat info = {};
        if (::stat(QFile::encodeName(SerialComponent::devicePath(port)).constData(), &info) == 0) {
            state += QFile::encodeName(port) + ' ' + QByteArray::number(quint64(info.st_rdev)) + ' '
                + QByteArray::number(qint64(info.st_ctim.tv_sec)) + '.'
                + QByteArray::number(qint64(info.st_ctim.tv_nsec));
        }
        state += '\n';
    }
    return state;
}

} // namespace

QByteArray checkReport(const PortScan &scan)
{
    static const QString Results[] = { QStringLiteral("found"), QStringLiteral("not_found"),
                                       QStringLiteral("kept_out"), QStringLiteral("skipped") };
    QJsonArray terminals, ports;
    for (const PortOutcome &outcome : scan.outcomes()) {
        const QString port = devicePathOf(outcome.port);
        if (outcome.reason == PortOutcome::Reason::Found) {
            terminals.append(QJsonObject {
                { QStringLiteral("port"), port },
                { QStringLiteral("manufacturer"), outcome.manufacturer },
                { QStringLiteral("stable_path"), textOrNull(outcome.identity.stablePath) },
                { QStringLiteral("device"), deviceOf(outcome.identity) } });
        }
        ports.append(QJsonObject {
            { QStringLiteral("port"), port },
            { QStringLiteral("result"), Results[outcome.result()] },
            { QStringLiteral("reason"), reasonWord(outcome.reason) },
            { QStringLiteral("messages"), QJsonArray::fromStringList(outcome.messages) } });
    }
    return QJsonDocument(QJsonObject { { QStringLiteral("version"), 1 },
                                       { QStringLiteral("terminals"), terminals },
                                       { QStringLiteral("ports"), ports },
                                       { QStringLiteral("devices"), devicesOf(scan) },
                                       { QStringLiteral("messages"),
                                         QJsonArray::fromStringList(scan.messages()) } })
        .toJson(QJsonDocument::Indented);
}

int runHeadlessCheck(const CheckOptions &options)
{
    const QStringList named = options.ports;
    const bool waits = options.wait > 0s;
    const QDeadlineTimer deadline(options.wait);
    // A check that waits leaves a named port that is not there yet out until a round runs (or
    // the time is up); from then on every round names it, missing or not.
    bool reportMissing = !waits;
    auto component = named.isEmpty()
        ? std::make_unique<SerialComponent>()
        : std::make_unique<SerialComponent>([&named, &reportMissing] {
              PortList ports;
              for (const QString &port : named) {
                  if (reportMissing || QFile::exists(SerialComponent::devicePath(port)))
                      ports.names << port;
              }
              return ports;
          });
    writeStartupSettings(*component);
    if (!options.systemRoot.isEmpty())
        component->setSystemRoot(options.systemRoot);
    // The ports a round would check, by name.
    auto listed = [&] { return named.isEmpty() ? component->listPorts().names : named; };

    Output output;
    ActivityLog log(options.logFolder);
    CommandExchange exchange(*component, log);
    PortScan scan(*component, exchange, log);
    // A reader that goes away ends the check once it is done with the port it is on: the port
    // is closed as at the end of every probe, and the log file still gets every line. Without
    // this the next line printed would end the process then and there.
    std::signal(SIGPIPE, SIG_IGN);
    if (!options.json) {
        QObject::connect(&log, &ActivityLog::lineAdded, [&](const QString &line) {
            if (!output.print(line.toUtf8() + '\n'))
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
            output.print(checkReport(scan));
        std::_Exit(TerminationSignals::exitStatus(signalNumber));
    });

    // Serves events until `done` holds, looking again four times a second, or until `longest`
    // has passed, or the time is up.
    auto waitUntil = [&](const std::function<bool()> &done, std::chrono::milliseconds longest) {
        QTimer look;
        look.start(LookEvery);
        Globali::pumpEventsUntil(
            done, qMin(longest, std::chrono::milliseconds(deadline.remainingTime())));
    };
    auto anyNamedThere = [&named] {
        return std::any_of(named.begin(), named.end(), [](const QString &port) {
            return QFile::exists(SerialComponent::devicePath(port));
        });
    };
    if (waits && !named.isEmpty() && !anyNamedThere()) {
        log.AddLog(waitingForPortsMessage(named, options.wait.count()));
        waitUntil(anyNamedThere, options.wait);
    }
    bool found = false;
    for (;;) {
        reportMissing = true;
        const QByteArray checked = portsNow(listed());
        found = scan.CercaCell() != 0;
        if (found || !waits || scan.wasStopped() || deadline.hasExpired())
            break;
        log.AddLog(checkingAgainMessage((deadline.remainingTime() + 999) / 1000));
        waitUntil([&] { return portsNow(listed()) != checked; }, CheckAgainAfter);
        if (deadline.hasExpired() || scan.wasStopped())
            break;
    }
    if (scan.wasStopped())
        log.AddLog(LogText::CheckInterrupted);
    else if (!found)
        logNotFoundAdvice(log);
    if (options.json)
        output.print(checkReport(scan));
    return statusOf(scan, found);
}
