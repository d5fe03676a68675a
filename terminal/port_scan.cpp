#include "port_scan.h"

#include "command_exchange.h"
#include "common/Globali.h"
#include "common/log_sink.h"
#include "log_text.h"
#include "port_guard.h"

#include <cmath>

namespace {

// Removes leading and trailing spaces, and only spaces.
QString trimSpaces(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return text.sliced(begin, end - begin);
}

// Keeps what follows the first occurrence of `marker` (compared upper-cased), if there is one.
void keepAfter(QString &text, QLatin1String marker)
{
    const qsizetype at = upperCased(text).indexOf(marker);
    if (at >= 0)
        text.remove(0, at + marker.size());
}

// The leading decimal number of `text`, as a BASIC Val would read it: blanks skipped, a sign,
// digits, a decimal point; 0 when there is none.
double leadingNumber(const QString &text)
{
    QString number;
    bool point = false;
    for (const QChar c : text) {
        if (number.isEmpty() && (c == QLatin1Char(' ') || c == QLatin1Char('\t')))
            continue;
        if (number.isEmpty() && (c == QLatin1Char('-') || c == QLatin1Char('+')))
            number += c;
        else if (c.isDigit() && c.unicode() < 128)
            number += c;
        else if (c == QLatin1Char('.') && !point)
            point = true, number += c;
        else
            break;
    }
    bool ok = false;
    const double value = number.toDouble(&ok);
    return ok ? value : 0.0;
}

// Why a port that was not opened came to nothing.
PortOutcome::Reason reasonOf(OpenFailure::Reason failure)
{
    using Reason = PortOutcome::Reason;
    switch (failure) {
    case OpenFailure::Reason::NotFound:
        return Reason::NoDevice;
    case OpenFailure::Reason::PermissionDenied:
    case OpenFailure::Reason::NotInGroup:
    case OpenFailure::Reason::GroupNotInSession:
        return Reason::PermissionDenied;
    case OpenFailure::Reason::InUse:
        return Reason::InUse;
    case OpenFailure::Reason::StaleLock:
        return Reason::StaleLock;
    case OpenFailure::Reason::Console:
        return Reason::Console;
    case OpenFailure::Reason::ManagedByModemManager:
        return Reason::ModemManager;
    case OpenFailure::Reason::ExaminedByModemManager:
        return Reason::Examining;
    case OpenFailure::Reason::NotASerialPort:
        return Reason::NotSerial;
    case OpenFailure::Reason::InputOutput:
        return Reason::InputOutput;
    case OpenFailure::Reason::None:
    case OpenFailure::Reason::Other:
        break;
    }
    return Reason::SystemError;
}

} // namespace

PortOutcome::Result PortOutcome::result() const
{
    switch (reason) {
    case Reason::Found:
        return Found;
    case Reason::InUse:
    case Reason::StaleLock:
    case Reason::Console:
    case Reason::ModemManager:
    case Reason::ModemManagerSilent:
    case Reason::Examining:
        return KeptOut;
    case Reason::NotAtPort:
    case Reason::Bluetooth:
        return Skipped;
    default:
        return NotFound;
    }
}

bool PortOutcome::couldNotBeChecked() const
{
    return result() == KeptOut || reason == Reason::PermissionDenied
        || reason == Reason::InputOutput || reason == Reason::SystemError;
}

QString smapMARCA(QString &testo)
{
    testo.remove(QLatin1Char('|'));
    testo.remove(QLatin1Char('"'));
    keepAfter(testo, QLatin1String("AT+GMI")); // the command's echo
    keepAfter(testo, QLatin1String("+GMI:")); // the response prefix
    const qsizetype ok = testo.indexOf(QLatin1String("OK"));
    return trimSpaces(ok >= 0 ? testo.left(ok) : testo);
}

qint16 foundPortNumber(const QString &name, qint16 position)
{
    // Rounded half to even, as the original's conversion did (COM2.5 gives 2).
    const double number = std::nearbyint(leadingNumber(name.mid(3)));
    if (number >= 1 && number <= 32767)
        return static_cast<qint16>(number);
    return position;
}

PortScan::PortScan(SerialComponent &component, CommandExchange &exchange, LogSink &log,
                   QObject *parent)
    : QObject(parent)
    , m_component(component)
    , m_exchange(exchange)
    , m_log(log)
{
}

qint16 PortScan::CercaCell()
{
    m_exchange.InRicerca = true;
    m_log.AddLog(LogText::SearchStarted);

    qint16 found = 0;
    m_outcomes.clear();
    m_messages.clear();
    const PortList listed = m_component.listPorts();
    if (listed.names.isEmpty() && listed.unconnectedBluetooth.isEmpty())
        note(LogText::NoSerialPort);
    // Opening a Bluetooth port that is bound but not connected would call the phone.
    for (const QString &name : listed.unconnectedBluetooth) {
        m_outcomes.append(PortOutcome(name, PortOutcome::Reason::Bluetooth));
        say(unconnectedBluetoothMessage(name));
    }
    const QStringList &ports = listed.names;
    ModemManagerView &modemManager = m_component.modemManager();
    if (!ports.isEmpty()) {
        modemManager.beginScan();
        if (modemManager.isSilent())
            note(LogText::ModemManagerSilent);
    }
    for (qsizetype i = 0; i < ports.size(); ++i) {
        if (m_stopping)
            break;
        const QString &name = ports.at(i);
        m_outcomes.append(PortOutcome(name));
        probe(name);
        // Checked to its end, and nothing said otherwise: no terminal answered.
        if (m_outcomes.last().reason == PortOutcome::Reason::Checking)
            m_outcomes.last().reason = PortOutcome::Reason::NoAnswer;
        // Every terminal that answers gets its line; the first one is the scan's result.
        if (!Marca.isEmpty() && found == 0)
            found = foundPortNumber(name, static_cast<qint16>(qMin<qsizetype>(i + 1, 32767)));
        Marca.clear();
        Globali::pumpEvents();
        m_component.setPortOpen(false);
    }
    // A modem, a phone or an adapter the user may be looking for, that no port of the scan
    // reaches, and why.
    m_modems.clear();
    m_devices.clear();
    if (!m_stopping) {
        QList<NonSerialModem> modems = listed.nonSerialModems;
        if (!modems.isEmpty())
            addModemManagerModems(modems, modemManager.answer());
        for (const NonSerialModem &modem : std::as_const(modems)) {
            if (modem.told() != NonSerialModem::Told::Nothing)
                m_modems << modem;
        }
        m_devices = listed.devicesWithoutPorts;
    }
    for (const NonSerialModem &modem : std::as_const(m_modems))
        note(nonSerialModemMessage(modem));
    for (const DeviceWithoutPorts &device : std::as_const(m_devices))
        note(deviceWithoutPortsMessage(device));

    modemManager.endScan();
    m_exchange.InRicerca = false;
    return found;
}

void PortScan::say(const QString &message)
{
    m_log.AddLog(message);
    m_outcomes.last().messages << message;
}

void PortScan::note(const QString &message)
{
    m_log.AddLog(message);
    m_messages << message;
}

void PortScan::probe(const QString &name)
{
    m_component.selectPort(name);
    say(checkingMessage(name));
    const ModemManagerAnswer &modems = m_component.modemManager().answer();
    const PortIdentity identity =
        identifyPort(m_component.systemRoot(), SerialComponent::devicePath(name), &modems);
    m_outcomes.last().identity = identity;
    // ModemManager did not answer, and may be talking to this port right now: the scan has said
    // so once.
    if (PortGuard::modemManagerClaim(identity, modems.state)
        == PortGuard::ModemManagerClaim::Unanswered) {
        m_outcomes.last().reason = PortOutcome::Reason::ModemManagerSilent;
        return;
    }
    if (identity.usb)
        say(deviceMessage(*identity.usb, identity.role));
    // A modem's diagnostic, GPS and audio ports speak no AT: a command would be noise to them.
    if (const QString notAt = notAtPortMessage(name, identity.role); !notAt.isEmpty()) {
        m_outcomes.last().reason = PortOutcome::Reason::NotAtPort;
        say(notAt);
        return;
    }
    m_component.setPortOpen(false);
    m_component.setPortOpen(true);
    const OpenFailure &failure = m_component.openFailure();
    if (!failure.unbelievedLock.isEmpty())
        say(unbelievedLockMessage(failure.unbelievedLock, failure.unbelievedLockOwner));
    if (!failure.strandedLock.isEmpty())
        say(strandedLockMessage(failure.strandedLock));
    if (failure.reason != OpenFailure::Reason::None) {
        // Nothing can be said to a port that did not open: say why, and go on with the next.
        m_outcomes.last().reason = reasonOf(failure.reason);
        say(openFailureMessage(name, failure));
        // ModemManager has already asked its modem who made it; a terminal is found on the
        // modem's AT ports.
        if (failure.reason == OpenFailure::Reason::ManagedByModemManager && isAtPort(identity.role))
            logManufacturer(failure.manufacturer, identity);
        return;
    }

    Globali::Attendi(1);
    m_exchange.EseguiCMD(QString());
    m_exchange.EseguiCMD(QStringLiteral("at"));
    if (!m_component.isPortOpen())
        return;
    // A GPS receiver, a board that prints readings: text without end, and no answer. Whatever
    // more is sent would only be lost in the stream, or do something unknown to the device.
    if (m_exchange.replyNeverEnded()) {
        m_outcomes.last().reason = PortOutcome::Reason::Stream;
        say(streamingMessage(name));
        return;
    }

    // Something answers here. Whatever the two earlier commands left pending is flushed out by
    // one more pair sent without waiting.
    m_exchange.SenzaAttesa = true;
    m_exchange.EseguiCMD(QStringLiteral("at"));
    m_exchange.EseguiCMD(QString());
    m_exchange.SenzaAttesa = false;
    if (!m_component.isPortOpen())
        return;

    m_exchange.EseguiCMD(QString());
    m_exchange.EseguiCMD(QStringLiteral("at+gmi"));
    if (m_exchange.RispostaOK && !m_exchange.RispostaErrore)
        logManufacturer(smapMARCA(m_exchange.Risposta), identity);
    m_component.setPortOpen(false);
}

void PortScan::logManufacturer(const QString &name, const PortIdentity &identity)
{
    Marca = printable(trimSpaces(name));
    if (Marca.isEmpty())
        return;
    m_outcomes.last().reason = PortOutcome::Reason::Found;
    m_outcomes.last().manufacturer = Marca;
    say(foundMessage(Marca));
    if (!identity.stablePath.isEmpty())
        say(stablePathMessage(identity.stablePath));
}
