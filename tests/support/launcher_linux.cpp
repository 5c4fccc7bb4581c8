#include "launcher.h"

#include "process_table.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testsupport
{

const bool onWindows = false;

const uint spareUid = 3999999990u;
const char noSpareUser[] = "no user to switch to here, or the build tree is out of other "
                           "users' reach (below a folder such as /root, mode 0700)";
const int systemStartAttempts = 1;

QString executable(const QString &name)
{
    return name;
}

QString watchdogBinary()
{
    return builtFile(QStringLiteral("watchdog"));
}

QByteArray searchPathWith(const QString &dir)
{
    return QFile::encodeName(dir) + ":/usr/bin:/bin";
}

bool confined()
{
    return getpid() == 1;
}

bool spareUserAvailable()
{
    if (geteuid() != 0 || !readAll(QStringLiteral("/proc/self/uid_map")).contains("4294967295"))
        return false;
    for (QString dir = builtFile(QStringLiteral(".")); dir != QLatin1String("/");
         dir = QFileInfo(dir).path()) {
        struct stat status = {};
        if (stat(QFile::encodeName(dir).constData(), &status) != 0 || !(status.st_mode & S_IXOTH))
            return false;
    }
    return true;
}

namespace
{

// Strings for exec, owning their bytes.
class CStrings
{
  public:
    explicit CStrings(const QByteArrayList &strings) : strings_(strings)
    {
        for (QByteArray &string : strings_)
            pointers_.push_back(string.data());
        pointers_.push_back(nullptr);
    }
    CStrings(const CStrings &) = delete;
    CStrings &operator=(const CStrings &) = delete;
    char *const *data() const { return pointers_.data(); }

  private:
    QByteArrayList strings_;
    std::vector<char *> pointers_;
};

QByteArrayList encoded(const QStringList &strings)
{
    QByteArrayList bytes;
    for (const QString &string : strings)
        bytes << QFile::encodeName(string);
    return bytes;
}

void closeIfOpen(int fd)
{
    if (fd != -1)
        ::close(fd);
}

pid_t waitRetrying(pid_t pid, int *status, int options)
{
    pid_t got;
    do
        got = waitpid(pid, status, options);
    while (got == -1 && errno == EINTR);
    return got;
}

// Everything the child needs, made before the fork: the child only makes
// system calls (bar a body, which runs as in the test).
struct ChildSetup {
    QByteArray program;
    CStrings argv;
    CStrings envp;
    QByteArray folder;
    QByteArrayList descend;
    QByteArray out;
    QByteArray err;
    const Launcher &launcher;
};

[[noreturn]] void runChild(const ChildSetup &setup, int report, const int gate[2])
{
    const Launcher &launcher = setup.launcher;
    setpgid(0, 0);
    if (gate) {
        ::close(gate[1]);
        char byte;
        for (ssize_t got; (got = read(gate[0], &byte, 1)) != 0;) {
            if (got == -1 && errno != EINTR)
                break;
        }
        ::close(gate[0]);
    }
    if (chdir(setup.folder.constData()) != 0)
        _exit(125);
    for (const QByteArray &step : setup.descend) {
        if (chdir(step.constData()) != 0)
            _exit(125);
    }
    const int out = launcher.stdoutFd != -1 ? launcher.stdoutFd
                                            : open(setup.out.constData(),
                                                   O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int err = open(setup.err.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out == -1 || err == -1 || in == -1 || dup2(in, 0) == -1 || dup2(out, 1) == -1 ||
        dup2(err, 2) == -1)
        _exit(125);
    for (int fd = 0; launcher.closeStandardStreams && fd <= 2; ++fd)
        ::close(fd);
    if (launcher.careless) {
        signal(SIGCHLD, SIG_IGN);
        signal(SIGHUP, SIG_IGN);
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR1);
        sigprocmask(SIG_BLOCK, &blocked, nullptr);
    }
    if (launcher.asInit) {
        if (unshare(CLONE_NEWPID) != 0)
            _exit(125);
        const pid_t init = fork();
        if (init == -1)
            _exit(125);
        if (init > 0) {
            // The keeper: ends as the namespace's first process does.
            closefrom(3);
            int status = 0;
            waitRetrying(init, &status, 0);
            _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        }
        const pid_t orphan = fork();
        if (orphan == 0)
            _exit(0);
        siginfo_t ended;
        waitid(P_PID, id_t(orphan), &ended, WEXITED | WNOWAIT); // ended, not collected
    }
    if (launcher.uid != 0 && (setgroups(0, nullptr) != 0 || setgid(gid_t(launcher.uid)) != 0 ||
                              setuid(launcher.uid) != 0))
        _exit(126);
    if (launcher.processLimitUsedUp) {
        const rlimit used{rlim_t(tasksOf(launcher.uid)), rlim_t(tasksOf(launcher.uid))};
        setrlimit(RLIMIT_NPROC, &used);
    }
    if (launcher.body) {
        ::close(report);
        closefrom(3);
        launcher.body();
        _exit(0);
    }
    execvpe(setup.program.constData(), setup.argv.data(), setup.envp.data());
    const int error = errno;
    (void)!write(report, &error, sizeof error);
    _exit(127);
}

} // namespace

struct Launcher::Private {
    pid_t pid = -1;
    bool ended = false;
    int status = 0;
};

struct Gate::Private {
    int fds[2] = {-1, -1};
};

Launcher::Launcher(const QString &folder, const QString &name)
    : name(name), program(watchdogBinary()), folder(folder), environment(testEnvironment()),
      out(folder + QLatin1Char('/') + name + QLatin1String(".out")),
      err(folder + QLatin1Char('/') + name + QLatin1String(".err")), d(std::make_unique<Private>())
{
    environment.insert(QStringLiteral("TMPDIR"), folder);
}

Launcher::~Launcher()
{
    kill();
}

bool Launcher::start()
{
    return launch(nullptr);
}

bool Launcher::start(Gate &gate)
{
    return launch(&gate);
}

bool Launcher::launch(Gate *gate)
{
    const int *const gateFds = gate ? gate->d->fds : nullptr;
    const ChildSetup setup{
        QFile::encodeName(program),
        CStrings(QByteArrayList{QFile::encodeName(program)} + encoded(arguments)),
        CStrings(encoded(environment.toStringList())),
        QFile::encodeName(folder),
        descend,
        QFile::encodeName(out),
        QFile::encodeName(err),
        *this};
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return false;
    d->pid = fork();
    if (d->pid == 0) {
        ::close(report[0]);
        runChild(setup, report[1], gateFds);
    }
    const int forkError = errno;
    ::close(report[1]);
    if (d->pid == -1) {
        ::close(report[0]);
        qWarning("cannot start %s: %s", qPrintable(program), std::strerror(forkError));
        return false;
    }
    setpgid(d->pid, d->pid);
    if (gateFds) { // it runs later, if at all
        ::close(report[0]);
        return true;
    }
    int error = 0;
    ssize_t got;
    do
        got = read(report[0], &error, sizeof error);
    while (got == -1 && errno == EINTR);
    ::close(report[0]);
    if (got != sizeof error)
        return true;
    qWarning("cannot start %s: %s", qPrintable(program), std::strerror(error));
    waitForExit();
    return false;
}

bool Launcher::makeFolders(const QByteArrayList &names)
{
    // Step by step: a path this long is no path to give.
    int dir = open(QFile::encodeName(folder).constData(), O_DIRECTORY | O_CLOEXEC);
    for (const QByteArray &step : descend) {
        const int next = openat(dir, step.constData(), O_DIRECTORY | O_CLOEXEC);
        ::close(dir);
        dir = next;
    }
    bool made = dir != -1;
    for (const QByteArray &name : names) {
        made = made && mkdirat(dir, name.constData(), 0777) == 0 &&
               fchmodat(dir, name.constData(), 0777, 0) == 0;
        const int next = made ? openat(dir, name.constData(), O_DIRECTORY | O_CLOEXEC) : -1;
        ::close(dir);
        dir = next;
        made = made && dir != -1;
        descend << name;
    }
    closeIfOpen(dir);
    return made;
}

std::optional<bool> Launcher::asleep() const
{
    return readAll(QStringLiteral("/proc/%1/syscall").arg(d->pid)).split(' ').value(0) ==
           QByteArray::number(SYS_clock_nanosleep);
}

qint64 Launcher::pid() const
{
    return d->pid;
}

bool Launcher::running()
{
    if (d->pid <= 0 || d->ended)
        return false;
    d->ended = waitRetrying(d->pid, &d->status, WNOHANG) == d->pid;
    return !d->ended;
}

bool Launcher::waitForExit(int timeoutMs)
{
    return waitFor([&] { return !running(); }, timeoutMs);
}

int Launcher::exitCode()
{
    return WIFEXITED(d->status) ? WEXITSTATUS(d->status) : 128 + WTERMSIG(d->status);
}

void Launcher::kill()
{
    if (!running())
        return;
    // Its group: what it started and waits for goes with it, and a
    // namespace's first process with its keeper.
    ::kill(-d->pid, SIGKILL);
    ::kill(d->pid, SIGKILL);
    d->ended = waitRetrying(d->pid, &d->status, 0) == d->pid;
}

QString Launcher::describe()
{
    if (d->pid <= 0)
        return QStringLiteral("never started");
    if (running())
        return QStringLiteral("running");
    if (WIFSIGNALED(d->status))
        return QStringLiteral("killed by signal %1").arg(WTERMSIG(d->status));
    return QStringLiteral("exited with code %1").arg(exitCode());
}

Gate::Gate() : d(std::make_unique<Private>())
{
    QCOMPARE(pipe2(d->fds, O_CLOEXEC), 0);
}

Gate::~Gate()
{
    open();
}

void Gate::open()
{
    closeIfOpen(d->fds[0]);
    closeIfOpen(d->fds[1]);
    d->fds[0] = d->fds[1] = -1;
}

} // namespace testsupport
