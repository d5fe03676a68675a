#include "system_formats.h"

#include <QChar>
#include <QRegularExpression>

#include <algorithm>
#include <cstring>
#include <limits>
#include <sys/sysmacros.h>

std::optional<quint64> deviceNumber(QByteArrayView text)
{
    const QList<QByteArray> parts = text.trimmed().toByteArray().split(':');
    if (parts.size() != 2)
        return std::nullopt;
    bool majorOk = false, minorOk = false;
    const uint major = parts.at(0).toUInt(&majorOk);
    const uint minor = parts.at(1).toUInt(&minorOk);
    if (!majorOk || !minorOk)
        return std::nullopt;
    return makedev(major, minor);
}

bool isInTerminalDrivers(const QByteArray &drivers, quint64 device)
{
    // "serial               /dev/ttyS       4 64-111 serial"
    for (const QByteArray &line : drivers.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 4)
            continue;
        const QList<QByteArray> minors = fields.at(fields.size() - 2).split('-');
        bool majorOk = false, firstOk = false, lastOk = true;
        const uint majorNumber = fields.at(fields.size() - 3).toUInt(&majorOk);
        const uint firstMinor = minors.value(0).toUInt(&firstOk);
        const uint lastMinor = minors.size() == 2 ? minors.at(1).toUInt(&lastOk) : firstMinor;
        if (majorOk && firstOk && lastOk && minors.size() <= 2 && majorNumber == major(device)
            && minor(device) >= firstMinor && minor(device) <= lastMinor)
            return true;
    }
    return false;
}

QList<quint64> consoleDevices(const QByteArray &consoles)
{
    // "ttyS0                -W- (EC p a)    4:64"
    QList<quint64> devices;
    for (const QByteArray &line : consoles.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 2)
            continue;
        if (const std::optional<quint64> device = deviceNumber(fields.last()))
            devices << *device;
    }
    return devices;
}

quint64 controllingTerminal(const QByteArray &statLine)
{
    // "PID (NAME) STATE PPID PGRP SESSION TTY_NR ...": the name may hold spaces and parentheses
    // of its own, so the fields are counted from the last ')'.
    qsizetype field = statLine.lastIndexOf(')');
    if (field < 0)
        return 0;
    ++field;
    for (int skip = 0; skip < 5; ++skip) {
        field = statLine.indexOf(' ', field);
        if (field < 0)
            return 0;
        ++field;
    }
    const QByteArray number = statLine.mid(field, statLine.indexOf(' ', field) - field);
    bool ok = false;
    const qint64 device = number.toLongLong(&ok);
    return ok && device > 0 ? quint64(device) : 0;
}

QList<uint> processUserIds(const QByteArray &status)
{
    QList<uint> ids;
    for (const QByteArray &line : status.split('\n')) {
        if (!line.startsWith("Uid:"))
            continue;
        for (const QByteArray &field : line.mid(4).simplified().split(' ')) {
            bool ok = false;
            const uint id = field.toUInt(&ok);
            if (ok)
                ids << id;
        }
        break;
    }
    return ids;
}

qint64 lockFilePid(const QByteArray &content)
{
    const bool asciiNumber = std::all_of(content.begin(), content.end(), [](char c) {
        return (c >= '0' && c <= '9') || QChar::isSpace(uchar(c));
    });
    // Four bytes that are not all digits and blanks: a binary PID ("123\n" is text).
    if (content.size() == qsizetype(sizeof(qint32)) && !asciiNumber) {
        qint32 binary = 0;
        std::memcpy(&binary, content.constData(), sizeof binary);
        return qMax(0, binary);
    }
    const QByteArray text = content.trimmed();
    constexpr int MostDigits = 18; // within a qint64
    qint64 pid = 0;
    for (qsizetype i = 0; i < text.size() && text.at(i) >= '0' && text.at(i) <= '9'; ++i) {
        if (i == MostDigits)
            return std::numeric_limits<qint64>::max();
        pid = pid * 10 + (text.at(i) - '0');
    }
    return pid;
}

LockFileTarget lockFileTarget(const QString &name)
{
    LockFileTarget target;
    if (name.startsWith(QLatin1String("LCK.."))) {
        const QString path = name.mid(5);
        for (const QString &candidate :
             { path, QString(path).replace(QLatin1Char('_'), QLatin1Char('/')) }) {
            // Every part a plain name ("_shm_x" is "/shm/x", "._shm_x" is "./shm/x": the same
            // folders by another way).
            const QStringList parts = candidate.split(QLatin1Char('/'));
            const bool plain = std::none_of(parts.begin(), parts.end(), [](const QString &part) {
                return part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..");
            });
            if (!plain || parts.first() == QLatin1String("shm")
                || parts.first() == QLatin1String("mqueue")
                || target.paths.contains(QStringLiteral("/dev/") + candidate))
                continue;
            target.paths << QStringLiteral("/dev/") + candidate;
        }
        return target;
    }
    const QStringList numbers = name.split(QLatin1Char('.'));
    bool majorOk = false, minorOk = false;
    if (numbers.size() == 3 && numbers.at(0) == QLatin1String("LCK")) {
        const uint majorNumber = numbers.at(1).toUInt(&majorOk);
        const uint minorNumber = numbers.at(2).toUInt(&minorOk);
        if (majorOk && minorOk)
            target.device = makedev(majorNumber, minorNumber);
    }
    return target;
}

qint64 lockHolder(const QByteArray &locks, quint64 fileSystem, quint64 inode)
{
    // "1: FLOCK  ADVISORY  WRITE 6188 00:05:3 0 EOF": the file as hex major:minor and inode.
    // Waiters ("1: -> FLOCK ...") hold nothing.
    for (const QByteArray &line : locks.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || fields.at(1) == "->")
            continue;
        const QList<QByteArray> id = fields.at(5).split(':');
        bool majorOk = false, minorOk = false, inodeOk = false;
        if (id.size() == 3 && id.at(0).toUInt(&majorOk, 16) == major(fileSystem) && majorOk
            && id.at(1).toUInt(&minorOk, 16) == minor(fileSystem) && minorOk
            && id.at(2).toULongLong(&inodeOk) == inode && inodeOk) {
            const qint64 pid = fields.at(4).toLongLong();
            return pid > 0 ? pid : -1;
        }
    }
    return 0;
}

UdevRecord udevRecord(const QByteArray &content)
{
    UdevRecord record;
    for (const QByteArray &line : content.split('\n')) {
        if (line.startsWith("E:")) {
            const qsizetype equals = line.indexOf('=');
            const QByteArray key = line.mid(2, equals - 2);
            if (equals > 2)
                record.properties.insert(QString::fromUtf8(key),
                                         QString::fromUtf8(line.mid(equals + 1)));
        } else if (line.startsWith("I:")) {
            bool ok = false;
            const qint64 microseconds = line.mid(2).toLongLong(&ok);
            if (ok && microseconds >= 0)
                record.initialisedAt = microseconds;
        }
    }
    return record;
}

QString deviceIdNumber(QStringView text)
{
    text = text.trimmed();
    if (text.startsWith(QLatin1String("0x")))
        text = text.sliced(2);
    const QString number = text.toString().toLower();
    const bool hex = number.size() == 4 && std::all_of(number.begin(), number.end(), [](QChar c) {
                         return (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
                             || (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
                     });
    return hex ? number : QString();
}

QList<int> configurationsWithModem(QByteArrayView descriptors)
{
    constexpr qsizetype DeviceDescriptor = 18;
    constexpr quint8 Configuration = 2, Interface = 4;
    auto byteAt = [&descriptors](qsizetype at) { return quint8(descriptors[at]); };
    QList<int> configurations;
    qsizetype at = DeviceDescriptor;
    while (at + 9 <= descriptors.size() && byteAt(at + 1) == Configuration) {
        const qsizetype total = byteAt(at + 2) | byteAt(at + 3) << 8;
        const qsizetype length = byteAt(at);
        if (length < 9 || total < length)
            break;
        const int value = byteAt(at + 5);
        const qsizetype end = qMin(at + total, descriptors.size());
        for (qsizetype inner = at + length; inner + 2 <= end;) {
            const qsizetype size = byteAt(inner);
            if (size < 2)
                break;
            if (byteAt(inner + 1) == Interface && size >= 9 && inner + 9 <= end
                && byteAt(inner + 5) == 0x02 && byteAt(inner + 6) == 0x02 && byteAt(inner + 7) >= 1
                && byteAt(inner + 7) <= 6) {
                configurations << value;
                break;
            }
            inner += size;
        }
        at += total;
    }
    return configurations;
}

ModeSwitchRules modeSwitchRules(const QByteArray &rules)
{
    // A match of a rule: ATTR{idVendor}=="12d1".
    static const QRegularExpression Match(
        QStringLiteral("ATTRS?\\{(\\w+)\\}\\s*==\\s*\"([^\"]*)\""));
    ModeSwitchRules known;
    for (const QByteArray &line : rules.split('\n')) {
        const QString text = QString::fromUtf8(line).trimmed();
        if (text.startsWith(QLatin1Char('#')) || !text.contains(QLatin1String("usb_modeswitch"))
            || !text.contains(QLatin1String("RUN")))
            continue;
        QHash<QString, QString> equal;
        for (const QRegularExpressionMatch &match : Match.globalMatch(text))
            equal.insert(match.captured(1), match.captured(2));
        const QString vendor = deviceIdNumber(equal.value(QStringLiteral("idVendor")));
        const QString product = deviceIdNumber(equal.value(QStringLiteral("idProduct")));
        if (vendor.isEmpty())
            continue;
        if (!product.isEmpty())
            known.devices << vendor + QLatin1Char(':') + product;
        else if (equal.value(QStringLiteral("bInterfaceClass")) == QLatin1String("08"))
            known.vendors << vendor;
    }
    return known;
}
