#include "frmInviaRicevi.h"

#include "activity_log.h"
#include "common/Globali.h"
#include "common/termination_signals.h"
#include "terminal/command_exchange.h"
#include "terminal/log_text.h"
#include "terminal/port_scan.h"
#include "terminal/serial_component.h"

#include <QAction>
#include <QBoxLayout>
#include <QClipboard>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>

#include <cstdio>
#include <cstdlib>

namespace {

// At the first size these keep the list where it always was (8,8, 417 x 316), and the buttons'
// row, size (97 x 25) and gap (47).
constexpr QMargins WindowMargins { 8, 8, 10, 8 };
constexpr int ListToButtons = 12;
constexpr QSize ButtonSize { 97, 25 };
constexpr int ButtonGap = 47;

// The path a "Percorso stabile" line gives, or nothing for any other line. The message follows
// the timestamp and the first " - ".
QString stablePathOf(const QString &line)
{
    const QLatin1String separator(" - "), label("Percorso stabile: ");
    const qsizetype at = line.indexOf(separator);
    const QStringView message =
        at < 0 ? QStringView() : QStringView(line).sliced(at + separator.size());
    return message.startsWith(label) ? message.sliced(label.size()).toString() : QString();
}

void endProcessNow()
{
    std::fflush(nullptr);
    // Nothing more may run, not even the rest of a check this was called from: every log line
    // is already complete in its file, and the port is closed.
    std::_Exit(EXIT_SUCCESS);
}

} // namespace

frmInviaRicevi::frmInviaRicevi(const QString &logFolder, SerialComponent *component,
                               QWidget *parent)
    : QWidget(parent)
    , m_endProgram(endProcessNow)
{
    Form_Initialize();
    buildControls();
    comSMS = component ? component : new SerialComponent(this);
    if (!comSMS->parent())
        comSMS->setParent(this);
    m_log = new ActivityLog(logFolder, listLog, this);
    m_exchange = new CommandExchange(*comSMS, *m_log, this);
    m_scan = new PortScan(*comSMS, *m_exchange, *m_log, this);

    connect(Timer1, &QTimer::timeout, this, &frmInviaRicevi::Timer1_Timer);
    connect(Command1, &QPushButton::clicked, this, &frmInviaRicevi::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &frmInviaRicevi::Command2_Click);
    // A logout (SIGTERM), or Ctrl-C where the program was started, ends it as "Uscita" does.
    connect(new TerminationSignals(this), &TerminationSignals::received, this, &QWidget::close);
    connect(m_copyAction, &QAction::triggered, this, [this] { copyLines(linesOfList(true)); });
    connect(listLog, &QListWidget::customContextMenuRequested, this, &frmInviaRicevi::showLogMenu);

    Form_Load();
}

frmInviaRicevi::~frmInviaRicevi() = default;

void frmInviaRicevi::Form_Initialize()
{
    // The original loaded the system's common controls here; Qt's widgets need no such step.
}

void frmInviaRicevi::buildControls()
{
    setWindowTitle(QStringLiteral("Quorvane"));
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/quorvane-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/icons/quorvane-32.png"), QSize(32, 32));
    // Smooth sizes for high-density screens and task switchers.
    for (const int size : { 48, 64, 128, 256 })
        icon.addFile(QStringLiteral(":/icons/quorvane-%1.png").arg(size), QSize(size, size));
    setWindowIcon(icon);
    setMinimumSize(ClientSize);
    resize(ClientSize);
    move(StoredPosition);

    listLog = new QListWidget(this);
    listLog->setObjectName(QStringLiteral("listLog"));
    QFont listFont(QStringLiteral("Verdana"));
    listFont.setPointSizeF(8.25);
    listLog->setFont(listFont);
    listLog->setSortingEnabled(false);
    // Every line whole at any width: a long line (a device, a stable path) wraps instead of
    // hiding its end behind a horizontal scroll bar.
    listLog->setWordWrap(true);
    listLog->setTextElideMode(Qt::ElideNone);
    listLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    listLog->setResizeMode(QListView::Adjust);
    listLog->setSelectionMode(QAbstractItemView::ExtendedSelection);
    listLog->setContextMenuPolicy(Qt::CustomContextMenu);
    // On its own the list would copy only its current line, timestamp and all.
    m_copyAction = new QAction(QStringLiteral("Copia"), listLog);
    m_copyAction->setShortcut(QKeySequence::Copy);
    m_copyAction->setShortcutContext(Qt::WidgetShortcut);
    listLog->addAction(m_copyAction);

    QFont buttonFont(QStringLiteral("Verdana"));
    buttonFont.setPointSizeF(9.75);
    Command1 = new QPushButton(QStringLiteral("Verifica"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setFixedSize(ButtonSize);
    Command1->setFont(buttonFont);
    Command1->setEnabled(false);
    Command2 = new QPushButton(QStringLiteral("Uscita"), this);
    Command2->setObjectName(QStringLiteral("Command2"));
    Command2->setFixedSize(ButtonSize);
    Command2->setFont(buttonFont);

    // The list takes all the room the window gains; the buttons stay centred below it.
    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(ButtonGap);
    buttons->addStretch();
    buttons->addWidget(Command1);
    buttons->addWidget(Command2);
    buttons->addStretch();
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(WindowMargins);
    layout->setSpacing(ListToButtons);
    layout->addWidget(listLog, 1);
    layout->addLayout(buttons);

    setTabOrder(listLog, Command1);
    setTabOrder(Command1, Command2);
    listLog->setFocus();

    Timer1 = new QTimer(this);
    Timer1->setInterval(CheckDelayMs);
    // A coarse timer may fire up to 5% early; the check is due three seconds after arming.
    Timer1->setTimerType(Qt::PreciseTimer);
}

void frmInviaRicevi::Form_Load()
{
    Globali::pumpEvents();
    writeStartupSettings(*comSMS);
    m_log->AddLog(QStringLiteral("Verifica presenza terminali compatibili"));
    Timer1->start();
}

void frmInviaRicevi::Timer1_Timer()
{
    Globali::pumpEvents();
    // One check for each time the timer is switched on.
    Timer1->stop();
    if (m_scan->CercaCell() == 0) {
        logNotFoundAdvice(*m_log);
        Globali::Attendi(3);
    }
    Command1->setEnabled(true);
}

void frmInviaRicevi::Command1_Click()
{
    Command1->setEnabled(false);
    Timer1->start();
    m_log->AddLog(QString());
    m_log->AddLog(QStringLiteral("Nuova verifica..."));
}

void frmInviaRicevi::Command2_Click()
{
    endProgram();
}

void frmInviaRicevi::Form_Unload()
{
    endProgram();
}

void frmInviaRicevi::closeEvent(QCloseEvent *event)
{
    Form_Unload();
    event->accept();
}

QStringList frmInviaRicevi::linesOfList(bool onlySelected) const
{
    QStringList lines;
    for (int row = 0; row < listLog->count(); ++row) {
        const QListWidgetItem *item = listLog->item(row);
        if (!onlySelected || item->isSelected())
            lines << item->text();
    }
    return lines;
}

void frmInviaRicevi::copyLines(const QStringList &lines)
{
    // With nothing selected the clipboard keeps what it had.
    if (!lines.isEmpty())
        QGuiApplication::clipboard()->setText(lines.join(QLatin1Char('\n')));
}

void frmInviaRicevi::showLogMenu(const QPoint &position)
{
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    // The lines selected as the menu opens: a check going on may select its next line meanwhile.
    QAction *copy = menu->addAction(QStringLiteral("Copia"), this,
                                    [this, lines = linesOfList(true)] { copyLines(lines); });
    copy->setShortcut(QKeySequence::Copy); // shown beside it, as Ctrl+C on the list does the same
    menu->addAction(QStringLiteral("Copia tutto"), this, [this] { copyLines(linesOfList(false)); });
    const QListWidgetItem *item = listLog->itemAt(position);
    const QString path = item ? stablePathOf(item->text()) : QString();
    if (!path.isEmpty())
        menu->addAction(QStringLiteral("Copia percorso"), this,
                        [path] { QGuiApplication::clipboard()->setText(path); });
    menu->popup(listLog->viewport()->mapToGlobal(position));
}

void frmInviaRicevi::endProgram()
{
    Timer1->stop();
    // Closing the port releases its lock file, so the next program finds the port free.
    comSMS->setPortOpen(false);
    if (m_endProgram)
        m_endProgram();
}
