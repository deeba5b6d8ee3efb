#pragma once

#include <QString>
#include <QStringList>

class QProcess;

namespace hoplin::platform::Sandbox {

// What the kernel lets us fence a child process in with.
struct Status {
    // Reads and writes confined (Landlock).
    bool filesystem = false;
    // Every socket refused (seccomp, and Landlock's TCP rules where the kernel has them).
    bool network = false;
    // The kernel's Landlock ABI version, 0 when there is none.
    int landlockAbi = 0;
    // Why a part is missing; empty when everything is in place.
    QString reason;
};

// What one kind of run may touch besides the system folders (/usr, /lib*, /etc, /proc, /sys and a
// few device nodes) and the folder of its own executable, which it may always read.
struct Policy {
    // The only folder it may write beneath, and its working folder; no writes at all when empty.
    // It must be a fresh folder of our own: the right covers every subfolder and dotfile there.
    QString workDirectory;
    // Files or folders it may read (a link stands for its target).
    QStringList readable;
};

// Asked of the kernel once per process.
Status status();

// One line for the user: "Active: …" or "Unavailable: …" (for Preferences).
QString describe(const Status &status);

// Fences in `process` before it is started, after its program is set: it reads and writes only
// what `policy` allows, opens no socket of any kind, runs with no new privileges, inherits no
// open file but its standard streams, and dies with this process. Where the kernel lacks a part,
// the process still runs with the parts there are; where a part the kernel has cannot be set up,
// the process refuses to run. The returned status says which (the caller logs it: this layer has
// no log). Call from the thread that starts the process: the child is killed when that thread ends.
Status confine(QProcess *process, const Policy &policy);

} // namespace hoplin::platform::Sandbox
