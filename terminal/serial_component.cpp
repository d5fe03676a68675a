#include "serial_component.h"

#include "port_guard.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QScopeGuard>
#include <QSerialPort>
#include <QSerialPortInfo>

#include <cerrno>

Q_LOGGING_CATEGORY(lcSerial, "quorvane.serial", QtWarningMsg)

namespace {

// Why Qt could not open a port the guard let through.
OpenFailure failureOfQt(QSerialPort::SerialPortError error, const QString &text, int openErrno)
{
    OpenFailure failure;
    failure.systemText = text;
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        failure.reason = OpenFailure::Reason::NotFound;
        break;
    case QSerialPort::PermissionError:
        // Qt reports as permission errors also a device another process holds exclusively
        // (EBUSY) and a lock file another program holds; neither is cured by permissions.
        failure.reason = openErrno == EBUSY
                || text.contains(QLatin1String("locking the device"), Qt::CaseInsensitive)
            ? OpenFailure::Reason::InUse
            : OpenFailure::Reason::PermissionDenied;
        break;
    case QSerialPort::OpenError:
        failure.reason = OpenFailure::Reason::InUse;
        break;
    case QSerialPort::UnsupportedOperationError:
        failure.reason = OpenFailure::Reason::NotASerialPort;
        break;
    case QSerialPort::ResourceError:
        failure.reason = OpenFailure::Reason::InputOutput;
        break;
    default:
        failure.reason = OpenFailure::Reason::Other;
        break;
    }
    return failure;
}

QSerialPort::FlowControl flowControlFor(qint32 mode)
{
    switch (mode) {
    case 1:
        return QSerialPort::HardwareControl;
    case 2:
        return QSerialPort::SoftwareControl;
    default:
        return QSerialPort::NoFlowControl;
    }
}

} // namespace

QString SerialComponent::devicePath(const QString &name)
{
    return name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1String("./"))
            || name.startsWith(QLatin1String("../"))
        ? name
        : QStringLiteral("/dev/") + name;
}

SerialComponent::SerialComponent(QObject *parent)
    : SerialComponent(PortSource(), parent)
{
#if defined(QUORVANE_LINUX_PORT_GUARD)
    // Qt's own listing opens every 8250 port to ask its type: a pulse on its modem lines, and an
    // open of the console among them. sysfs tells the same without opening any.
    m_portSource = [this] { return listSerialPorts(m_systemRoot); };
#else
    m_portSource = [] {
        PortList ports;
        const auto infos = QSerialPortInfo::availablePorts();
        for (const QSerialPortInfo &info : infos)
            ports.names << info.portName();
        return ports;
    };
#endif
}

SerialComponent::SerialComponent(PortSource ports, QObject *parent)
    : SerialComponent(std::move(ports), std::make_unique<PortGuard>(), parent)
{
}

SerialComponent::SerialComponent(PortSource ports, std::unique_ptr<PortGuard> guard,
                                 QObject *parent)
    : QObject(parent)
    , m_portSource(std::move(ports))
    , m_port(std::make_unique<QSerialPort>())
    , m_guard(std::move(guard))
{
    m_guard->setModemManager(&m_modemManager);
    m_writeTimer.setSingleShot(true);
    connect(m_port.get(), &QSerialPort::readyRead, this, &SerialComponent::ComponentDataEvent);
    connect(m_port.get(), &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError error) { onPortError(error); });
    connect(m_port.get(), &QSerialPort::bytesWritten, this, &SerialComponent::onBytesWritten);
    connect(&m_writeTimer, &QTimer::timeout, this, &SerialComponent::onWriteTimedOut);
}

SerialComponent::~SerialComponent()
{
    // Closing releases the port's lock file and gives the line back as it was found.
    closePort();
}

PortList SerialComponent::listPorts() const
{
    return m_portSource ? m_portSource() : PortList();
}

bool SerialComponent::isPortOpen() const
{
    return m_port->isOpen() && !m_failed;
}

void SerialComponent::setPortOpen(bool open)
{
    m_writeTimer.stop();
    closePort();
    m_failed = false;
    if (!open)
        return;

    m_openFailure = OpenFailure();
    m_port->setPortName(m_portName);
    const OpenFailure refused = m_guard->claim(devicePath(m_portName));
    // What the guard passed over on the way is told whatever the open comes to.
    const auto passedOver = qScopeGuard([this, &refused] {
        m_openFailure.unbelievedLock = refused.unbelievedLock;
        m_openFailure.unbelievedLockOwner = refused.unbelievedLockOwner;
        m_openFailure.strandedLock = refused.strandedLock;
    });
    if (refused.reason != OpenFailure::Reason::None) {
        refuseOpen(refused);
        return;
    }
    // Qt keeps a lock file of its own under the port's name, and yields to any file it finds
    // there. One passed over, that anybody could have written, is left standing for other
    // programs; Qt's own goes under another spelling of the device's path ("/dev//ttyUSB0").
    const QString device = QFileInfo(devicePath(m_portName)).canonicalFilePath();
    if (!refused.unbelievedLock.isEmpty() && device.startsWith(QLatin1String("/dev/")))
        m_port->setPortName(QStringLiteral("/dev/") + device.mid(4));
    applyLineSettings();
    m_opening = true;
    errno = 0;
    const bool opened = m_port->open(QIODevice::ReadWrite);
    const int openErrno = errno;
    m_opening = false;
    if (!opened) {
        m_guard->abandon();
        refuseOpen(failureOfQt(m_port->error(), m_port->errorString(), openErrno));
        m_port->clearError();
        return;
    }
    const OpenFailure taken = m_guard->confirm(qintptr(m_port->handle()));
    if (taken.reason != OpenFailure::Reason::None) {
        closePort(); // not a byte was written
        refuseOpen(taken);
        return;
    }
    // Settings may only take on an open port on some platforms; write them again. Whatever the
    // line held from before this open is no reply to anything the program will send.
    applyLineSettings();
    m_port->clear(QSerialPort::Input);
    m_status = StatusOk;
}

// Unsent output is dropped first: the last close of a port waits until its output is sent, up
// to the driver's closing wait (30 s by default), and a device that does not read would hold the
// window that long.
void SerialComponent::closePort()
{
    if (!m_port->isOpen())
        return;
    m_closing = true;
    m_port->clear(QSerialPort::Output);
    m_port->close();
    m_closing = false;
}

void SerialComponent::refuseOpen(const OpenFailure &failure)
{
    qCDebug(lcSerial) << "not opened" << m_portName << int(failure.reason) << failure.systemText;
    m_openFailure = failure;
}

void SerialComponent::setSystemRoot(const QString &root)
{
    m_systemRoot = root;
    m_guard->setSystemRoot(root);
}

void SerialComponent::applyLineSettings()
{
    m_port->setBaudRate(DefaultBaudRate);
    m_port->setDataBits(QSerialPort::Data8);
    m_port->setParity(QSerialPort::NoParity);
    m_port->setStopBits(QSerialPort::OneStop);
    m_port->setFlowControl(flowControlFor(m_handshaking));
    m_port->setReadBufferSize(m_readBufferLimit);
}

void SerialComponent::send(const QString &command)
{
    if (!isPortOpen()) {
        qCDebug(lcSerial) << "send on a closed port dropped:" << command;
        return;
    }
    const QByteArray line = command.toLatin1() + '\r';
    if (m_port->write(line) != line.size()) {
        // The error signal has already closed the port if the device failed.
        qCDebug(lcSerial) << "write failed" << m_port->errorString();
        return;
    }
    if (m_writeTimeout > 0 && m_port->bytesToWrite() > 0)
        m_writeTimer.start(m_writeTimeout);
}

QString SerialComponent::takeReceived()
{
    QByteArray bytes = m_port->isOpen() ? m_port->readAll() : QByteArray();
    if (m_discardNulls)
        bytes.replace('\0', QByteArray());
    return QString::fromLatin1(bytes);
}

void SerialComponent::setReadBufferLimit(qint32 bytes)
{
    m_readBufferLimit = qMax(0, bytes);
    m_port->setReadBufferSize(m_readBufferLimit);
}

void SerialComponent::setWriteTimeout(qint32 milliseconds)
{
    m_writeTimeout = qMax(0, milliseconds);
}

void SerialComponent::setHandshaking(qint32 mode)
{
    m_handshaking = mode;
    if (m_port->isOpen())
        m_port->setFlowControl(flowControlFor(mode));
}

void SerialComponent::setNullDiscard(qint32 discard)
{
    m_discardNulls = discard != 0;
}

void SerialComponent::setStatus(qint32 status)
{
    m_status = status;
    Q_EMIT ComponentStatusEvent();
}

void SerialComponent::onPortError(int error)
{
    // Opening reports its own errors through open()'s result, and Qt also signals "no error"
    // while opening; neither is a failure of an open port, nor is what closing meets. Once failed,
    // the port keeps reporting the same fault on every turn of the event loop: report it once.
    if (m_opening || m_closing || m_failed || error == QSerialPort::NoError || !m_port->isOpen())
        return;
    qCDebug(lcSerial) << "port failed" << m_portName << error << m_port->errorString();
    m_failed = true;
    m_writeTimer.stop();
    // The port object is still inside its own notification: close it from the event loop.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_failed)
                closePort();
        },
        Qt::QueuedConnection);
    setStatus(StatusNotResponding);
}

void SerialComponent::onBytesWritten()
{
    if (m_port->bytesToWrite() == 0)
        m_writeTimer.stop();
}

void SerialComponent::onWriteTimedOut()
{
    if (!m_port->isOpen() || m_port->bytesToWrite() == 0)
        return;
    // Drop what could not be written, so a stale command cannot reach the terminal later.
    m_port->clear(QSerialPort::Output);
    setStatus(StatusNotResponding);
}

void writeStartupSettings(SerialComponent &component)
{
    component.setReadBufferLimit(0);
    component.setWriteTimeout(1000);
    component.setHandshaking(0);
    component.setNullDiscard(0);
}
