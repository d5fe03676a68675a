#pragma once

#include <QList>
#include <QString>

#include <memory>
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

// ModemManager as a scan sees it: asked once as the scan starts, its answer serves every port of
// the scan (a slow ModemManager costs one wait, not one a port); outside a scan every question is
// asked afresh (a modem lent with mmcli meanwhile is free then). The component owns one: the scan
// starts and ends its scans, and the guard reads the answer before it lets a port be opened.
class ModemManagerView
{
public:
    ModemManagerView();
    ~ModemManagerView();
    ModemManagerView(const ModemManagerView &) = delete;
    ModemManagerView &operator=(const ModemManagerView &) = delete;

    void beginScan();
    void endScan();
    // The scan's answer; outside a scan, a fresh one.
    const ModemManagerAnswer &answer();
    // Whether the scan's question got no answer in time.
    bool isSilent() const;

private:
    struct Question;

    // Asks ModemManager on the system bus, on a thread of the question's own (connecting, the call
    // and closing may each wait on the bus daemon), and serves events while it waits for the
    // answer, five seconds at the most: the window keeps responding, and Ctrl-C is served. While
    // an earlier question is still stuck on a stalled bus, ModemManager gives no answer at once.
    // Where there is no system bus (other platforms) it cannot be asked.
    ModemManagerAnswer ask();

    bool m_scanning = false;
    ModemManagerAnswer m_answer;
    std::shared_ptr<Question> m_question; // the last one asked
};
