#include "modem_manager.h"

void ModemManagerView::beginScan()
{
    m_answer = ask();
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
        m_answer = ask();
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

#include <QLoggingCategory>
#include <QSocketNotifier>

#include <dbus/dbus.h>
#include <mutex>
#include <sys/eventfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcModemManager, "quorvane.modemmanager", QtWarningMsg)

namespace {

const char Service[] = "org.freedesktop.ModemManager1";
const char ModemInterface[] = "org.freedesktop.ModemManager1.Modem";
// ModemManager answers within milliseconds when idle; busy at boot or on a loaded machine it may
// take seconds. One that has not answered in five is taken to be busy with its modems.
constexpr int TimeoutMs = 5000;

// A D-Bus string, from an iterator standing on one; empty for any other type.
QString stringAt(DBusMessageIter *at)
{
    if (dbus_message_iter_get_arg_type(at) != DBUS_TYPE_STRING
        && dbus_message_iter_get_arg_type(at) != DBUS_TYPE_OBJECT_PATH)
        return QString();
    const char *text = nullptr;
    dbus_message_iter_get_basic(at, &text);
    return QString::fromUtf8(text);
}

// A modem's "Ports" property, a(su): each port's name and type.
QList<ModemManagerAnswer::Port> portsIn(DBusMessageIter *value)
{
    QList<ModemManagerAnswer::Port> ports;
    char *signature = dbus_message_iter_get_signature(value);
    const bool listed = qstrcmp(signature, "a(su)") == 0;
    dbus_free(signature);
    if (!listed)
        return ports;
    DBusMessageIter entry;
    for (dbus_message_iter_recurse(value, &entry);
         dbus_message_iter_get_arg_type(&entry) == DBUS_TYPE_STRUCT;
         dbus_message_iter_next(&entry)) {
        DBusMessageIter field;
        dbus_message_iter_recurse(&entry, &field);
        ModemManagerAnswer::Port port;
        port.name = stringAt(&field);
        dbus_message_iter_next(&field);
        dbus_uint32_t type = 0;
        dbus_message_iter_get_basic(&field, &type);
        port.type = type;
        ports << port;
    }
    return ports;
}

// The properties of a modem's interface, a{sv}.
ModemManagerAnswer::Modem modemIn(DBusMessageIter *properties)
{
    ModemManagerAnswer::Modem modem;
    DBusMessageIter entry;
    for (dbus_message_iter_recurse(properties, &entry);
         dbus_message_iter_get_arg_type(&entry) == DBUS_TYPE_DICT_ENTRY;
         dbus_message_iter_next(&entry)) {
        DBusMessageIter key, value;
        dbus_message_iter_recurse(&entry, &key);
        const QString name = stringAt(&key);
        dbus_message_iter_next(&key);
        dbus_message_iter_recurse(&key, &value); // the variant's content
        if (name == QLatin1String("Device"))
            modem.device = stringAt(&value);
        else if (name == QLatin1String("Manufacturer"))
            modem.manufacturer = stringAt(&value);
        else if (name == QLatin1String("Model"))
            modem.model = stringAt(&value);
        else if (name == QLatin1String("PrimaryPort"))
            modem.primaryPort = stringAt(&value);
        else if (name == QLatin1String("Ports"))
            modem.ports = portsIn(&value);
    }
    return modem;
}

// GetManagedObjects' answer, a{oa{sa{sv}}}: every object, its interfaces and their properties;
// the modems among them.
QList<ModemManagerAnswer::Modem> modemsIn(DBusMessage *reply)
{
    QList<ModemManagerAnswer::Modem> modems;
    DBusMessageIter objects, object;
    dbus_message_iter_init(reply, &objects);
    for (dbus_message_iter_recurse(&objects, &object);
         dbus_message_iter_get_arg_type(&object) == DBUS_TYPE_DICT_ENTRY;
         dbus_message_iter_next(&object)) {
        DBusMessageIter path, interfaces, interface;
        dbus_message_iter_recurse(&object, &path);
        dbus_message_iter_next(&path);
        interfaces = path;
        for (dbus_message_iter_recurse(&interfaces, &interface);
             dbus_message_iter_get_arg_type(&interface) == DBUS_TYPE_DICT_ENTRY;
             dbus_message_iter_next(&interface)) {
            DBusMessageIter name;
            dbus_message_iter_recurse(&interface, &name);
            if (stringAt(&name) != QLatin1String(ModemInterface))
                continue;
            dbus_message_iter_next(&name);
            modems << modemIn(&name);
        }
    }
    return modems;
}

// The question itself, on a connection of its own to the bus at `address`, closed after it.
// Every step may wait on the bus daemon: this runs off the window's thread, and may outlive the
// program's own objects (it logs nothing itself: why it failed is left in `failure`).
ModemManagerAnswer askOnTheBus(const QByteArray &address, QByteArray &failure)
{
    ModemManagerAnswer answer;
    DBusError error;
    dbus_error_init(&error);
    DBusConnection *bus = dbus_connection_open_private(address.constData(), &error);
    if (bus && !dbus_bus_register(bus, &error)) {
        dbus_connection_close(bus);
        dbus_connection_unref(bus);
        bus = nullptr;
    }
    if (!bus) {
        failure = QByteArray("no system bus: ") + error.message;
        dbus_error_free(&error);
        return answer;
    }
    DBusMessage *call =
        dbus_message_new_method_call(Service, "/org/freedesktop/ModemManager1",
                                     "org.freedesktop.DBus.ObjectManager", "GetManagedObjects");
    dbus_message_set_auto_start(call, false); // never starts ModemManager
    DBusMessage *reply = dbus_connection_send_with_reply_and_block(bus, call, TimeoutMs, &error);
    dbus_message_unref(call);
    if (!reply) {
        failure = QByteArray("ModemManager did not list its modems: ") + error.name;
        // Not running, or the question is not allowed: it cannot be asked. Busy: no answer.
        const QByteArray name = error.name;
        if (name == DBUS_ERROR_NO_REPLY || name == DBUS_ERROR_TIMEOUT
            || name == DBUS_ERROR_TIMED_OUT)
            answer.state = ModemManagerAnswer::State::NoAnswer;
        dbus_error_free(&error);
    } else {
        if (dbus_message_has_signature(reply, "a{oa{sa{sv}}}")) {
            answer.state = ModemManagerAnswer::State::Listed;
            answer.modems = modemsIn(reply);
        }
        dbus_message_unref(reply);
    }
    dbus_connection_close(bus);
    dbus_connection_unref(bus);
    return answer;
}

} // namespace

// A question on its own thread and the answer it brings: the thread keeps it as long as it runs,
// even after the asker gave up waiting for it; an event descriptor tells the asker's thread that
// the answer is in.
struct ModemManagerView::Question
{
    std::mutex mutex;
    bool finished = false;
    ModemManagerAnswer answer;
    QByteArray failure;
    const int answered = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ~Question()
    {
        if (answered >= 0)
            ::close(answered);
    }
    bool isFinished()
    {
        const std::lock_guard lock(mutex);
        return finished;
    }
};

ModemManagerView::ModemManagerView() = default;
ModemManagerView::~ModemManagerView() = default;

ModemManagerAnswer ModemManagerView::ask()
{
    // A question still stuck on a stalled bus: a new one would only queue behind it.
    if (m_question && !m_question->isFinished()) {
        ModemManagerAnswer stuck;
        stuck.state = ModemManagerAnswer::State::NoAnswer;
        return stuck;
    }
    QByteArray address = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (address.isEmpty())
        address = "unix:path=/run/dbus/system_bus_socket";
    auto question = std::make_shared<Question>();
    if (question->answered < 0)
        return {};
    try {
        std::thread([question, address] {
            QByteArray failure;
            ModemManagerAnswer answer = askOnTheBus(address, failure);
            const std::lock_guard lock(question->mutex);
            question->answer = std::move(answer);
            question->failure = failure;
            question->finished = true;
            const eventfd_t one = 1;
            ::eventfd_write(question->answered, one);
        }).detach();
    } catch (const std::system_error &) {
        return {}; // no thread to be had: it cannot be asked
    }
    m_question = question;
    // Served as an event, which ends the wait for events at once; the window keeps repainting
    // and its buttons answer meanwhile.
    QSocketNotifier notice(question->answered, QSocketNotifier::Read);
    Globali::pumpEventsUntil([&question] { return question->isFinished(); },
                             std::chrono::milliseconds(TimeoutMs));
    const std::lock_guard lock(question->mutex);
    if (question->finished) {
        if (!question->failure.isEmpty())
            qCDebug(lcModemManager) << question->failure;
        return question->answer;
    }
    ModemManagerAnswer late;
    late.state = ModemManagerAnswer::State::NoAnswer;
    return late;
}

#else // no system bus to ask

struct ModemManagerView::Question
{
};

ModemManagerView::ModemManagerView() = default;
ModemManagerView::~ModemManagerView() = default;

ModemManagerAnswer ModemManagerView::ask()
{
    return {};
}

#endif
