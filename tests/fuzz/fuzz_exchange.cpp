// The command exchange fed arbitrary replies in arbitrary pieces through a scripted component.
// Input: pieces, each a length byte and that many bytes of reply. After the last piece the
// device goes away, so every exchange ends within a few turns.
#include "scripted_component.h"
#include "terminal/command_exchange.h"
#include "window/activity_log.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

// A broken property is a crash, so that the fuzzer keeps the input that shows it.
#define FUZZ_CHECK(condition)                                                                      \
    ((condition)                                                                                   \
         ? void()                                                                                  \
         : (fprintf(stderr, "property failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__),      \
            abort()))

namespace {

QStringList piecesOf(const uint8_t *data, size_t size)
{
    QStringList pieces;
    size_t at = 0;
    while (at < size) {
        const size_t length = std::min<size_t>(data[at], size - at - 1);
        pieces << QString::fromLatin1(reinterpret_cast<const char *>(data + at + 1),
                                      qsizetype(length));
        at += 1 + length;
    }
    return pieces;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_exchange";
    static char *argv[] = { name, nullptr };
    static QCoreApplication app(argc, argv);
    static QTemporaryDir folder;
    static ActivityLog log(folder.path());

    const QStringList pieces = piecesOf(data, size);
    ScriptedComponent component({ QStringLiteral("COM1") });
    component.setScript([&pieces](ScriptedComponent &c, const QString &) {
        for (const QString &piece : pieces)
            c.deliver(piece);
        QTimer::singleShot(0, &c, [&c] { c.dropPort(); });
    });
    CommandExchange exchange(component, log);
    exchange.InRicerca = true;
    component.setPortOpen(true);
    exchange.EseguiCMD(QStringLiteral("at"));

    // An exchange always ends with an outcome.
    FUZZ_CHECK(exchange.RispostaOK || exchange.RispostaErrore);
    // The reply is the cleaned text of the pieces that had arrived by then, in order; past what
    // a reply may hold, the cleaned start of it.
    QString arrived;
    bool matched = exchange.Risposta.isEmpty();
    for (const QString &piece : pieces) {
        arrived += piece;
        QString copy = arrived.left(CommandExchange::ReplyLimit);
        if (PulisciSTR(copy) == exchange.Risposta) {
            matched = true;
            break;
        }
    }
    FUZZ_CHECK(matched);
    FUZZ_CHECK(!exchange.replyNeverEnded()
               || exchange.Risposta.size() == CommandExchange::ReplyLimit);
    // "OK" and the failure keywords are only ever seen where they are.
    if (exchange.RispostaOK)
        FUZZ_CHECK(arrived.contains(QLatin1String("OK")));
    static const QRegularExpression failure(QStringLiteral("BUSY|NO CARRIER|ERROR"),
                                            QRegularExpression::CaseInsensitiveOption);
    if (exchange.RispostaErrore && component.isPortOpen() && !exchange.replyNeverEnded())
        FUZZ_CHECK(arrived.contains(failure));
    // Spent single-shot timers delete themselves later; with no event loop running, "later"
    // must be said here or they pile up from run to run.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
