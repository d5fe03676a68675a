#include "modem_manager.h"

void ModemManagerView::beginScan()
{
    m_answer = askModemManager();
    m_scanning = true;
}

void ModemManagerView::endScan()
{
    m_scanning = false;
    m_answer = ModemManagerAnswer();
}

const ModemManagerAnswer &ModemManagerView::answer()
{
    if (!m_scanning)
        m_answer = askModemManager();
    return m_answer;
}

bool ModemManagerView::isSilent() const
{
    return m_scanning && m_answer.state == ModemManagerAnswer::State::NoAnswer;
}

std::pair<const ModemManagerAnswer::Modem *, const ModemManagerAnswer::Port *>
ModemManagerAnswer::find(const QString &portName) const
{
    for (const Modem &modem : modems) {
        for (const Port &port : modem.ports) {
            if (port.name == portName)
                return { &modem, &port };
        }
    }
    return { nullptr, nullptr };
}

#if defined(QUORVANE_LINUX_PORT_GUARD)

#include "common/Globali.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QLoggingCategory>
#include <QMap>
#include <QScopeGuard>

Q_LOGGING_CATEGORY(lcModemManager, "quorvane.modemmanager", QtWarningMsg)

// A port as a modem's "Ports" property lists it: a name and a type.
QDBusArgument &operator<<(QDBusArgument &argument, const ModemManagerAnswer::Port &port)
{
    argument.beginStructure();
    argument << port.name << port.type;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, ModemManagerAnswer::Port &port)
{
    argument.beginStructure();
    argument >> port.name >> port.type;
    argument.endStructure();
    return argument;
}

namespace ModemManagerBus {

using Port = ModemManagerAnswer::Port;

const QString Service = QStringLiteral("org.freedesktop.ModemManager1");
// ModemManager answers within milliseconds when idle; busy at boot or on a loaded machine it may
// take seconds. One that has not answered in five is taken to be busy with its modems.
constexpr int TimeoutMs = 5000;

// GetManagedObjects' answer: every object, its interfaces and their properties.
using Interfaces = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;

} // namespace ModemManagerBus

Q_DECLARE_METATYPE(ModemManagerAnswer::Port)

ModemManagerAnswer askModemManager()
{
    using namespace ModemManagerBus;
    static const bool registered = [] {
        qDBusRegisterMetaType<Port>();
        qDBusRegisterMetaType<QList<Port>>();
        qDBusRegisterMetaType<Interfaces>();
        qDBusRegisterMetaType<ManagedObjects>();
        return true;
    }();
    Q_UNUSED(registered);

    ModemManagerAnswer answer;
    // A connection of the question's own, to the bus the environment names now, closed after it:
    // the shared one would stay dead after the system bus restarted, and a window may stay open
    // that long.
    const QString connection = QStringLiteral("quorvane-modemmanager");
    const auto close =
        qScopeGuard([&connection] { QDBusConnection::disconnectFromBus(connection); });
    QString address = qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS");
    if (address.isEmpty())
        address = QStringLiteral("unix:path=/run/dbus/system_bus_socket");
    QDBusConnection bus = QDBusConnection::connectToBus(address, connection);
    if (!bus.isConnected())
        return answer;
    QDBusMessage call = QDBusMessage::createMethodCall(
        Service, QStringLiteral("/org/freedesktop/ModemManager1"),
        QStringLiteral("org.freedesktop.DBus.ObjectManager"), QStringLiteral("GetManagedObjects"));
    call.setAutoStartService(false);
    const QDBusPendingCall pending = bus.asyncCall(call, TimeoutMs);
    // The reply comes in on the bus's own thread; the watcher's notice of it, queued for this
    // thread, is the event that ends the wait here.
    const QDBusPendingCallWatcher watcher(pending);
    Globali::pumpEventsUntil([&pending] { return pending.isFinished(); },
                             std::chrono::milliseconds(TimeoutMs));
    const QDBusMessage reply = pending.isFinished() ? pending.reply() : QDBusMessage();
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        const QString error = reply.errorName();
        qCDebug(lcModemManager) << "ModemManager did not list its modems:" << error;
        if (reply.type() == QDBusMessage::ErrorMessage
            && error != QLatin1String("org.freedesktop.DBus.Error.NoReply")
            && error != QLatin1String("org.freedesktop.DBus.Error.Timeout")
            && error != QLatin1String("org.freedesktop.DBus.Error.TimedOut"))
            return answer; // not running, or the question is not allowed
        answer.state = ModemManagerAnswer::State::NoAnswer;
        return answer;
    }
    if (reply.signature() != QLatin1String("a{oa{sa{sv}}}"))
        return answer; // no answer to this question
    answer.state = ModemManagerAnswer::State::Listed;
    const ManagedObjects objects = qdbus_cast<ManagedObjects>(reply.arguments().constFirst());
    for (const Interfaces &interfaces : objects) {
        const auto modem =
            interfaces.constFind(QStringLiteral("org.freedesktop.ModemManager1.Modem"));
        if (modem == interfaces.constEnd())
            continue;
        ModemManagerAnswer::Modem listed;
        listed.device = modem->value(QStringLiteral("Device")).toString();
        listed.manufacturer = modem->value(QStringLiteral("Manufacturer")).toString();
        listed.model = modem->value(QStringLiteral("Model")).toString();
        listed.primaryPort = modem->value(QStringLiteral("PrimaryPort")).toString();
        const QVariant ports = modem->value(QStringLiteral("Ports"));
        if (ports.canConvert<QDBusArgument>()
            && ports.value<QDBusArgument>().currentSignature() == QLatin1String("a(su)"))
            listed.ports = qdbus_cast<QList<Port>>(ports);
        answer.modems << listed;
    }
    return answer;
}

#else // no system bus to ask

ModemManagerAnswer askModemManager()
{
    return {};
}

#endif
