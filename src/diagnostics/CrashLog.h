#pragma once

#include <QString>
#include <QStringList>

namespace hoplin::crash {

// Installs the process-wide crash logging: a std::terminate handler for uncaught exceptions and
// handlers for SIGSEGV, SIGABRT, SIGBUS, SIGFPE and SIGILL. Each writes one "crash" line to the
// diagnostics log (only while logging is on) and then lets the process die as it would have.
// Call once, on the main thread, after the logger has started.
//
// The signal handlers stay within async-signal-safe calls: they format the line themselves into
// a stack buffer (the local-time offset is taken beforehand, when logging is switched) and append
// it with open/write/close to the log file and to standard output, followed by up to ten frames
// from backtrace_symbols_fd. Lines still queued in the logger at that moment are lost, and a
// fault inside the C library's own locks can still hang the handler; neither can be helped from
// a signal handler.
void install();

// The line for an uncaught exception: "uncaught exception {name}: {reason} \n{frames}".
QString uncaughtMessage(const QString &name, const QString &reason, const QStringList &frames);

// Up to `limit` symbolised frames of the calling thread, the innermost `skip` left out.
QStringList callStack(int skip, int limit = 10);

} // namespace hoplin::crash
