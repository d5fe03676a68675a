#include "log_text.h"

#include "common/log_sink.h"

#include <QStringList>

namespace {

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

// A device by its name and its numbers ("Quectel EC25 (USB 2c7c:0125)"), or by its numbers alone.
QString labelled(const QString &name, const QString &numbers)
{
    return name.isEmpty() ? numbers : name + QStringLiteral(" (") + numbers + u')';
}

// A device that offers no serial port, as its line opens: what it is, its name and numbers.
QString subjectOf(const DeviceWithoutPorts &device)
{
    using Kind = DeviceWithoutPorts::Kind;
    const QString label =
        labelled(deviceName(device.manufacturer, device.product),
                 message(QStringLiteral("%1 %2:%3"),
                         device.onPci ? QStringLiteral("PCI") : QStringLiteral("USB"),
                         device.vendorId, device.productId));
    switch (device.kind) {
    case Kind::Modem:
        return QStringLiteral("Il modem ") + label;
    case Kind::Phone:
        return QStringLiteral("Il telefono ") + label;
    case Kind::SerialAdapter:
        return QStringLiteral("L'adattatore seriale ") + label;
    case Kind::Device:
        break;
    }
    return QStringLiteral("Il dispositivo ") + label;
}

// Why a modem is still a CD-ROM, and what to do.
QString storageModeMessage(const DeviceWithoutPorts &device)
{
    using Switcher = DeviceWithoutPorts::Switcher;
    const QString still = subjectOf(device)
        + QStringLiteral(" \u00e8 ancora in modalit\u00e0 CD-ROM (memoria di massa): ");
    // usb-modeswitch switches Wi-Fi adapters and printers too.
    const QString toModem =
        device.kind == DeviceWithoutPorts::Kind::Modem ? QStringLiteral(" in modem") : QString();
    switch (device.switcher) {
    case Switcher::Missing:
        return still
            + QStringLiteral("usb-modeswitch, che lo commuta%1, non \u00e8 installato. "
                             "Installarlo (sudo apt install usb-modeswitch), poi scollegare e "
                             "ricollegare il dispositivo.")
                  .arg(toModem);
    case Switcher::KnowsDevice:
    case Switcher::KnowsVendor:
        return still
            + QStringLiteral("usb-modeswitch lo conosce, ma non lo ha commutato%1. Per "
                             "commutarlo a mano: ")
                  .arg(toModem)
            + fixCommand(device);
    case Switcher::DoesNotKnow:
        break;
    }
    return still
        + QStringLiteral("i dati di usb-modeswitch installati non conoscono questo modello: serve "
                         "una versione pi\u00f9 recente di usb-modeswitch-data.");
}

// Who holds a device through usbfs, and what to do.
QString usbfsMessage(const DeviceWithoutPorts &device)
{
    const QString subject = subjectOf(device);
    if (device.holderPid <= 0) {
        const QString shows = device.usbfsNode.isEmpty()
            ? QString()
            : message(QStringLiteral(" (sudo fuser -v %1 lo mostra)"), device.usbfsNode);
        return subject
            + QStringLiteral(" \u00e8 occupato tramite usbfs da un programma che non si "
                             "pu\u00f2 identificare%1: nessun driver seriale pu\u00f2 gestirlo "
                             "finch\u00e9 quel programma non lo rilascia.")
                  .arg(shows);
    }
    const QString holder = device.holder.isEmpty() ? QStringLiteral("?") : device.holder;
    const QString pid = QString::number(device.holderPid);
    QString line = subject
        + (device.holderGuessed
               ? message(QStringLiteral(" \u00e8 occupato tramite usbfs da un programma di un "
                                        "altro utente, con ogni probabilit\u00e0 %1 (processo "
                                        "%2): nessun driver seriale pu\u00f2 gestirlo."),
                         holder, pid)
               : message(QStringLiteral(" \u00e8 occupato da %1 (processo %2) tramite usbfs: "
                                        "nessun driver seriale pu\u00f2 gestirlo."),
                         holder, pid));
    if (device.holder == QLatin1String("brltty")) {
        return line
            + QStringLiteral(" brltty serve ai display Braille: se non si usa un display Braille, "
                             "rimuovere brltty (sudo apt remove brltty) o disattivarne il servizio "
                             "udev (sudo systemctl mask --now brltty-udev.service), poi scollegare "
                             "e ricollegare il dispositivo.");
    }
    return line
        + QStringLiteral(" Chiudere quel programma, poi scollegare e ricollegare il dispositivo.");
}

// The interfaces no driver took, and how to have the serial driver take them.
QString noDriverMessage(const DeviceWithoutPorts &device)
{
    QStringList numbers;
    for (const int number : device.unboundInterfaces)
        numbers << QString::number(number);
    const bool one = numbers.size() == 1;
    return subjectOf(device)
        + (one ? QStringLiteral(" ha l'interfaccia %1 senza driver: ")
               : QStringLiteral(" ha le interfacce %1 senza driver: "))
              .arg(numbers.join(QStringLiteral(", ")))
        + QStringLiteral("il driver seriale del kernel non conosce questo modello. ")
        + (one ? QStringLiteral("Per associarla al driver option: ")
               : QStringLiteral("Per associarle al driver option: "))
        + fixCommand(device) + QStringLiteral(" (oppure usare un kernel pi\u00f9 recente).");
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

QString checkingMessage(const QString &name)
{
    return QStringLiteral("Verifica ") + printable(name) + QStringLiteral(" in corso...");
}

QString foundMessage(const QString &marca)
{
    return QStringLiteral("Trovato: -") + marca + QStringLiteral("-");
}

QString stablePathMessage(const QString &path)
{
    return QStringLiteral("Percorso stabile: ") + printable(path);
}

QString unconnectedBluetoothMessage(const QString &name)
{
    return message(QStringLiteral("La porta %1 \u00e8 un collegamento Bluetooth non connesso: non "
                                  "viene verificata."),
                   name);
}

QString notAtPortMessage(const QString &name, PortRole role)
{
    const QString part = partNotAt(role);
    if (part.isEmpty())
        return QString();
    return message(
        QStringLiteral("La porta %1 \u00e8 la porta %2 del modem: non viene verificata."), name,
        part);
}

QString streamingMessage(const QString &name)
{
    return message(
        QStringLiteral("La porta %1 trasmette senza sosta e non risponde ai comandi: non "
                       "viene verificata oltre."),
        name);
}

QString unbelievedLockMessage(const QString &lock, const QString &owner)
{
    return message(QStringLiteral("Il file di blocco %1, dell'utente %2, non viene considerato: in "
                                  "quella cartella chiunque pu\u00f2 scriverlo."),
                   lock, owner);
}

QString strandedLockMessage(const QString &path)
{
    return message(
        QStringLiteral("Il file di blocco di un altro programma \u00e8 rimasto in %1: non "
                       "ha potuto tornare al suo posto."),
        path);
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
    const QString device = deviceName(usb.device.manufacturer, usb.device.product);
    QString numbers = message(QStringLiteral("USB %1:%2, interfaccia %3"), usb.device.vendorId,
                              usb.device.productId, QString::number(usb.number));
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
    switch (modem.told()) {
    case NonSerialModem::Told::ByModemManager: {
        const ModemManagerAnswer::Modem &managed = *modem.managed;
        QString name = deviceName(managed.manufacturer, managed.model);
        if (!managed.device.isEmpty())
            name = labelled(name, printable(managed.device));
        return QStringLiteral("ModemManager gestisce il modem %1, che non ha porte seriali da "
                              "verificare.")
            .arg(name.isEmpty() ? numbers : name);
    }
    case NonSerialModem::Told::WwanAtPort:
        return message(QStringLiteral("Il modem %1 ha la porta AT %2, che non \u00e8 una porta "
                                      "seriale: non viene verificata."),
                       numbers, modem.atPort);
    case NonSerialModem::Told::Nothing:
        return QString();
    case NonSerialModem::Told::QmiOrMbimOnly:
        break;
    }
    return QStringLiteral("Il modem %1 non ha porte seriali (solo QMI o MBIM): non pu\u00f2 "
                          "essere verificato.")
        .arg(labelled(deviceName(modem.manufacturer, modem.product), numbers));
}

QString deviceWithoutPortsMessage(const DeviceWithoutPorts &device)
{
    using Cause = DeviceWithoutPorts::Cause;
    switch (device.cause) {
    case Cause::StorageMode:
        return storageModeMessage(device);
    case Cause::HeldThroughUsbfs:
        return usbfsMessage(device);
    case Cause::NoDriver:
        return noDriverMessage(device);
    case Cause::FileTransfer:
        return subjectOf(device)
            + message(QStringLiteral(" \u00e8 collegato per il trasferimento di file (%1) e in "
                                     "questa modalit\u00e0 non offre porte AT: non pu\u00f2 "
                                     "essere verificato."),
                      device.protocol);
    case Cause::NetworkMode:
        return subjectOf(device)
            + message(device.networkInterfaces.size() == 1
                          ? QStringLiteral(" \u00e8 in modalit\u00e0 rete (interfaccia %1): si "
                                           "gestisce dalla sua pagina web e non risponde ai "
                                           "comandi AT.")
                          : QStringLiteral(" \u00e8 in modalit\u00e0 rete (interfacce %1): si "
                                           "gestisce dalla sua pagina web e non risponde ai "
                                           "comandi AT."),
                      device.networkInterfaces.join(QStringLiteral(", ")));
    case Cause::NoPciDriver:
        return subjectOf(device)
            + QStringLiteral(" non \u00e8 gestito da alcun driver del kernel (%1 lo mostra): "
                             "serve un kernel che abbia il suo driver.")
                  .arg(fixCommand(device));
    case Cause::OtherConfiguration:
        return subjectOf(device)
            + QStringLiteral(" ha il modem nella configurazione USB %1, ma usa la %2. Per "
                             "passare alla configurazione %1: %3")
                  .arg(QString::number(device.configuration),
                       QString::number(device.activeConfiguration), fixCommand(device));
    }
    return QString();
}

QString fixCommand(const DeviceWithoutPorts &device)
{
    using Cause = DeviceWithoutPorts::Cause;
    using Switcher = DeviceWithoutPorts::Switcher;
    const QString vendor = printable(device.vendorId);
    const QString product = printable(device.productId);
    const QString name = printable(device.name);
    switch (device.cause) {
    case Cause::StorageMode: {
        const QString switchBy =
            QStringLiteral("sudo usb_modeswitch -v 0x%1 -p 0x%2 ").arg(vendor, product);
        if (device.switcher == Switcher::Missing)
            return QStringLiteral("sudo apt install usb-modeswitch");
        if (device.switcher == Switcher::DoesNotKnow)
            return QString();
        if (!device.switchEntry.isEmpty())
            return switchBy + QStringLiteral("-c ") + printable(device.switchEntry);
        // Huawei's rule for all its modems switches them to Huawei's new mode.
        if (device.switcher == Switcher::KnowsVendor && device.vendorId == QLatin1String("12d1"))
            return switchBy + QStringLiteral("-J");
        // The device's entry, out of the data's pack.
        return QStringLiteral("tar -xzf /usr/share/usb_modeswitch/configPack.tar.gz -C /tmp "
                              "%1:%2 && ")
                   .arg(vendor, product)
            + switchBy + QStringLiteral("-c /tmp/%1:%2").arg(vendor, product);
    }
    case Cause::HeldThroughUsbfs:
        if (device.holder == QLatin1String("brltty"))
            return QStringLiteral("sudo apt remove brltty");
        if (device.holderPid <= 0 && !device.usbfsNode.isEmpty())
            return QStringLiteral("sudo fuser -v ") + printable(device.usbfsNode);
        return QString();
    case Cause::NoDriver:
        return QStringLiteral("sudo modprobe option && echo %1 %2%3 | sudo tee "
                              "/sys/bus/usb-serial/drivers/option1/new_id")
            .arg(vendor, product, device.besideOtherClasses ? QStringLiteral(" ff") : QString());
    case Cause::NoPciDriver:
        return QStringLiteral("lspci -k -s ") + name;
    case Cause::OtherConfiguration:
        return QStringLiteral("echo %1 | sudo tee /sys/bus/usb/devices/%2/bConfigurationValue")
            .arg(QString::number(device.configuration), name);
    case Cause::FileTransfer:
    case Cause::NetworkMode:
        break;
    }
    return QString();
}

QString waitingForPortsMessage(const QStringList &ports, qint64 seconds)
{
    return message(seconds == 1 ? QStringLiteral("In attesa di %1 (fino a %2 secondo)...")
                                : QStringLiteral("In attesa di %1 (fino a %2 secondi)..."),
                   ports.join(QStringLiteral(", ")), QString::number(seconds));
}

QString checkingAgainMessage(qint64 seconds)
{
    return (seconds == 1
                ? QStringLiteral("Nessun terminale per ora: nuova verifica quando una porta "
                                 "compare o cambia (fino a %1 secondo).")
                : QStringLiteral("Nessun terminale per ora: nuova verifica quando una porta "
                                 "compare o cambia (fino a %1 secondi)."))
        .arg(seconds);
}

void logNotFoundAdvice(LogSink &log)
{
    static const char *const Advice[] = {
        "Nessun terminale trovato",
        "******************",
        "Il terminale GSM non \u00e8 stato trovato. ",
        "Verificare il collegamento con il pc.",
        "Se il problema persiste scollegare il ",
        "terminale dal computer, ",
        "attendere 5 secondi ",
        "e poi ricollegarlo.",
        "******************",
    };
    for (const char *line : Advice)
        log.AddLog(QString::fromUtf8(line));
}
