#include "simulated_modem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <ctime>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

const QString UsbDevice = QStringLiteral("devices/pci0000:00/0000:00:14.0/usb1/1-2");

// ModemManager's udev tags for each interface of the EC25.
const char *const PortTags[] = { "ID_MM_PORT_TYPE_QCDM", "ID_MM_PORT_TYPE_GPS",
                                 "ID_MM_PORT_TYPE_AT_PRIMARY", "ID_MM_PORT_TYPE_AT_SECONDARY" };

bool write(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

bool link(const QString &path, const QString &target)
{
    QDir().mkpath(QFileInfo(path).path());
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(path).constData())
        == 0;
}

} // namespace

SimulatedModem::SimulatedModem(bool typed)
{
    const QString sys = m_root.filePath(QStringLiteral("sys/"));
    bool valid = m_root.isValid() && write(sys + UsbDevice + "/idVendor", "2c7c\n")
        && write(sys + UsbDevice + "/idProduct", "0125\n")
        && write(sys + UsbDevice + "/manufacturer", "Quectel\n")
        && write(sys + UsbDevice + "/product", "EC25\n")
        && write(sys + UsbDevice + "/serial", "0123456789ABCDEF\n");
    // Plugged in a minute ago, by the clock udev counts in.
    timespec now = {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const QByteArray initialised = QByteArray::number(qint64(now.tv_sec - 60) * 1000000);
    for (int interface = 0; interface < int(m_ports.size()); ++interface) {
        m_ports[interface].setManufacturer(QStringLiteral("Quectel"));
        struct stat node = {};
        ::stat(QFile::encodeName(m_ports[interface].portPath()).constData(), &node);
        const QString number = QString::number(interface);
        const QString entry =
            QStringLiteral("%1/1-2:1.%2/ttyUSB%2/tty/ttyUSB%2").arg(UsbDevice, number);
        const QString device =
            QStringLiteral("%1:%2").arg(major(node.st_rdev)).arg(minor(node.st_rdev));
        const QByteArray record =
            "I:" + initialised + "\nE:ID_MM_CANDIDATE=1\nE:" + PortTags[interface] + "=1\n";
        valid = valid && m_ports[interface].isValid()
            && write(QStringLiteral("%1%2/1-2:1.%3/bInterfaceNumber").arg(sys, UsbDevice, number),
                     "0" + number.toLatin1() + "\n")
            && link(sys + entry + "/device", QStringLiteral("../.."))
            && link(sys + "dev/char/" + device, "../../" + entry)
            && link(m_root.filePath(stablePath(interface).mid(1)), "../../" + portName(interface))
            && (!typed || write(m_root.filePath("run/udev/data/c" + device), record));
    }
    m_ports[Diagnostic].setSilent(true);
    m_ports[Gps].setSilent(true);
    m_ports[Gps].sendEvery(std::chrono::seconds(1),
                           "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n");
    m_valid = valid;
}

QStringList SimulatedModem::portPaths() const
{
    QStringList paths;
    for (const SimulatedTerminal &port : m_ports)
        paths << port.portPath();
    return paths;
}

QString SimulatedModem::stablePath(int interface)
{
    return QStringLiteral("/dev/serial/by-id/usb-Quectel_EC25_0123456789ABCDEF-if0%1-port0")
        .arg(interface);
}
