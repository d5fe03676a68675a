#include "simulated_terminal.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
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

bool isMarker(const std::string &entry)
{
    return entry == SimulatedTerminal::OutputDiscarded || entry == SimulatedTerminal::Closed;
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
    // The port's settings are set and read through the master, which keeps them while it is
    // open. Raw, so that nothing the terminal sends while the program has the port closed is
    // echoed back to the terminal by the line discipline. Packet mode tells when the program
    // discards its unsent output.
    termios raw {};
    tcgetattr(m_master, &raw);
    cfmakeraw(&raw);
    tcsetattr(m_master, TCSANOW, &raw);
    int packet = 1;
    ::ioctl(m_master, TIOCPKT, &packet);
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
    setExclusive(false);
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

void SimulatedTerminal::answerEveryLineWith(const QByteArray &reply)
{
    std::lock_guard lock(m_mutex);
    m_everyLineReply = reply;
}

void SimulatedTerminal::sendEvery(std::chrono::milliseconds interval, const QByteArray &text)
{
    std::lock_guard lock(m_mutex);
    m_interval = interval;
    m_unasked = text;
    m_nextUnasked = Clock::now();
}

bool SimulatedTerminal::setExclusive(bool exclusive)
{
    if (!exclusive) {
        if (m_exclusiveHolder >= 0)
            ::close(m_exclusiveHolder);
        m_exclusiveHolder = -1;
        return true;
    }
    if (m_exclusiveHolder < 0) {
        m_exclusiveHolder = ::open(m_slavePath.toLocal8Bit().constData(),
                                   O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
    return m_exclusiveHolder >= 0 && ::ioctl(m_exclusiveHolder, TIOCEXCL) == 0;
}

bool SimulatedTerminal::isExclusive() const
{
#ifdef TIOCGEXCL
    const int descriptor =
        ::open(m_slavePath.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0)
        return errno == EBUSY; // only root opens a port held exclusively
    int exclusive = 0;
    const bool held = ::ioctl(descriptor, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
    ::close(descriptor);
    return held;
#else
    return false; // the flag cannot be read here
#endif
}

bool SimulatedTerminal::lineSettings(termios *settings) const
{
    return m_master >= 0 && tcgetattr(m_master, settings) == 0;
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
    std::vector<std::string> commands;
    std::copy_if(m_history.begin(), m_history.end(), std::back_inserter(commands),
                 [](const std::string &entry) { return !isMarker(entry); });
    return commands;
}

std::vector<std::string> SimulatedTerminal::history() const
{
    std::lock_guard lock(m_mutex);
    return m_history;
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
    char buffer[4097];
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
            const auto now = Clock::now();
            if (m_interval.count() > 0 && now >= m_nextUnasked) {
                queue(m_unasked, now);
                m_nextUnasked += m_interval;
            }
            if (!m_output.empty()) {
                const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                    m_output.front().due - now);
                timeoutMs = static_cast<int>(std::clamp<long long>(wait.count(), 0, 5));
            }
        }
        pollfd fd { m_master, static_cast<short>(reading ? POLLIN : 0), 0 };
        bool closed = false;
        if (::poll(&fd, 1, timeoutMs) > 0) {
            if (reading && (fd.revents & (POLLIN | POLLHUP))) {
                // What the program wrote, and whether it discarded output, come before the close.
                const ssize_t got = ::read(m_master, buffer, sizeof buffer);
                if (got > 0) {
                    std::lock_guard lock(m_mutex);
                    receivePacket(buffer, got);
                }
                closed = got < 0 && errno == EIO;
            } else {
                closed = fd.revents & POLLHUP;
            }
        }
        {
            std::lock_guard lock(m_mutex);
            if (closed && m_lineOpen)
                m_history.push_back(Closed);
            m_lineOpen = !closed;
            writeDue();
        }
        // Nobody has the port open: the master reports it at once, for as long as it lasts.
        if (closed)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void SimulatedTerminal::receivePacket(const char *packet, ssize_t size)
{
    // In packet mode every read starts with a control byte: 0 before data, or the flushes the
    // program made of its side.
    if (packet[0] == TIOCPKT_DATA)
        receive(packet + 1, size - 1);
    else if (packet[0] & TIOCPKT_FLUSHWRITE)
        m_history.push_back(OutputDiscarded);
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
    m_history.push_back(line);
    if (m_hangUpOnCommand > 0 && ++m_commandsTowardsHangUp == m_hangUpOnCommand) {
        closeMaster();
        m_sentCondition.notify_all();
        return;
    }
    if (m_silent)
        return;
    const auto start = Clock::now() + m_replyDelay;
    if (m_everyLineReply) {
        queue(*m_everyLineReply, start);
        return;
    }
    if (line.empty())
        return;
    const auto reply = m_replies.find(upper(line));
    queue(reply != m_replies.end() ? reply->second : QByteArray("\r\nERROR\r\n"), start);
    queue(std::exchange(m_afterFirstAnswer, QByteArray()), start);
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
