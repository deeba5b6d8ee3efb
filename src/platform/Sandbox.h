#pragma once

#include <QString>

class QProcess;

namespace hoplin::platform::Sandbox {

// What the kernel lets us fence a child process in with.
struct Status {
    // Writes confined to one folder (Landlock).
    bool filesystem = false;
    // Network sockets refused (seccomp, and Landlock's TCP rules where the kernel has them).
    bool network = false;
    // The kernel's Landlock ABI version, 0 when there is none.
    int landlockAbi = 0;
    // Why a part is missing; empty when everything is in place.
    QString reason;
};

// Asked of the kernel once per run.
Status status();

// One line for the user: "Active (…)" or "Unavailable: …" (for Preferences).
QString describe(const Status &status);

// Fences in `process` before it is started: it may write only beneath `writableDirectory` (and to
// the null device), opens no network socket but local ones, runs with no new privileges, dies with
// this process, and starts in `writableDirectory`. An empty `writableDirectory` allows no writes at
// all. Reads stay allowed: ffmpeg needs its libraries and the input. Where the kernel lacks a part,
// the process still runs with the parts there are; the returned status says which (the caller logs
// it: this layer has no log). Call from the thread that starts the process: the child is killed
// when that thread ends.
Status confine(QProcess *process, const QString &writableDirectory);

} // namespace hoplin::platform::Sandbox
