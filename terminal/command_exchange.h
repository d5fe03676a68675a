#pragma once

#include <QObject>
#include <QString>

#include <chrono>

class LogSink;
class SerialComponent;

// Returns the reply text made fit for one log line: "*", "#", CR and LF become "|", and an
// apostrophe becomes a grave accent. `stringa` gets the same replacements.
QString PulisciSTR(QString &stringa);

// `text` upper-cased one character for one, so that positions in it are positions in `text`.
QString upperCased(QStringView text);

// One AT command and its reply at a time, over the serial component. The reply arrives through
// the component's data event; the outcome is left in the probe state for the caller to read.
class CommandExchange : public QObject
{
    Q_OBJECT

public:
    // Turns of the wait loop before an exchange counts as failed, and the distance between two
    // checks that the reply is still growing.
    static constexpr qint64 PollBudget = 200000;
    // Each turn lasts at least this long, so that a budget of turns gives a slow terminal time
    // to answer (a checkpoint comes no sooner than about one second) on any machine.
    static constexpr std::chrono::nanoseconds MinimumTurn = std::chrono::microseconds(5);
    // A reply still growing at this checkpoint ends the exchange all the same: a GPS receiver
    // or a board that prints readings never stops talking.
    static constexpr qint64 LastCheckpoint = 3;
    // The most of a reply that is kept; more ends the exchange. The longest answers of a GSM
    // terminal are far shorter, and a device that floods at USB speed cannot grow the buffer.
    static constexpr qsizetype ReplyLimit = 4096;

    CommandExchange(SerialComponent &component, LogSink &log, QObject *parent = nullptr);

    // Sends `Comando` (nothing is added to it but the component's line end) and waits, pumping
    // events, until the reply completes, fails or stops growing.
    void EseguiCMD(const QString &Comando);

    // The budget of turns, PollBudget unless a test shortens it to play a stream in less time:
    // the checkpoints come sooner, the rules stay the same.
    void setPollBudget(qint64 turns) { m_pollBudget = turns; }

    // Turns the last exchange's wait loop ran.
    qint64 lastPollCount() const { return m_lastPollCount; }
    // Whether text kept coming until the exchange's limits ended it (the last checkpoint, or more
    // text than a reply may hold), with neither "OK" nor a failure keyword in it.
    bool replyNeverEnded() const { return m_replyNeverEnded; }

    // The probe state, shared with the port scan.
    QString Risposta;
    bool RispostaOK = false;
    bool RispostaErrore = false;
    bool SenzaAttesa = false;
    bool InRicerca = false;

private:
    void onComponentData();
    void onComponentStatus();
    // The keyword tests of one turn, on the text that arrived since the last turn (with enough
    // of the text before it to catch a keyword split across two arrivals).
    void testNewReplyText();

    SerialComponent &m_component;
    LogSink &m_log;
    qsizetype m_testedLength = 0;
    qint64 m_pollBudget = PollBudget;
    qint64 m_lastPollCount = 0;
    bool m_replyNeverEnded = false;
};
