#pragma once

#include <QTimer>
#include <QWidget>

#include <functional>

class ActivityLog;
class CommandExchange;
class PortScan;
class QAction;
class QListWidget;
class QPushButton;
class SerialComponent;

// The program's only window: the log list, "Verifica" and "Uscita", the timer that runs each
// check, and the serial component the checks talk through.
class frmInviaRicevi : public QWidget
{
    Q_OBJECT

public:
    // `logFolder` is where Quorvane.txt is written. Without a component the window makes one
    // over the system's serial ports.
    explicit frmInviaRicevi(const QString &logFolder, SerialComponent *component = nullptr,
                            QWidget *parent = nullptr);
    ~frmInviaRicevi() override;

    ActivityLog &log() { return *m_log; }

    // What ending the program does once the port is closed; by default the process ends at
    // once. Tests put something harmless in its place.
    void setEndProgram(std::function<void()> endProgram) { m_endProgram = std::move(endProgram); }

    QListWidget *listLog = nullptr;
    QPushButton *Command1 = nullptr;
    QPushButton *Command2 = nullptr;
    QTimer *Timer1 = nullptr;
    SerialComponent *comSMS = nullptr;

    // The first and smallest client area, in pixels (15 twips to the pixel).
    static constexpr QSize ClientSize { 435, 369 };
    static constexpr QPoint StoredPosition { 193, 165 };
    static constexpr int CheckDelayMs = 3000;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void Form_Initialize();
    void Form_Load();
    void Form_Unload();
    void Timer1_Timer();
    void Command1_Click();
    void Command2_Click();
    void buildControls();
    void endProgram();
    QStringList linesOfList(bool onlySelected) const;
    void copyLines(const QStringList &lines);
    void showLogMenu(const QPoint &position);

    ActivityLog *m_log = nullptr;
    CommandExchange *m_exchange = nullptr;
    PortScan *m_scan = nullptr;
    QAction *m_copyAction = nullptr;
    std::function<void()> m_endProgram;
};
