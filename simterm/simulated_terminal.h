#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <termios.h>
#include <vector>

// A GSM terminal on the master side of a pseudo-terminal, answering AT command lines on its own
// thread as a phone or modem would: echo, replies from a table, pacing at 2400 baud, and the
// misbehaviours tests need (silence, late replies, deafness, hang-up, floods), and devices that
// are no terminal at all (GPS receivers, boards that print, loopback plugs, login prompts). Like
// a real device it holds no descriptor of its own port (the slave side): only the master, which
// keeps the port's settings and reads them, and which sees the program discard its output and
// close the port.
class SimulatedTerminal
{
public:
    using Clock = std::chrono::steady_clock;
    // One character at 2400 baud, 8N1: ten bits.
    static constexpr std::chrono::nanoseconds CharacterTime = std::chrono::nanoseconds(4166667);

    SimulatedTerminal();
    ~SimulatedTerminal();
    SimulatedTerminal(const SimulatedTerminal &) = delete;
    SimulatedTerminal &operator=(const SimulatedTerminal &) = delete;

    // The device path the program opens (the slave side).
    QString portPath() const { return m_slavePath; }
    bool isValid() const { return m_master >= 0; }

    void setEcho(bool on) { set(m_echo, on); }
    // Paced: one character every CharacterTime. Unpaced: everything written at once.
    void setPaced(bool paced) { set(m_paced, paced); }
    // Reply to a command line (matched without regard to case, without its CR), e.g.
    // setReply("at+gmi", "\r\nSIEMENS\r\n\r\nOK\r\n"). Unknown commands get "\r\nERROR\r\n"; a
    // bare CR gets nothing but its echo.
    void setReply(const QString &command, const QByteArray &reply);
    void setManufacturer(const QString &name);
    // Reads everything, answers nothing, echoes nothing.
    void setSilent(bool silent) { set(m_silent, silent); }
    // Answers every command line, the empty one too, with `reply` instead of its table: with the
    // echo on, "" plays a loopback plug, a login prompt another computer's serial console.
    void answerEveryLineWith(const QByteArray &reply);
    // Sends `text` once, right after its first answer, as firmware that reports its state when
    // it is first spoken to.
    void setAfterFirstAnswer(const QByteArray &text) { set(m_afterFirstAnswer, text); }
    // Sends `text` unasked every `interval`, from now on, as a GPS receiver, a board printing
    // readings or a modem's unsolicited reports do; an interval of 0 stops it.
    void sendEvery(std::chrono::milliseconds interval, const QByteArray &text);
    // Echo and reply of each command start this long after its CR.
    void setReplyDelay(std::chrono::milliseconds delay) { set(m_replyDelay, delay); }
    // Ignores whatever arrives during the next `span`.
    void ignoreFor(std::chrono::milliseconds span) { set(m_deafUntil, Clock::now() + span); }
    // Closes the master side when the `count`-th command line arrives (before answering it).
    void hangUpOnCommand(int count) { set(m_hangUpOnCommand, count); }
    // Closes the master side now: to the program, the device is gone.
    void hangUp();
    // Stops reading what the program sends, as a terminal that holds its line with flow control:
    // the program's output backs up.
    void setStalled(bool stalled) { set(m_stalled, stalled); }
    // Holds the line exclusively (TIOCEXCL) on a descriptor of its own, as another program
    // would: other opens fail with EBUSY, except root's. False lets it go.
    bool setExclusive(bool exclusive);
    // Whether the line is held exclusively now, by anybody (opens the port for a moment).
    bool isExclusive() const;
    // The line settings the program left on the port, read through the master.
    bool lineSettings(termios *settings) const;
    // Sends bytes unasked (noise, floods), after whatever is already queued.
    void sendRaw(const QByteArray &bytes);

    // Every byte the program sent, also those the terminal ignored while deaf.
    qint64 bytesReceived() const;
    // Command lines received so far, without their CR.
    std::vector<std::string> commands() const;
    // What happened on the line, in order: each command line, and these two events.
    static constexpr const char *OutputDiscarded = "<output discarded>"; // the program's unsent
    static constexpr const char *Closed = "<closed>"; // the last descriptor of the port closed
    std::vector<std::string> history() const;
    bool isHungUp() const { return m_hungUp; }
    // Waits until everything queued has been written out.
    bool waitUntilSent(std::chrono::milliseconds timeout);

private:
    struct Pending
    {
        Clock::time_point due;
        char byte;
    };

    // Settings are read by the terminal's thread.
    template<typename T>
    void set(T &field, T value)
    {
        std::lock_guard lock(m_mutex);
        field = value;
    }

    void run();
    void receivePacket(const char *packet, ssize_t size);
    void receive(const char *data, ssize_t size);
    void onLine();
    void queue(const QByteArray &bytes, Clock::time_point start);
    void writeDue();
    void closeMaster();

    int m_master = -1;
    int m_exclusiveHolder = -1;
    QString m_slavePath;

    mutable std::mutex m_mutex;
    std::condition_variable m_sentCondition;
    bool m_echo = true;
    bool m_paced = true;
    bool m_silent = false;
    bool m_stalled = false;
    std::chrono::milliseconds m_replyDelay { 0 };
    Clock::time_point m_deafUntil;
    int m_hangUpOnCommand = 0;
    int m_commandsTowardsHangUp = 0;
    std::map<std::string, QByteArray> m_replies;
    std::optional<QByteArray> m_everyLineReply;
    QByteArray m_afterFirstAnswer;
    std::chrono::milliseconds m_interval { 0 };
    QByteArray m_unasked;
    Clock::time_point m_nextUnasked;
    std::string m_line;
    std::vector<std::string> m_history;
    bool m_lineOpen = true; // or never opened: the master cannot tell the two apart
    qint64 m_bytesReceived = 0;
    std::deque<Pending> m_output;
    Clock::time_point m_lastDue;
    bool m_hangUpRequested = false;

    std::atomic<bool> m_hungUp { false };
    std::atomic<bool> m_stop { false };
    std::thread m_thread;
};
