#pragma once

#include "system_formats.h"

#include <QString>

#include <optional>

// udev's record of a device below `systemRoot` (run/udev/data/cMAJOR:MINOR), read without opening
// the device; nothing when udev keeps none (no udev, or a device it has not handled yet). Every
// user may read it, and it stays while the rules that wrote it are installed, ModemManager's among
// them, whether ModemManager runs or not.
std::optional<UdevRecord> udevRecordOf(const QString &systemRoot, quint64 device);

// How many seconds ago udev initialised the device of `record`, by the monotonic clock it counts
// in; nothing when the record does not say.
std::optional<double> secondsSinceInitialised(const UdevRecord &record);
