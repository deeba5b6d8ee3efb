#include "Sandbox.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <memory>
#include <seccomp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace hoplin::platform::Sandbox {

namespace {

// Debian 12's kernel headers stop at Landlock ABI 2; what later kernels added is spelled out here.
constexpr __u64 accessFsTruncate = 1ULL << 14;    // ABI 3
constexpr __u64 accessNetBindTcp = 1ULL << 0;     // ABI 4
constexpr __u64 accessNetConnectTcp = 1ULL << 1;  // ABI 4
constexpr __u64 scopeAbstractUnixSocket = 1ULL << 0; // ABI 6
constexpr __u64 scopeSignal = 1ULL << 1;          // ABI 6
constexpr unsigned closeRangeCloexec = 1U << 2;   // close_range(2), Linux 5.11

// The ruleset attribute as of ABI 6. Older kernels accept the longer structure as long as the
// fields they do not know are zero.
struct RulesetAttr {
    __u64 handledAccessFs = 0;
    __u64 handledAccessNet = 0;
    __u64 scoped = 0;
};

struct PathBeneathAttr {
    __u64 allowedAccess;
    __s32 parentFd;
} __attribute__((packed));

int landlockAbi(int *error)
{
    const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    *error = abi < 0 ? errno : 0;
    return abi < 0 ? 0 : int(abi);
}

constexpr __u64 readRights = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
constexpr __u64 runRights = readRights | LANDLOCK_ACCESS_FS_EXECUTE;

// Every right that changes the file system.
__u64 writeRights(int abi)
{
    __u64 rights = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                   LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR |
                   LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
                   LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
    if (abi >= 2)
        rights |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3)
        rights |= accessFsTruncate;
    return rights;
}

// A rule on a file may carry only the rights that apply to files.
constexpr __u64 fileOnlyRights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                 LANDLOCK_ACCESS_FS_READ_FILE | accessFsTruncate;

void addPathRule(int rulesetFd, const QByteArray &path, __u64 rights)
{
    // Opening follows links, so a link's target is what the rule names.
    const int fd = ::open(path.constData(), O_PATH | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat info;
    if (::fstat(fd, &info) == 0 && !S_ISDIR(info.st_mode))
        rights &= fileOnlyRights;
    PathBeneathAttr attr{rights, fd};
    // A rule that does not take only leaves that path out of reach, which the run then reports.
    syscall(SYS_landlock_add_rule, rulesetFd, LANDLOCK_RULE_PATH_BENEATH, &attr, 0);
    ::close(fd);
}

// A ruleset that lets the process read the system, its own folder and what the policy names, and
// write beneath the policy's folder only. Built in the parent, where opening paths and allocating
// are allowed; the child only applies it.
int makeRuleset(int abi, const QString &executableFolder, const Policy &policy)
{
    RulesetAttr attr;
    attr.handledAccessFs = runRights | writeRights(abi);
    if (abi >= 4)
        attr.handledAccessNet = accessNetBindTcp | accessNetConnectTcp;
    if (abi >= 6)
        attr.scoped = scopeAbstractUnixSocket | scopeSignal;
    const int fd = int(syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0));
    if (fd < 0)
        return -1;
    // ffmpeg, its libraries and the loader; the rest of the system it reads but never runs from.
    for (const char *path : {"/usr", "/lib", "/lib32", "/lib64", "/libx32", "/bin", "/sbin"})
        addPathRule(fd, path, runRights);
    for (const char *path : {"/etc", "/proc", "/sys", "/dev/zero", "/dev/random", "/dev/urandom"})
        addPathRule(fd, path, readRights);
    // First passes of two-pass presets write to the null device.
    addPathRule(fd, "/dev/null", LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                     (abi >= 3 ? accessFsTruncate : 0));
    if (!executableFolder.isEmpty())
        addPathRule(fd, QFile::encodeName(executableFolder), runRights);
    for (const QString &path : policy.readable)
        addPathRule(fd, QFile::encodeName(path), readRights);
    if (!policy.workDirectory.isEmpty())
        addPathRule(fd, QFile::encodeName(policy.workDirectory), readRights | writeRights(abi));
    return fd;
}

// A seccomp program that refuses every socket, of any family, and io_uring (which can open
// sockets without the socket call). Calls of another architecture's table (a 32-bit socketcall)
// kill the process: libseccomp's default for a foreign architecture. Exported once, so the child
// only loads ready bytes.
struct NetworkFilter {
    std::vector<sock_filter> program;
    QString error;
};

NetworkFilter buildNetworkFilter()
{
    NetworkFilter filter;
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
    if (!ctx) {
        filter.error = QStringLiteral("seccomp could not be initialised");
        return filter;
    }
    const std::unique_ptr<void, void (*)(scmp_filter_ctx)> release(ctx, seccomp_release);
    int rc = seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(socket), 0);
    if (rc == 0)
        rc = seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(socketpair), 0);
    if (rc == 0)
        rc = seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(io_uring_setup), 0);
    const int memory = rc == 0 ? memfd_create("hoplin-seccomp", MFD_CLOEXEC) : -1;
    if (memory >= 0 && seccomp_export_bpf(ctx, memory) == 0) {
        const off_t size = lseek(memory, 0, SEEK_END);
        if (size > 0 && size % off_t(sizeof(sock_filter)) == 0) {
            filter.program.resize(size_t(size) / sizeof(sock_filter));
            if (pread(memory, filter.program.data(), size_t(size), 0) != size)
                filter.program.clear();
        }
    }
    if (memory >= 0)
        ::close(memory);
    if (filter.program.empty())
        filter.error = QStringLiteral("the seccomp filter could not be built");
    return filter;
}

const NetworkFilter &networkFilter()
{
    static const NetworkFilter filter = buildNetworkFilter();
    return filter;
}

Status probeKernel()
{
    Status status;
    int error = 0;
    status.landlockAbi = landlockAbi(&error);
    status.filesystem = status.landlockAbi >= 1;
    status.network = !networkFilter().program.empty();
    QStringList reasons;
    if (!status.filesystem) {
        const QString consequence = QStringLiteral("so a preset can read and write anywhere you can");
        if (error == ENOSYS)
            reasons << QStringLiteral("this kernel has no Landlock, %1").arg(consequence);
        else if (error == EOPNOTSUPP)
            reasons << QStringLiteral("Landlock is turned off in this kernel, %1").arg(consequence);
        else
            reasons << QStringLiteral("Landlock refused (%1), %2")
                           .arg(QString::fromLocal8Bit(strerror(error)), consequence);
    }
    if (!status.network)
        reasons << networkFilter().error + QStringLiteral(", so a preset can open sockets");
    status.reason = reasons.join(QStringLiteral("; "));
    return status;
}

// Closes the ruleset when the last copy of the child modifier goes.
struct OwnedFd {
    int fd = -1;
    explicit OwnedFd(int value)
        : fd(value)
    {
    }
    ~OwnedFd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// Runs in the child between fork and exec: raw system calls only.
[[noreturn]] void refuse(const char *message)
{
    const ssize_t ignored = ::write(STDERR_FILENO, message, strlen(message));
    (void)ignored;
    _exit(126);
}

} // namespace

Status status()
{
    static const Status probed = probeKernel();
    return probed;
}

QString describe(const Status &status)
{
    if (!status.filesystem && !status.network)
        return QStringLiteral("Unavailable: %1").arg(status.reason);
    QStringList parts;
    if (status.network)
        parts << QStringLiteral("no sockets");
    if (status.filesystem)
        parts << QStringLiteral("reads and writes fenced in (Landlock ABI %1)").arg(status.landlockAbi);
    QString text = QStringLiteral("Active: %1").arg(parts.join(QStringLiteral(", ")));
    if (!status.reason.isEmpty())
        text += QStringLiteral(" — but %1").arg(status.reason);
    return text;
}

Status confine(QProcess *process, const Policy &policy)
{
    Status current = status();
    if (!policy.workDirectory.isEmpty())
        process->setWorkingDirectory(policy.workDirectory);

    auto ruleset = std::make_shared<OwnedFd>(-1);
    if (current.filesystem) {
        // The executable's own folder, where a managed copy or an override lives; a link counts
        // as its target, which is what runs.
        const QString executable = QFileInfo(process->program()).canonicalFilePath();
        const QString folder = executable.isEmpty() ? QString() : QFileInfo(executable).path();
        ruleset->fd = makeRuleset(current.landlockAbi, folder, policy);
        if (ruleset->fd < 0) {
            current.reason = QStringLiteral("the Landlock ruleset could not be created (%1), so ffmpeg was not run")
                                 .arg(QString::fromLocal8Bit(strerror(errno)));
        }
    }
    const std::vector<sock_filter> *filter = current.network ? &networkFilter().program : nullptr;
    const pid_t parent = getpid();
    const bool wantLandlock = current.filesystem;

    process->setChildProcessModifier([ruleset, filter, parent, wantLandlock] {
        // Die with the app; a parent that died before this line would never send the signal.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
            _exit(126);
        // Whatever this process holds open (a bus connection, a socket of the app) stays behind.
        syscall(SYS_close_range, 3U, ~0U, closeRangeCloexec);
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
            refuse("Sandbox error: no_new_privs refused\n");
        if (filter) {
            sock_fprog program{static_cast<unsigned short>(filter->size()),
                               const_cast<sock_filter *>(filter->data())};
            if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) != 0)
                refuse("Sandbox error: the network filter could not be applied\n");
        }
        if (wantLandlock) {
            if (ruleset->fd < 0 || syscall(SYS_landlock_restrict_self, ruleset->fd, 0) != 0)
                refuse("Sandbox error: the file system fence could not be applied\n");
            ::close(ruleset->fd);
        }
    });
    return current;
}

} // namespace hoplin::platform::Sandbox
