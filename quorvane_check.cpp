// quorvane-check: the window's check, from a terminal and without a display.

#include "window/activity_log.h"
#include "window/headless_check.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

constexpr int ExitUsage = 2;

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
    "\n"
    "Stato d'uscita: 0 terminale trovato, 1 nessun terminale trovato, 2 uso errato,\n"
    "130 o 143 verifica interrotta (Ctrl-C, SIGTERM).\n";

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The log is Quorvane's, in the user's data folder the window program writes to.
    QCoreApplication::setApplicationName(QStringLiteral("Quorvane"));

    QCommandLineParser parser;
    const QCommandLineOption help({ QStringLiteral("h"), QStringLiteral("help") }, QString());
    const QCommandLineOption version({ QStringLiteral("v"), QStringLiteral("version") }, QString());
    const QCommandLineOption json(QStringLiteral("json"), QString());
    parser.addOptions({ help, version, json });
    if (!parser.parse(QCoreApplication::arguments())) {
        const QString option = parser.unknownOptionNames().value(0);
        if (option.isEmpty()) // a value given to an option that takes none
            std::fprintf(stderr, "quorvane-check: %s (quorvane-check --help)\n",
                         qUtf8Printable(parser.errorText()));
        else
            std::fprintf(stderr,
                         "quorvane-check: opzione sconosciuta %s%s (quorvane-check --help)\n",
                         option.size() == 1 ? "-" : "--", qUtf8Printable(option));
        return ExitUsage;
    }
    if (parser.isSet(help)) {
        std::fputs(Help, stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("quorvane-check %s\n", QUORVANE_VERSION);
        return 0;
    }

    CheckOptions options;
    options.ports = parser.positionalArguments();
    options.json = parser.isSet(json);
    const QString programFolder = QCoreApplication::applicationDirPath();
    options.logFolder = ActivityLog::folderForProgram(programFolder);
    options.reportLogFile = options.logFolder != programFolder && !options.json;
    return runHeadlessCheck(options);
}
