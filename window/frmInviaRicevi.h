#pragma once

#include <QWidget>

class ActivityLog;
class CommandExchange;
class QListWidget;
class SerialComponent;

// The program's only window: the log list, and the serial component that the checks run on.
class frmInviaRicevi : public QWidget
{
    Q_OBJECT

public:
    explicit frmInviaRicevi(const QString &logFolder, SerialComponent *component = nullptr,
                            QWidget *parent = nullptr);
    ~frmInviaRicevi() override;

    ActivityLog &log() { return *m_log; }

    QListWidget *listLog = nullptr;
    SerialComponent *comSMS = nullptr;

private:
    ActivityLog *m_log = nullptr;
    CommandExchange *m_exchange = nullptr;
};
