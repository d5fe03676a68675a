#pragma once

#include "terminal/port_scan.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// How a check from a terminal runs.
struct CheckOptions
{
    QStringList ports; // names (ttyUSB0) or paths, in the order given; none: the system's list
    QString logFolder; // where Quorvane.txt is written
    bool reportLogFile = false; // say which file the log is written to, as the window does
    bool json = false; // one JSON document at the end instead of the lines
    QString systemRoot; // where the system's own files are read; "/" but in trials
};

// One check without a window or a display: the scan, with every rule of the window's check, its
// log lines printed to standard output as the log file holds them (UTF-8), or one JSON document
// at the end, and the not-found advice when no terminal answered. Ctrl-C and SIGTERM end it at
// the next turn of a wait: the port is closed as at the end of a probe (unsent output discarded,
// then closed) and "Verifica interrotta." is logged. Returns the exit status: 0 a terminal was
// found, 1 none was; an interrupted check ends the process with 128 and the signal's number.
int runHeadlessCheck(const CheckOptions &options);

// What a scan found, as the JSON document a check from a terminal prints (keys in English):
// {"terminals": [{"port", "manufacturer", "stable_path", "device": {"vendor_id", "product_id",
// "interface", "manufacturer", "product", "role"}}], "ports": [{"port", "result", "messages"}],
// "messages": [the scan's lines about no single port]}.
QByteArray checkReport(const PortScan &scan);
