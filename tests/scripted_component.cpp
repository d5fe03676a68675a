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
    if (open)
        setOpenFailure(m_failures.value(selectedPort()));
    m_open = open && openFailure().reason == OpenFailure::Reason::None;
}

void ScriptedComponent::send(const QString &command)
{
    sent << command;
    if (m_open && m_script)
        m_script(*this, command);
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
