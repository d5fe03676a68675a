#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

struct stat;

// Reading the system's own small files (proc, sysfs, the group file) and folders. They are read
// by the hundred for one port, so without the cost of Qt's file objects. Only where the system
// has them (Linux).

// Up to `limit` bytes of a file, and what the file was when it was read; empty when it cannot be
// read.
QByteArray readSmallFile(const QString &path, qsizetype limit = 4096, struct stat *info = nullptr);

// The names in a folder, "." and ".." left out; empty when it cannot be read.
QStringList entriesOf(const QString &folder);

// A sysfs attribute of the device in `folder`: its text without the line end; empty when it has
// none.
QString attributeOf(const QString &folder, const char *name);
