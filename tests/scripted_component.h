#pragma once

#include "terminal/serial_component.h"

#include <QHash>
#include <QStringList>

#include <functional>
#include <utility>

// A stand-in for the serial component with no port behind it, for what a pseudo-terminal cannot
// produce: a terminal that stops responding, open failures of every kind, replies delivered in
// chosen pieces. Deliveries reach the program on its next event pump, as a real port's would.
class ScriptedComponent : public SerialComponent
{
public:
    using Script = std::function<void(ScriptedComponent &, const QString &command)>;

    explicit ScriptedComponent(QStringList ports = {}, QObject *parent = nullptr);

    PortList listPorts() const override;
    void setPortOpen(bool open) override;
    bool isPortOpen() const override { return m_open; }
    void send(const QString &command) override;
    QString takeReceived() override { return std::exchange(m_pending, QString()); }

    // Runs for every command sent on an open port.
    void setScript(Script script) { m_script = std::move(script); }
    // Opening this port fails so.
    void failOpen(const QString &port, const OpenFailure &failure) { m_failures[port] = failure; }

    // Text arriving from the terminal.
    void deliver(const QString &text);
    void raiseStatus(qint32 status);
    // The device goes away: the open flag drops.
    void dropPort() { m_open = false; }

    QStringList sent;
    // Listed as Bluetooth ports bound but not connected.
    QStringList unconnectedBluetooth;

private:
    QStringList m_ports;
    bool m_open = false;
    QString m_pending;
    Script m_script;
    QHash<QString, OpenFailure> m_failures;
};
