#include "frmInviaRicevi.h"

#include "activity_log.h"
#include "terminal/command_exchange.h"
#include "terminal/serial_component.h"

#include <QListWidget>
#include <QVBoxLayout>

frmInviaRicevi::frmInviaRicevi(const QString &logFolder, SerialComponent *component,
                               QWidget *parent)
    : QWidget(parent)
    , listLog(new QListWidget(this))
    , comSMS(component ? component : new SerialComponent(this))
    , m_log(new ActivityLog(logFolder, listLog, this))
    , m_exchange(new CommandExchange(*comSMS, *m_log, this))
{
    if (!comSMS->parent())
        comSMS->setParent(this);
    setWindowTitle(QStringLiteral("Quorvane"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(listLog);
}

frmInviaRicevi::~frmInviaRicevi() = default;
