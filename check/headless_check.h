#pragma once

#include "terminal/port_scan.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>

// How a check from a terminal runs.
struct CheckOptions
{
    QStringList ports; // names (ttyUSB0) or paths, in the order given; none: the system's list
    QString logFolder; // where Quorvane.txt is written
    bool reportLogFile = false; // say which file the log is written to, as the window does
    bool json = false; // one JSON document at the end instead of the lines
    QString systemRoot; // where the system's own files are read; "/" but in trials
    // Check again, as ports appear or change, until a terminal answers or this much time has
    // passed; none: check once.
    std::chrono::seconds wait { 0 };
};

// The exit statuses of a check from a terminal, for scripts to branch on.
namespace CheckStatus {
constexpr int Found = 0; // a terminal was found
constexpr int NotFound = 1; // every port was checked and none answered, or there was none
constexpr int Usage = 2; // bad usage
constexpr int NotAllChecked = 3; // none answered, and a port could not be checked
} // namespace CheckStatus

// One check without a window or a display: the scan, with every rule of the window's check, its
// log lines printed to standard output as the log file holds them (UTF-8), or one JSON document
// at the end, and the not-found advice when no terminal answered. With a wait, rounds follow as
// ports appear or change (named ports that are not there yet are waited for) until a terminal
// answers or the time is up; the last round's status stands. Ctrl-C, SIGTERM and SIGHUP end it at
// the next turn of a wait: the port is closed as at the end of a probe (unsent output discarded,
// then closed), "Verifica interrotta." is logged and the JSON document printed; the process ends
// with 128 and the signal's number. A reader of the lines that goes away ends it once the port it
// is on is done. Returns the exit status (CheckStatus).
int runHeadlessCheck(const CheckOptions &options);

// What a scan found, as the JSON document a check from a terminal prints (keys in English, see
// the manual page; a port by the device it stands for): {"version": 1, "terminals": [{"port",
// "manufacturer", "stable_path", "device": {"vendor_id", "product_id", "interface", "manufacturer",
// "product", "role", "usb_path", "serial"}}], "ports": [{"port", "result", "reason", "messages"}],
// "devices": [{"bus", "path", "vendor_id", "product_id", "manufacturer", "product", "cause",
// "fix", "message"}: the modems, phones and adapters that offer no serial port, and why],
// "messages": [the scan's lines about no single port]}.
QByteArray checkReport(const PortScan &scan);
