#include "modem_manager.h"

const ModemManagerAnswer::Modem *ModemManagerAnswer::modemWithPort(const QString &portName) const
{
    for (const Modem &modem : modems) {
        if (modem.ports.contains(portName))
            return &modem;
    }
    return nullptr;
}

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QLoggingCategory>
#include <QMap>

Q_LOGGING_CATEGORY(lcModemManager, "quorvane.modemmanager", QtWarningMsg)

namespace ModemManagerBus {

const QString Service = QStringLiteral("org.freedesktop.ModemManager1");
// ModemManager answers within milliseconds; one that does not in a second is taken to be busy
// with its modems.
constexpr int TimeoutMs = 1000;

// One of a modem's ports, as its "Ports" property lists them: a name and a type.
struct Port
{
    QString name;
    uint type = 0;
};

QDBusArgument &operator<<(QDBusArgument &argument, const Port &port)
{
    argument.beginStructure();
    argument << port.name << port.type;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, Port &port)
{
    argument.beginStructure();
    argument >> port.name >> port.type;
    argument.endStructure();
    return argument;
}

// GetManagedObjects' answer: every object, its interfaces and their properties.
using Interfaces = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;

} // namespace ModemManagerBus

Q_DECLARE_METATYPE(ModemManagerBus::Port)

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
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return answer;
    QDBusMessage call = QDBusMessage::createMethodCall(
        Service, QStringLiteral("/org/freedesktop/ModemManager1"),
        QStringLiteral("org.freedesktop.DBus.ObjectManager"), QStringLiteral("GetManagedObjects"));
    call.setAutoStartService(false);
    const QDBusMessage reply = bus.call(call, QDBus::Block, TimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        const QString error = reply.errorName();
        qCDebug(lcModemManager) << "ModemManager did not list its modems:" << error;
        if (error != QLatin1String("org.freedesktop.DBus.Error.NoReply")
            && error != QLatin1String("org.freedesktop.DBus.Error.Timeout")
            && error != QLatin1String("org.freedesktop.DBus.Error.TimedOut"))
            return answer; // not running, or the question is not allowed
        answer.state = ModemManagerAnswer::State::NoAnswer;
        QDBusMessage owner = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixProcessID"));
        owner << Service;
        answer.pid = bus.call(owner, QDBus::Block, TimeoutMs).arguments().value(0).toLongLong();
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
        const QVariant ports = modem->value(QStringLiteral("Ports"));
        if (ports.canConvert<QDBusArgument>()
            && ports.value<QDBusArgument>().currentSignature() == QLatin1String("a(su)")) {
            for (const Port &port : qdbus_cast<QList<Port>>(ports))
                listed.ports << port.name;
        }
        answer.modems << listed;
    }
    return answer;
}
