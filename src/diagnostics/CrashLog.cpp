#include "diagnostics/CrashLog.h"

#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Platform.h"
#include "platform/Settings.h"

#include <QFile>
#include <atomic>
#include <csignal>
#include <cstring>
#include <ctime>
#include <cxxabi.h>
#include <exception>
#include <execinfo.h>
#include <fcntl.h>
#include <future>
#include <memory>
#include <thread>
#include <typeinfo>
#include <unistd.h>

namespace hoplin::crash {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL};
constexpr int kMaxFrames = 10;

// State read by the signal handler: plain data prepared on the main thread, so the handler itself
// needs no allocation, no locks and no Qt.
std::atomic<bool> g_logging{false};
std::atomic<long> g_utcOffset{0};        // seconds east of UTC, taken when logging was last switched
volatile std::sig_atomic_t g_terminating = 0; // the terminate handler already wrote the line
char g_logPath[4096] = {};
alignas(16) char g_altStack[64 * 1024];

const char *signalName(int signal)
{
    switch (signal) {
    case SIGSEGV: return "SIGSEGV";
    case SIGABRT: return "SIGABRT";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    default: return "signal";
    }
}

QString demangle(const char *name)
{
    int status = 0;
    std::unique_ptr<char, void (*)(void *)> readable(abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
    return QString::fromUtf8(status == 0 && readable ? readable.get() : name);
}

void refreshLoggingState()
{
    g_logging = Settings::shared().boolean(QString::fromLatin1(keys::hoplinDiag));
    const time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    g_utcOffset = local.tm_gmtoff;
}

// --- async-signal-safe helpers: only arithmetic, write(2), open(2) and close(2) ---

struct Buffer {
    char data[256];
    size_t size = 0;
    void put(const char *text)
    {
        while (*text && size < sizeof data)
            data[size++] = *text++;
    }
    void number(long value, int width)
    {
        char digits[20];
        int count = 0;
        do {
            digits[count++] = char('0' + value % 10);
            value /= 10;
        } while (value > 0 && count < 20);
        while (count < width && count < 20)
            digits[count++] = '0';
        while (count > 0 && size < sizeof data)
            data[size++] = digits[--count];
    }
};

void writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        size -= size_t(written);
    }
}

// "yyyy-MM-dd HH:mm:ss.SSS" in local time, from the offset taken beforehand (localtime_r is not
// safe in a signal handler). Days to civil date after H. Hinnant's public-domain algorithm.
void putTimestamp(Buffer &out)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const long long local = now.tv_sec + g_utcOffset.load();
    long long days = local / 86400;
    long long seconds = local % 86400;
    if (seconds < 0) {
        seconds += 86400;
        --days;
    }
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = unsigned(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shifted = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    const unsigned month = shifted < 10 ? shifted + 3 : shifted - 9;
    const long long year = yearOfEra + era * 400 + (month <= 2);

    out.number(long(year), 4);
    out.put("-");
    out.number(month, 2);
    out.put("-");
    out.number(day, 2);
    out.put(" ");
    out.number(long(seconds / 3600), 2);
    out.put(":");
    out.number(long(seconds / 60 % 60), 2);
    out.put(":");
    out.number(long(seconds % 60), 2);
    out.put(".");
    out.number(now.tv_nsec / 1000000, 3);
}

void onFatalSignal(int signal)
{
    const int savedErrno = errno;
    if (!g_terminating && g_logging.load()) {
        Buffer line;
        putTimestamp(line);
        line.put(" [crash] fatal signal ");
        line.put(signalName(signal));
        line.put(" \n");
        void *frames[kMaxFrames + 2];
        const int count = backtrace(frames, kMaxFrames + 2);
        // Leave out this handler and the kernel's return trampoline.
        const int skip = count > 2 ? 2 : 0;
        const int fd = ::open(g_logPath, O_WRONLY | O_APPEND | O_CLOEXEC);
        for (const int out : {fd, int(STDOUT_FILENO)}) {
            if (out < 0)
                continue;
            writeAll(out, line.data, line.size);
            backtrace_symbols_fd(frames + skip, count - skip, out);
        }
        if (fd >= 0)
            ::close(fd);
    }
    // SA_RESETHAND put the default action back: raising again ends the process as it would have
    // ended without us (core dump, exit status).
    errno = savedErrno;
    ::raise(signal);
}

[[noreturn]] void onTerminate()
{
    g_terminating = 1;
    QString name = QStringLiteral("unknown");
    QString reason;
    if (const std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::exception &error) {
            // The application's own errors report their description through what() too.
            name = demangle(typeid(error).name());
            reason = QString::fromUtf8(error.what());
        } catch (...) {
            if (const std::type_info *type = abi::__cxa_current_exception_type())
                name = demangle(type->name());
        }
    } else {
        name = QStringLiteral("std::terminate");
        reason = QStringLiteral("called without an active exception");
    }
    // The unwinder has not run yet, so the throwing frames are still on the stack.
    DiagnosticsLogger::shared().log(QStringLiteral("crash"), uncaughtMessage(name, reason, callStack(1)));

    // abort() ends the process before the logger's thread could write the line. Wait for it, but
    // boundedly: if the logger's own thread is the one terminating, it will never answer.
    auto written = std::make_shared<std::promise<void>>();
    std::future<void> done = written->get_future();
    std::thread([written] {
        DiagnosticsLogger::shared().flush();
        written->set_value();
    }).detach();
    done.wait_for(std::chrono::seconds(2));
    std::abort();
}

} // namespace

QString uncaughtMessage(const QString &name, const QString &reason, const QStringList &frames)
{
    return platform::localText(QStringLiteral("uncaught NSException %1: %2 \n%3")
                                   .arg(name, reason, frames.join(QLatin1Char('\n'))));
}

QStringList callStack(int skip, int limit)
{
    void *frames[64];
    const int count = backtrace(frames, 64);
    QStringList result;
    char **symbols = backtrace_symbols(frames, count);
    if (!symbols)
        return result;
    // One more to skip: this function.
    for (int i = skip + 1; i < count && result.size() < limit; ++i)
        result << QString::fromLocal8Bit(symbols[i]);
    std::free(symbols);
    return result;
}

void install()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;

    const QByteArray path = QFile::encodeName(DiagnosticsLogger::shared().logFilePath());
    std::strncpy(g_logPath, path.constData(), sizeof g_logPath - 1);
    refreshLoggingState();
    QObject::connect(&Settings::shared(), &Settings::changed, [](const QString &key) {
        if (key == QLatin1String(keys::hoplinDiag))
            refreshLoggingState();
    });

    // backtrace() loads the unwinder on first use, which allocates: do that now, not in a handler.
    void *warmUp[2];
    backtrace(warmUp, 2);

    std::set_terminate(onTerminate);

    // A stack overflow leaves no stack for the handler: give the main thread a spare one.
    stack_t spare{};
    spare.ss_sp = g_altStack;
    spare.ss_size = sizeof g_altStack;
    sigaltstack(&spare, nullptr);

    struct sigaction action {};
    action.sa_handler = onFatalSignal;
    action.sa_flags = SA_RESETHAND | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int signal : kFatalSignals)
        sigaction(signal, &action, nullptr);
}

} // namespace hoplin::crash
