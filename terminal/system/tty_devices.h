#pragma once

#include <QString>

// What the kernel tells of a device number below `systemRoot` (proc/ and sys/), without opening
// the device. Only where the system has them (Linux).

// Whether the device is a terminal at all: /dev/null is open in every shell, and no port in use.
// Where the kernel's list of terminal drivers cannot be read, any device may be one.
bool isTerminal(const QString &systemRoot, quint64 device);

// Whether the device is an active kernel console (the virtual terminal in front, when the
// console is "tty0").
bool isKernelConsole(const QString &systemRoot, quint64 device);
