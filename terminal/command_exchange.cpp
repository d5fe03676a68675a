#include "command_exchange.h"

#include "common/Globali.h"
#include "common/log_sink.h"
#include "log_text.h"
#include "serial_component.h"

#include <QStringView>

namespace {

const QString Ok = QStringLiteral("OK");
const QString FailureKeywords[] = { QStringLiteral("BUSY"), QStringLiteral("NO CARRIER"),
                                    QStringLiteral("ERROR") };
// A keyword can straddle the old and the new text by at most its length less one.
constexpr qsizetype KeywordOverlap = 9; // "NO CARRIER" is the longest

void spinUntil(std::chrono::steady_clock::time_point end)
{
    while (std::chrono::steady_clock::now() < end) { }
}

} // namespace

QString upperCased(QStringView text)
{
    QString upper(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        upper[i] = text.at(i).toUpper();
    return upper;
}

QString PulisciSTR(QString &stringa)
{
    const qsizetype length = stringa.size();
    QString cleaned;
    cleaned.reserve(length);
    for (qsizetype i = 0; i < length; ++i) {
        const QChar c = stringa.at(i);
        switch (c.unicode()) {
        case '*':
        case '#':
        case '\r':
        case '\n':
            cleaned.append(QLatin1Char('|'));
            break;
        case '\'':
            cleaned.append(QLatin1Char('`'));
            break;
        default:
            cleaned.append(c);
            break;
        }
    }
    stringa = cleaned;
    return cleaned;
}

CommandExchange::CommandExchange(SerialComponent &component, LogSink &log, QObject *parent)
    : QObject(parent)
    , m_component(component)
    , m_log(log)
{
    connect(&m_component, &SerialComponent::ComponentDataEvent, this,
            &CommandExchange::onComponentData);
    connect(&m_component, &SerialComponent::ComponentStatusEvent, this,
            &CommandExchange::onComponentStatus);
}

void CommandExchange::EseguiCMD(const QString &Comando)
{
    using Clock = std::chrono::steady_clock;

    RispostaOK = false;
    RispostaErrore = false;
    Risposta.clear();
    m_replyNeverEnded = false;
    m_testedLength = 0;
    qint64 pollCount = 0;
    qsizetype checkpointLength = -1;

    m_component.send(Comando);

    while (m_component.isPortOpen() && !RispostaOK && !RispostaErrore) {
        const auto turnEnd = Clock::now() + MinimumTurn;
        // Both tests look at the reply as it stood before this turn's events.
        testNewReplyText();
        Globali::pumpEvents();
        if (SenzaAttesa)
            break;
        ++pollCount;
        if (pollCount % m_pollBudget == 0) {
            if (Risposta.size() == checkpointLength)
                RispostaErrore = true; // the reply stopped growing
            else if (pollCount >= LastCheckpoint * m_pollBudget)
                m_replyNeverEnded = RispostaErrore = true;
            else
                checkpointLength = Risposta.size();
        }
        spinUntil(turnEnd);
    }
    m_lastPollCount = pollCount;

    // A reply that needed a whole budget of turns counts as failed, even if "OK" came later.
    if (pollCount >= m_pollBudget)
        RispostaErrore = true;
    if (!Risposta.isEmpty())
        Risposta = PulisciSTR(Risposta);
    if (!m_component.isPortOpen())
        RispostaErrore = true;
}

void CommandExchange::testNewReplyText()
{
    // The reply only grows during an exchange, and a flag once set ends it, so testing just the
    // new text gives the same answer as testing the whole reply, at a cost that does not grow
    // with the reply: a flood of megabytes cannot slow the turns down.
    if (Risposta.size() < m_testedLength)
        m_testedLength = 0;
    const qsizetype from = qMax<qsizetype>(0, m_testedLength - KeywordOverlap);
    const QStringView fresh = QStringView(Risposta).sliced(from);
    m_testedLength = Risposta.size();
    if (fresh.isEmpty())
        return;
    if (fresh.contains(Ok))
        RispostaOK = true;
    const QString upper = upperCased(fresh);
    for (const QString &keyword : FailureKeywords) {
        if (upper.contains(keyword))
            RispostaErrore = true;
    }
}

void CommandExchange::onComponentData()
{
    Risposta += m_component.takeReceived();
    if (Risposta.size() > ReplyLimit) {
        Risposta.truncate(ReplyLimit);
        m_replyNeverEnded = RispostaErrore = true;
    }
}

void CommandExchange::onComponentStatus()
{
    if (m_component.status() != SerialComponent::StatusNotResponding)
        return;
    if (!InRicerca)
        m_log.AddLog(LogText::NotResponding);
    RispostaOK = false;
    RispostaErrore = true;
}
