#include "simulated_terminal.h"

#include <algorithm>
#include <cctype>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::string upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

} // namespace

SimulatedTerminal::SimulatedTerminal()
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        closeMaster();
        return;
    }
    m_slavePath = QString::fromLocal8Bit(ptsname(m_master));
    // Holding the slave open keeps the master from reporting a hang-up while the program has the
    // port closed. The line is made raw here, so that nothing the terminal sends while the
    // program has the port closed is echoed back to the terminal by the line discipline.
    m_slave = ::open(ptsname(m_master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave >= 0) {
        termios raw {};
        tcgetattr(m_slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(m_slave, TCSANOW, &raw);
    }
    setManufacturer(QStringLiteral("SIEMENS"));
    setReply(QStringLiteral("at"), "\r\nOK\r\n");
    m_thread = std::thread([this] { run(); });
}

SimulatedTerminal::~SimulatedTerminal()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    closeMaster();
    if (m_slave >= 0)
        ::close(m_slave);
}

void SimulatedTerminal::setReply(const QString &command, const QByteArray &reply)
{
    std::lock_guard lock(m_mutex);
    m_replies[upper(command.toStdString())] = reply;
}

void SimulatedTerminal::setManufacturer(const QString &name)
{
    setReply(QStringLiteral("at+gmi"), "\r\n" + name.toLatin1() + "\r\n\r\nOK\r\n");
}

bool SimulatedTerminal::setExclusive(bool exclusive)
{
    return m_slave >= 0 && ::ioctl(m_slave, exclusive ? TIOCEXCL : TIOCNXCL) == 0;
}

bool SimulatedTerminal::isExclusive() const
{
#ifdef TIOCGEXCL
    int exclusive = 0;
    return m_slave >= 0 && ::ioctl(m_slave, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
#else
    return false; // the flag cannot be read here
#endif
}

bool SimulatedTerminal::lineSettings(termios *settings) const
{
    return m_slave >= 0 && tcgetattr(m_slave, settings) == 0;
}

void SimulatedTerminal::hangUp()
{
    {
        std::lock_guard lock(m_mutex);
        m_hangUpRequested = true;
    }
    // The terminal's thread closes the master; wait until it has, so the caller can rely on it.
    while (!m_hungUp && m_thread.joinable())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void SimulatedTerminal::sendRaw(const QByteArray &bytes)
{
    std::lock_guard lock(m_mutex);
    queue(bytes, Clock::now());
}

qint64 SimulatedTerminal::bytesReceived() const
{
    std::lock_guard lock(m_mutex);
    return m_bytesReceived;
}

std::vector<std::string> SimulatedTerminal::commands() const
{
    std::lock_guard lock(m_mutex);
    return m_commands;
}

bool SimulatedTerminal::waitUntilSent(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_sentCondition.wait_for(lock, timeout, [this] { return m_output.empty() || m_hungUp; });
}

void SimulatedTerminal::queue(const QByteArray &bytes, Clock::time_point start)
{
    Clock::time_point due = std::max(start, m_lastDue);
    for (char byte : bytes) {
        if (m_paced)
            due += CharacterTime;
        m_output.push_back({ due, byte });
    }
    m_lastDue = due;
}

void SimulatedTerminal::run()
{
    char buffer[4096];
    while (!m_stop && !m_hungUp) {
        int timeoutMs = 5;
        bool reading = true;
        {
            std::lock_guard lock(m_mutex);
            if (m_hangUpRequested) {
                closeMaster();
                m_sentCondition.notify_all();
                break;
            }
            reading = !m_stalled;
            if (!m_output.empty()) {
                const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                    m_output.front().due - Clock::now());
                timeoutMs = static_cast<int>(std::clamp<long long>(wait.count(), 0, 5));
            }
        }
        pollfd fd { m_master, static_cast<short>(reading ? POLLIN : 0), 0 };
        if (::poll(&fd, 1, timeoutMs) > 0 && (fd.revents & POLLIN)) {
            const ssize_t got = ::read(m_master, buffer, sizeof buffer);
            if (got > 0) {
                std::lock_guard lock(m_mutex);
                receive(buffer, got);
            }
        }
        std::lock_guard lock(m_mutex);
        writeDue();
    }
}

void SimulatedTerminal::receive(const char *data, ssize_t size)
{
    m_bytesReceived += size;
    const auto now = Clock::now();
    if (now < m_deafUntil)
        return;
    for (ssize_t i = 0; i < size && !m_hungUp; ++i) {
        const char byte = data[i];
        if (m_echo && !m_silent)
            queue(QByteArray(1, byte), now + m_replyDelay);
        if (byte == '\r')
            onLine();
        else if (byte != '\n')
            m_line.push_back(byte);
    }
}

void SimulatedTerminal::onLine()
{
    const std::string line = m_line;
    m_line.clear();
    m_commands.push_back(line);
    if (m_hangUpOnCommand > 0 && static_cast<int>(m_commands.size()) == m_hangUpOnCommand) {
        closeMaster();
        m_sentCondition.notify_all();
        return;
    }
    if (m_silent || line.empty())
        return;
    const auto reply = m_replies.find(upper(line));
    queue(reply != m_replies.end() ? reply->second : QByteArray("\r\nERROR\r\n"),
          Clock::now() + m_replyDelay);
}

void SimulatedTerminal::writeDue()
{
    const auto now = Clock::now();
    char chunk[4096];
    while (m_master >= 0) {
        size_t count = 0;
        while (count < sizeof chunk && count < m_output.size() && m_output[count].due <= now) {
            chunk[count] = m_output[count].byte;
            ++count;
        }
        if (count == 0)
            break;
        const ssize_t n = ::write(m_master, chunk, count);
        if (n <= 0)
            break; // the program is not reading: the rest waits for the next round
        m_output.erase(m_output.begin(), m_output.begin() + n);
    }
    if (m_output.empty())
        m_sentCondition.notify_all();
}

void SimulatedTerminal::closeMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
    m_output.clear();
    m_hungUp = true;
}
