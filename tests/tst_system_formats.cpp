#include "benches.h"
#include "terminal/system/lock_files.h"
#include "terminal/system/permission_advice.h"
#include "terminal/system/system_files.h"
#include "terminal/system/system_formats.h"

#include <QTemporaryDir>
#include <QTest>

#include <limits>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

QByteArray binary(qint32 pid)
{
    return QByteArray(reinterpret_cast<const char *>(&pid), sizeof pid);
}

// A user refused a device of group `group` with `mode`, the user database naming it `name`.
struct Refusal
{
    uint group = 20;
    uint mode = 0660;
    uint primaryGroup = 1000;
    QList<uint> session { 1000 };
    QList<uint> account { 1000, 24 };
    QString name = "dialout";
};

using Make = std::function<int(const QByteArray &path)>;

} // namespace

// What the kernel's files and other programs' lock files say, one case a line, hostile ones
// among them: any user may write a lock file, and a process may name itself anything.
class TestSystemFormats : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lockFilePid()
    {
        checkCases<QByteArray, qint64>(
            ::lockFilePid,
            {
                { "empty", "", 0 },
                { "a number alone", "4242\n", 4242 },
                { "minicom's, ten wide, program and user", "      4242 minicom root\n", 4242 },
                { "Qt's lines", "4242\nminicom\nbanco\n", 4242 },
                { "four binary bytes", binary(4242), 4242 },
                { "four ASCII bytes are text, not binary", "123\n", 123 },
                { "four digits", "5678", 5678 },
                { "a negative binary PID names none", binary(-5), 0 },
                { "eleven digits", "12345678901\n", 12345678901 },
                { "more digits than a number holds", QByteArray(40, '9'),
                  std::numeric_limits<qint64>::max() },
                { "no number", "minicom\n", 0 },
            });
    }

    // The paths a lock's name may stand for, or the device numbers it names.
    void lockFileTarget()
    {
        checkCases<QString, QString>(
            [](const QString &name) {
                const LockFileTarget target = ::lockFileTarget(name);
                return target.device ? deviceNumbers(*target.device) : target.paths.join(' ');
            },
            {
                { "a port below /dev", "LCK..ttyUSB0", "/dev/ttyUSB0" },
                { "'_' may stand for '/'", "LCK..pts_3", "/dev/pts_3 /dev/pts/3" },
                { "lockdev's device numbers", "LCK.004.064", "4:64" },
                { "numbers that are none", "LCK.4.x", "" },
                { "no name", "LCK..", "" },
                { "out of /dev and back", "LCK..pts_.._ttyS0", "/dev/pts_.._ttyS0" },
                { "into /dev/shm", "LCK..shm_quorvane", "/dev/shm_quorvane" },
                { "into /dev/mqueue", "LCK..mqueue_q", "/dev/mqueue_q" },
                { "into /dev/shm by an empty part", "LCK.._shm_x", "/dev/_shm_x" },
                { "into /dev/shm by a dot", "LCK..._shm_x", "/dev/._shm_x" },
            });
    }

    // /proc/locks names a file by its file system's numbers in hex (here 10:31) and its inode.
    void lockHolder()
    {
        checkCases<QByteArray, qint64>(
            [](const QByteArray &locks) { return ::lockHolder(locks, makedev(10, 31), 3); },
            {
                { "a flock", "1: FLOCK  ADVISORY  WRITE 6188 0a:1f:3 0 EOF\n", 6188 },
                { "a record lock", "1: POSIX  ADVISORY  WRITE 77 0a:1f:3 0 EOF\n", 77 },
                { "an open file description lock", "1: OFDLCK ADVISORY WRITE -1 0a:1f:3 0 EOF",
                  -1 },
                { "a waiter holds nothing", "2: -> FLOCK  ADVISORY  WRITE 6190 0a:1f:3 0 EOF", 0 },
                { "the holder before its waiter",
                  "2: FLOCK  ADVISORY  WRITE 6188 0a:1f:3 0 EOF\n"
                  "2: -> FLOCK  ADVISORY  WRITE 6190 0a:1f:3 0 EOF\n",
                  6188 },
                { "another inode", "1: FLOCK  ADVISORY  WRITE 6188 0a:1f:33 0 EOF", 0 },
                { "another file system", "1: FLOCK  ADVISORY  WRITE 6188 0a:20:3 0 EOF", 0 },
                { "numbers read as decimal", "1: FLOCK  ADVISORY  WRITE 6188 10:31:3 0 EOF", 0 },
                { "cut short", "1: FLOCK ADVISORY", 0 },
            });
    }

    // The kernel's consoles, a process's controlling terminal and users, the terminal drivers.
    void devicesNamedByTheKernel()
    {
        checkCases<QByteArray, QString>(
            [](const QByteArray &consoles) {
                QStringList devices;
                for (const quint64 device : consoleDevices(consoles))
                    devices << deviceNumbers(device);
                return devices.join(' ');
            },
            {
                { "a serial console and the virtual terminal",
                  "ttyS0                -W- (EC p a)    4:64\ntty0 -WU (E  p  )    4:0\n",
                  "4:64 4:0" },
                { "a network console has no device", "netcon0              -W- (E    )\n", "" },
                { "not a number", "ttyS0 -W- (EC p a) 4:x\n", "" },
            });
        checkCases<QByteArray, QString>(
            [](const QByteArray &stat) { return deviceNumbers(controllingTerminal(stat)); },
            {
                { "a getty on ttyS0", "77 (agetty) S 1 77 77 1088 77 4194560", "4:64" },
                { "')' and spaces in the name", "77 (a) b (c) S 1 77 77 1088 77", "4:64" },
                { "no terminal", "77 (sleep) S 1 77 77 0 -1 4194560", "" },
                { "cut short", "77 (sleep) S 1", "" },
            });
        checkCases<QByteArray, QString>(
            [](const QByteArray &status) {
                QStringList ids;
                for (const uint id : processUserIds(status))
                    ids << QString::number(id);
                return ids.join(' ');
            },
            {
                { "real, effective, saved, file system",
                  "Name:\tsleep\nUmask:\t0022\nUid:\t1000\t0\t0\t0\nGid:\t100\t100\t100\t100\n",
                  "1000 0 0 0" },
                { "no Uid line", "Name:\tsleep\nGid:\t100\t100\t100\t100\n", "" },
            });
        const QByteArray drivers =
            "/dev/tty             /dev/tty        5       0 system:/dev/tty\n"
            "usbserial            /dev/ttyUSB   188 0-511 serial\n"
            "serial               /dev/ttyS       4 64-111 serial\n"
            "pty_slave            /dev/pts      136 0-1048575 pty:slave\n";
        checkCases<QByteArray, bool>(
            [&drivers](const QByteArray &device) {
                return isInTerminalDrivers(drivers, *deviceNumber(device));
            },
            {
                { "a USB serial port", "188:3", true },
                { "the first UART", "4:64", true },
                { "the last UART", "4:111", true },
                { "past the UARTs' range", "4:112", false },
                { "a pseudo-terminal", "136:5", true },
                { "/dev/null", "1:3", false },
            });
    }

    // udev's record of a device: its properties, sorted here, and when udev initialised it.
    void udevRecord()
    {
        checkCases<QByteArray, QString>(
            [](const QByteArray &content) {
                const UdevRecord record = ::udevRecord(content);
                QStringList properties;
                for (auto it = record.properties.cbegin(); it != record.properties.cend(); ++it)
                    properties << it.key() + '=' + it.value();
                properties.sort();
                if (record.initialisedAt)
                    properties << '@' + QString::number(*record.initialisedAt);
                return properties.join(' ');
            },
            {
                { "empty", "", "" },
                { "a port of a modem", "I:123\nE:ID_MM_CANDIDATE=1\nE:ID_MM_PORT_TYPE_QCDM=1\n",
                  "ID_MM_CANDIDATE=1 ID_MM_PORT_TYPE_QCDM=1 @123" },
                // Microseconds since boot: a machine up more than 36 minutes, and 72.
                { "past 2^31", "I:2147483648\n", "@2147483648" },
                { "past 2^32", "I:4294967296\n", "@4294967296" },
                { "lines of other kinds", "S:serial/by-id/x\nL:0\nG:systemd\nQ:7\nV:1\n", "" },
                { "malformed lines", "E:\nE:=1\nE:NOEQUALS\nI:x\nI:-5\nI:\n", "" },
            });
    }

    // A vendor's or a product's number, as sysfs writes it for USB and for PCI.
    void deviceIdNumber()
    {
        checkCases<QString, QString>(
            [](const QString &text) { return ::deviceIdNumber(text); },
            {
                { "USB", "2c7c\n", "2c7c" },
                { "PCI", "0x8086\n", "8086" },
                { "upper case", "2C7C", "2c7c" },
                { "too long", "0x12345", "" },
                { "too short", "c7c", "" },
                { "not hex", "12g4", "" },
                { "digits of another script", "\u0661\u0662\u0663\u0664", "" },
            });
    }

    // Raw descriptors as a device may send them, cut short or with lengths they cannot have: the
    // walk for a modem's configuration ends there (the configuration's, for a descriptor inside
    // it), reading nothing past them.
    void configurationsWithModem()
    {
        const QByteArray device = QByteArray(18, '\x01');
        auto configuration = [](int value, char interfaceClass, int total = 18) {
            return QByteArray("\x09\x02", 2) + char(total) + '\0' + '\x01' + char(value)
                + QByteArray("\x00\x80\x32\x09\x04\x00\x00\x01", 8) + interfaceClass
                + QByteArray("\x02\x01\x00", 3);
        };
        checkCases<QByteArray, QString>(
            [](const QByteArray &descriptors) {
                QStringList values;
                for (const int value : ::configurationsWithModem(descriptors))
                    values << QString::number(value);
                return values.join(' ');
            },
            {
                { "cut short in its interface", device + configuration(2, '\x02').left(14), "" },
                { "a total shorter than its own descriptor",
                  device + configuration(1, '\x06', 4) + configuration(2, '\x02'), "" },
                // The first's walk ends there; the second stands where its total says.
                { "a descriptor of no length inside the first",
                  device + configuration(1, '\x02').left(9) + QByteArray(9, '\0')
                      + configuration(2, '\x02'),
                  "2" },
            });
    }

    // The group dialout (20) may read and write the device unless told otherwise.
    void permissionAdvice()
    {
        checkCases<Refusal, QString>(
            [](const Refusal &r) {
                const OpenFailure advice = ::permissionAdvice(
                    r.group, r.mode, { "ada", r.primaryGroup, r.session, r.account }, r.name);
                using enum OpenFailure::Reason;
                return advice.reason == NotInGroup       ? "join " + advice.group
                    : advice.reason == GroupNotInSession ? "log in again to " + advice.group
                    : advice.reason == PermissionDenied  ? QStringLiteral("none")
                                                         : QStringLiteral("?");
            },
            {
                { "not in the group", {}, "join dialout" },
                { "in the group by the user database",
                  { .account = { 1000, 20 } },
                  "log in again to dialout" },
                { "the user's own group", { .primaryGroup = 20 }, "log in again to dialout" },
                { "in the group in this session, still refused",
                  { .session = { 1000, 20 } },
                  "none" },
                { "the group may not write", { .mode = 0640 }, "none" },
                { "root's group", { .group = 0 }, "none" },
                { "a group the user database does not name", { .name = "" }, "none" },
            });
    }

    // A file longer than a read of the system's gives at once is read whole, up to the limit
    // asked for (a busy server's /proc/locks runs past 4 KiB).
    void longFilesReadWhole()
    {
        QTemporaryDir folder;
        QByteArray content;
        for (int line = 0; content.size() < 10000; ++line)
            content += QByteArray::number(line) + '\n';
        QVERIFY(writeFile(folder.filePath("long"), content));
        QCOMPARE(readSmallFile(folder.filePath("long"), 1 << 20), content);
        QCOMPARE(readSmallFile(folder.filePath("long"), 6000), content.left(6000));
    }

    // Things any user can put under a lock's name: only a regular file is read, and nothing
    // blocks, follows a link or opens what it is not to read (opening a serial device raises its
    // modem lines), as the opens inotify reports of what was made tell.
    void readLockFile()
    {
        QTemporaryDir folder;
        int made = 0;
        const int opens = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        checkCases<Make, QByteArray>(
            [&](const Make &make) {
                const QString path = folder.filePath(QString::number(++made));
                struct stat info = {};
                if (make(path.toLocal8Bit()) != 0)
                    return QByteArray("(not made)");
                const int watch = ::inotify_add_watch(opens, path.toLocal8Bit(), IN_OPEN);
                const std::optional<QByteArray> content = ::readLockFile(path, &info);
                char events[4096];
                const bool opened = ::read(opens, events, sizeof events) > 0;
                ::inotify_rm_watch(opens, watch);
                while (::read(opens, events, sizeof events) > 0) { } // the watch's own end
                return content.value_or(opened ? "(opened)" : "(not read)");
            },
            {
                { "a regular file",
                  [](const QByteArray &path) { return writeFile(path, "4242\n") ? 0 : -1; },
                  "4242\n" },
                { "a FIFO", [](const QByteArray &path) { return ::mkfifo(path, 0644); },
                  "(not read)" },
                { "a link to a file",
                  [](const QByteArray &path) {
                      return int(!writeFile(path + "f", "4242\n")) | ::symlink(path + "f", path);
                  },
                  "(not read)" },
                { "a folder", [](const QByteArray &path) { return ::mkdir(path, 0755); },
                  "(not read)" },
                { "a device",
                  [](const QByteArray &path) {
                      return geteuid() == 0 ? ::mknod(path, S_IFCHR | 0644, makedev(1, 3))
                                            : ::symlink("/dev/null", path);
                  },
                  "(not read)" },
            });
        ::close(opens);
    }
};

QTEST_GUILESS_MAIN(TestSystemFormats)
#include "tst_system_formats.moc"
