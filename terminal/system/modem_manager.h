#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// What ModemManager says of its modems on the system bus, in one question that never starts it.
// A missing bus, a ModemManager that does not run, a bus that refuses the question (a strict
// policy, a sandbox): it cannot be asked, and no port is kept out for it (ModemManager holds the
// ports it uses in exclusive mode, which the other checks see). One that does not answer in time
// may be busy talking to the ports: they are all left alone then.
struct ModemManagerAnswer
{
    enum class State { CannotAsk, Listed, NoAnswer };
    struct Modem
    {
        QString device; // as `mmcli --inhibit-device` takes it
        QString manufacturer; // empty when the modem has not told
        QStringList ports; // below /dev (ttyUSB2)
    };

    State state = State::CannotAsk;
    QList<Modem> modems;
    // ModemManager's process, when it did not answer and the bus tells which it is.
    qint64 pid = 0;

    // The modem that owns the port, or null.
    const Modem *modemWithPort(const QString &portName) const;
};

ModemManagerAnswer askModemManager();
