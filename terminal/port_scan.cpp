#include "port_scan.h"

#include "command_exchange.h"
#include "common/Globali.h"
#include "window/activity_log.h"

#include <cmath>

namespace {

// A log line: `format` with each value from outside made printable and put in its place in one
// pass, so that no value is read as a placeholder ("%1" as a process name would hide the PID).
template<typename... Values>
QString message(const QString &format, const Values &...values)
{
    return format.arg(printable(values)...);
}

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

// The name of a modem's port that speaks no AT, as a line says it; empty for any other port.
QString partNotAt(PortRole role)
{
    switch (role) {
    case PortRole::Diagnostic:
        return QStringLiteral("diagnostica (QCDM)");
    case PortRole::Gps:
        return QStringLiteral("GPS");
    case PortRole::Audio:
        return QStringLiteral("audio");
    default:
        return QString();
    }
}

// A device by its own strings, fit for a line: the manufacturer left out when the product
// already names it; empty when it has none.
QString deviceName(const QString &manufacturer, const QString &product)
{
    const QString maker = printable(manufacturer);
    const QString name = printable(product);
    return name.startsWith(maker, Qt::CaseInsensitive)
        ? name.trimmed()
        : QStringList { maker, name }.join(QLatin1Char(' ')).trimmed();
}

// Whether a port that was not opened is another program's, a console, or ModemManager's.
bool isKeptOut(OpenFailure::Reason reason)
{
    using Reason = OpenFailure::Reason;
    return reason == Reason::InUse || reason == Reason::StaleLock || reason == Reason::Console
        || reason == Reason::ManagedByModemManager || reason == Reason::ExaminedByModemManager;
}

} // namespace

QString printable(const QString &text)
{
    QString result;
    result.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = text.at(i).unicode();
        qsizetype units = 1;
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            c = QChar::surrogateToUcs4(text.at(i), text.at(i + 1)), units = 2;
        switch (QChar::category(c)) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            result += QLatin1Char('?');
            break;
        default:
            result += QStringView(text).sliced(i, units);
            break;
        }
        i += units - 1;
    }
    return result;
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

QString openFailureMessage(const QString &name, const OpenFailure &failure)
{
    using Reason = OpenFailure::Reason;
    const QString cannot = message(QStringLiteral("Impossibile aprire %1: "), name);
    // The system's own words, in parentheses, after a reason of ours.
    const QString because = failure.systemText.isEmpty()
        ? QStringLiteral(".")
        : message(QStringLiteral(" (%1)."), failure.systemText);
    switch (failure.reason) {
    case Reason::NotFound:
        return cannot + QStringLiteral("porta non trovata.");
    case Reason::PermissionDenied:
        return cannot + QStringLiteral("permesso negato.");
    case Reason::NotInGroup:
        return cannot
            + message(QStringLiteral("permesso negato. Aggiungere l'utente al gruppo %1 (sudo "
                                     "usermod -a -G %1 $USER) e accedere di nuovo."),
                      failure.group);
    case Reason::GroupNotInSession:
        return cannot
            + message(QStringLiteral("permesso negato. L'utente \u00e8 gi\u00e0 nel gruppo %1: "
                                     "uscire e accedere di nuovo."),
                      failure.group);
    case Reason::InUse:
        if (!failure.holder.isEmpty()) {
            return cannot
                + message(QStringLiteral("la porta \u00e8 gi\u00e0 in uso da %1 (processo %2)."),
                          failure.holder, QString::number(failure.holderPid));
        }
        return cannot + QStringLiteral("la porta \u00e8 gi\u00e0 in uso da un altro programma.");
    case Reason::StaleLock:
        return cannot
            + message(QStringLiteral("resta il file di blocco %1 di un programma terminato, che "
                                     "questo utente non pu\u00f2 rimuovere (sudo rm %1)."),
                      failure.lockFile);
    case Reason::Console:
        return message(
            QStringLiteral("La porta %1 \u00e8 una console del sistema: non viene verificata."),
            name);
    case Reason::ExaminedByModemManager:
        return message(QStringLiteral("ModemManager sta ancora esaminando la porta %1: non viene "
                                      "verificata. Riprovare tra qualche secondo."),
                       name);
    case Reason::ManagedByModemManager:
        return message(QStringLiteral("La porta %1 \u00e8 gestita da ModemManager. Per liberarla "
                                      "durante la verifica: mmcli --inhibit-device=%2"),
                       name, failure.modemDevice);
    case Reason::NotASerialPort:
        return cannot + QStringLiteral("non \u00e8 una porta seriale") + because;
    case Reason::InputOutput:
        return cannot + QStringLiteral("errore di ingresso/uscita") + because;
    case Reason::None:
    case Reason::Other:
        break;
    }
    return cannot + QStringLiteral("errore del sistema") + because;
}

QString deviceMessage(const UsbInterface &usb, PortRole role)
{
    const QString device = deviceName(usb.manufacturer, usb.product);
    QString numbers = message(QStringLiteral("USB %1:%2, interfaccia %3"), usb.vendorId,
                              usb.productId, QString::number(usb.number));
    // Which of the modem's ports this is, when the system knows.
    switch (role) {
    case PortRole::AtPrimary:
        numbers += QStringLiteral(", porta AT principale");
        break;
    case PortRole::AtSecondary:
        numbers += QStringLiteral(", porta AT secondaria");
        break;
    case PortRole::AtData:
        numbers += QStringLiteral(", porta dati (PPP)");
        break;
    default:
        break;
    }
    if (device.isEmpty())
        return QStringLiteral("Dispositivo: %1.").arg(numbers);
    return QStringLiteral("Dispositivo: %1 (%2).").arg(device, numbers);
}

QString nonSerialModemMessage(const NonSerialModem &modem)
{
    const QString numbers = message(QStringLiteral("%1 %2:%3"),
                                    modem.onPci ? QStringLiteral("PCI") : QStringLiteral("USB"),
                                    modem.vendorId, modem.productId);
    if (modem.managed && !modem.hasTty) {
        const ModemManagerAnswer::Modem &managed = *modem.managed;
        QString name = deviceName(managed.manufacturer, managed.model);
        if (!managed.device.isEmpty()) {
            const QString device = printable(managed.device);
            name = name.isEmpty() ? device : name + QStringLiteral(" (") + device + u')';
        }
        return QStringLiteral("ModemManager gestisce il modem %1, che non ha porte seriali da "
                              "verificare.")
            .arg(name.isEmpty() ? numbers : name);
    }
    if (!modem.atPort.isEmpty()) {
        return message(QStringLiteral("Il modem %1 ha la porta AT %2, che non \u00e8 una porta "
                                      "seriale: non viene verificata."),
                       numbers, modem.atPort);
    }
    const QString name = deviceName(modem.manufacturer, modem.product);
    return QStringLiteral("Il modem %1 non ha porte seriali (solo QMI o MBIM): non pu\u00f2 "
                          "essere verificato.")
        .arg(name.isEmpty() ? numbers : name + QStringLiteral(" (") + numbers + u')');
}

PortScan::PortScan(SerialComponent &component, CommandExchange &exchange, ActivityLog &log,
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
    m_log.AddLog(QStringLiteral("Ricerca del terminale in corso, attendere..."));

    qint16 found = 0;
    m_outcomes.clear();
    m_messages.clear();
    const PortList listed = m_component.listPorts();
    if (listed.names.isEmpty() && listed.unconnectedBluetooth.isEmpty())
        note(QStringLiteral("Nessuna porta seriale trovata."));
    // Opening a Bluetooth port that is bound but not connected would call the phone.
    for (const QString &name : listed.unconnectedBluetooth) {
        m_outcomes.append(PortOutcome(name, PortOutcome::Skipped));
        say(message(QStringLiteral("La porta %1 \u00e8 un collegamento Bluetooth non connesso: "
                                   "non viene verificata."),
                    name));
    }
    const QStringList &ports = listed.names;
    if (!ports.isEmpty()) {
        m_component.setScanning(true);
        if (m_component.isModemManagerSilent()) {
            note(QStringLiteral("ModemManager non risponde: le porte che potrebbe usare non "
                                "vengono verificate."));
        }
    }
    for (qsizetype i = 0; i < ports.size(); ++i) {
        const QString &name = ports.at(i);
        m_outcomes.append(PortOutcome(name));
        probe(name);
        // Every terminal that answers gets its line; the first one is the scan's result.
        if (!Marca.isEmpty() && found == 0)
            found = foundPortNumber(name, static_cast<qint16>(qMin<qsizetype>(i + 1, 32767)));
        Marca.clear();
        Globali::pumpEvents();
        m_component.setPortOpen(false);
    }
    // A modem the user may be looking for, that no port of the scan reaches.
    QList<NonSerialModem> modems = listed.nonSerialModems;
    m_component.addModemManagerModems(modems);
    for (const NonSerialModem &modem : std::as_const(modems))
        note(nonSerialModemMessage(modem));

    m_component.setScanning(false);
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
    say(QStringLiteral("Verifica ") + printable(name) + QStringLiteral(" in corso..."));
    const PortIdentity identity = m_component.selectedPortIdentity();
    m_outcomes.last().identity = identity;
    // ModemManager did not answer, and may be talking to this port right now: the scan has said
    // so once.
    if (identity.modemManager == PortIdentity::ModemManagerClaim::Unanswered) {
        m_outcomes.last().result = PortOutcome::KeptOut;
        return;
    }
    if (identity.usb)
        say(deviceMessage(*identity.usb, identity.role));
    // A modem's diagnostic, GPS and audio ports speak no AT: a command would be noise to them.
    if (const QString part = partNotAt(identity.role); !part.isEmpty()) {
        m_outcomes.last().result = PortOutcome::Skipped;
        say(message(QStringLiteral("La porta %1 \u00e8 la porta %2 del modem: non viene "
                                   "verificata."),
                    name, part));
        return;
    }
    m_component.setPortOpen(false);
    m_component.setPortOpen(true);
    const OpenFailure &failure = m_component.openFailure();
    if (failure.reason != OpenFailure::Reason::None) {
        // Nothing can be said to a port that did not open: say why, and go on with the next.
        if (isKeptOut(failure.reason))
            m_outcomes.last().result = PortOutcome::KeptOut;
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
        say(message(QStringLiteral("La porta %1 trasmette senza sosta e non risponde ai comandi: "
                                   "non viene verificata oltre."),
                    name));
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
    m_outcomes.last().result = PortOutcome::Found;
    m_outcomes.last().manufacturer = Marca;
    say(QStringLiteral("Trovato: -") + Marca + QStringLiteral("-"));
    // What to put in a configuration: ttyUSB numbers change with the order of plugging in.
    if (!identity.stablePath.isEmpty())
        say(QStringLiteral("Percorso stabile: ") + printable(identity.stablePath));
}
