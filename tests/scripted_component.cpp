#include "scripted_component.h"

#include <QTimer>

ScriptedComponent::ScriptedComponent(QStringList ports, QObject *parent)
    : SerialComponent(PortSource(), parent)
    , m_ports(std::move(ports))
{
}

PortList ScriptedComponent::listPorts() const
{
    PortList ports(m_ports);
    ports.unconnectedBluetooth = unconnectedBluetooth;
    return ports;
}

void ScriptedComponent::setPortOpen(bool open)
{
    if (!open) {
        m_open = false;
        return;
    }
    const auto failure = m_openFailures.constFind(selectedPort());
    if (failure != m_openFailures.constEnd()) {
        m_open = false;
        setOpenFailure(*failure);
        return;
    }
    setOpenFailure(OpenFailure());
    m_open = true;
    opened << selectedPort();
}

void ScriptedComponent::send(const QString &command)
{
    sent << command;
    if (m_open && m_script)
        m_script(*this, command);
}

QString ScriptedComponent::takeReceived()
{
    return std::exchange(m_pending, QString());
}

void ScriptedComponent::failOpen(const QString &port, const OpenFailure &failure)
{
    m_openFailures.insert(port, failure);
}

void ScriptedComponent::deliver(const QString &text)
{
    QTimer::singleShot(0, this, [this, text] {
        m_pending += text;
        Q_EMIT ComponentDataEvent();
    });
}

void ScriptedComponent::raiseStatus(qint32 status)
{
    QTimer::singleShot(0, this, [this, status] { setStatus(status); });
}
