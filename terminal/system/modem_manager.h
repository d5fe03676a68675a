#pragma once

#include <QList>
#include <QString>

#include <utility>

// What ModemManager says of its modems on the system bus, in one question that never starts it.
// A missing bus, a ModemManager that does not run, a bus that refuses the question (a strict
// policy, a sandbox): it cannot be asked, and no port is kept out for it (ModemManager holds the
// ports it uses in exclusive mode, which the other checks see). One that does not answer in time
// may be busy talking to the ports: those it could use are all left alone then.
struct ModemManagerAnswer
{
    enum class State { CannotAsk, Listed, NoAnswer };
    // A port of a modem as ModemManager lists it: its name below /dev (ttyUSB2) and its type.
    struct Port
    {
        QString name;
        uint type = 0;
    };
    // ModemManager's port types (MMModemPortType) that a check tells apart.
    static constexpr uint AtPort = 3;
    static constexpr uint QcdmPort = 4;
    static constexpr uint GpsPort = 5;
    static constexpr uint AudioPort = 8;
    struct Modem
    {
        QString device; // as `mmcli --inhibit-device` takes it
        QString manufacturer; // empty when the modem has not told
        QString model;
        QList<Port> ports;
        QString primaryPort; // the AT port ModemManager talks to
    };

    State state = State::CannotAsk;
    QList<Modem> modems;

    // The modem that lists the port, and the port as it lists it; null when none does.
    std::pair<const Modem *, const Port *> find(const QString &portName) const;
};

// Asks ModemManager, serving events while it waits (the window keeps responding), for five
// seconds at the most.
ModemManagerAnswer askModemManager();
