#pragma once

#include <QString>

// Where the dialogue writes its lines. The activity log is the one the programs give it: it
// owns the line format, the clock, the file and the list.
class LogSink
{
public:
    virtual ~LogSink() = default;

    // Writes one message as one line.
    virtual void AddLog(const QString &messaggio) = 0;
};
