// quorvane-check: the window's check, from a terminal and without a display.

#include "check/headless_check.h"
#include "window/activity_log.h"

#include <QCoreApplication>
#include <QStringList>

#include <chrono>
#include <cstdio>

namespace {

// A wait longer than a day is no wait for a device to come up.
constexpr int MostWaitSeconds = 24 * 3600;

const char Help[] =
    "Uso: quorvane-check [OPZIONI] [PORTA...]\n"
    "Cerca un terminale GSM (un telefono o un modem) sulle porte seriali, come la finestra di\n"
    "Quorvane, e scrive ogni passo sullo standard output e nel registro Quorvane.txt.\n"
    "\n"
    "  PORTA          una porta per nome (ttyUSB0) o percorso (/dev/serial/by-id/...);\n"
    "                 nessuna: tutte le porte del sistema\n"
    "  -h, --help     mostra questo aiuto\n"
    "  -v, --version  mostra la versione\n"
    "      --json     un documento JSON alla fine al posto delle righe\n"
    "      --wait SECONDI\n"
    "                 verifica di nuovo, quando una porta compare o cambia, finch\u00e9 un\n"
    "                 terminale risponde o passano SECONDI; le porte indicate che non ci\n"
    "                 sono ancora vengono attese\n"
    "\n"
    "Stato d'uscita: 0 terminale trovato, 1 nessun terminale trovato, 2 uso errato,\n"
    "3 nessun terminale trovato e almeno una porta non verificabile (permesso negato,\n"
    "in uso, console, ModemManager), 130, 143 o 129 verifica interrotta (Ctrl-C,\n"
    "SIGTERM, SIGHUP).\n";

// What the command line asks for, or why it is bad usage.
struct Request
{
    bool help = false;
    bool version = false;
    bool json = false;
    std::chrono::seconds wait { 0 };
    QStringList ports;
    QString error; // in the user's words, Italian as the rest of the program
};

Request parse(const QStringList &arguments)
{
    Request request;
    auto unknown = [&request](const QString &option) {
        request.error = QStringLiteral("opzione sconosciuta %1").arg(option);
    };
    // The seconds of --wait, a whole number from 1 to a day.
    auto setWait = [&request](const QString &value) {
        bool ok = false;
        const int seconds = value.toInt(&ok);
        if (!ok || seconds < 1 || seconds > MostWaitSeconds)
            request.error =
                QStringLiteral("--wait vuole un numero di secondi da 1 a %1, non \"%2\"")
                    .arg(MostWaitSeconds)
                    .arg(value);
        else
            request.wait = std::chrono::seconds(seconds);
    };
    bool options = true;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (!options || argument == QLatin1String("-") || !argument.startsWith(QLatin1Char('-'))) {
            request.ports << argument;
        } else if (argument == QLatin1String("--")) {
            options = false;
        } else if (argument == QLatin1String("--wait")) {
            if (i + 1 < arguments.size())
                setWait(arguments.at(++i));
            else
                request.error = QStringLiteral("--wait vuole un numero di secondi");
        } else if (argument.startsWith(QLatin1String("--wait="))) {
            setWait(argument.mid(7));
        } else if (argument.startsWith(QLatin1String("--"))) {
            const qsizetype equals = argument.indexOf(QLatin1Char('='));
            const QString name = argument.left(equals);
            bool *flag = name == QLatin1String("--help") ? &request.help
                : name == QLatin1String("--version")     ? &request.version
                : name == QLatin1String("--json")        ? &request.json
                                                         : nullptr;
            if (!flag)
                unknown(name);
            else if (equals >= 0)
                request.error = QStringLiteral("l'opzione %1 non accetta un valore").arg(name);
            else
                *flag = true;
        } else {
            // Short options, one or several in a word ("-hv").
            for (const QChar letter : QStringView(argument).sliced(1)) {
                if (letter == QLatin1Char('h'))
                    request.help = true;
                else if (letter == QLatin1Char('v'))
                    request.version = true;
                else
                    unknown(QStringLiteral("-") + letter);
            }
        }
        if (!request.error.isEmpty())
            break;
    }
    return request;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The log is Quorvane's, in the user's data folder the window program writes to.
    QCoreApplication::setApplicationName(QStringLiteral("Quorvane"));

    const Request request = parse(QCoreApplication::arguments().mid(1));
    if (!request.error.isEmpty()) {
        std::fprintf(stderr, "quorvane-check: %s (quorvane-check --help)\n",
                     qUtf8Printable(request.error));
        return CheckStatus::Usage;
    }
    if (request.help) {
        std::fputs(Help, stdout);
        return 0;
    }
    if (request.version) {
        std::printf("quorvane-check %s\n", QUORVANE_VERSION);
        return 0;
    }

    CheckOptions options;
    options.ports = request.ports;
    options.json = request.json;
    options.wait = request.wait;
    const QString programFolder = QCoreApplication::applicationDirPath();
    options.logFolder = ActivityLog::folderForProgram(programFolder);
    options.reportLogFile = options.logFolder != programFolder && !options.json;
    return runHeadlessCheck(options);
}
