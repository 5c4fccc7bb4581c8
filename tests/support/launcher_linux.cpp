#include "launcher.h"

#include "process_table.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <csignal>
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
const char executableSuffix[] = "";
const char watchdogFileName[] = "watchdog";
const QByteArray systemSearchPath = "/usr/bin:/bin";
const uint spareUid = 3999999990u;
const char noSpareUser[] = "no user to switch to here, or the build tree is out of other "
                           "users' reach (below a folder such as /root, mode 0700)";
const int systemStartAttempts = 1;

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

void useUpProcessLimit()
{
    const rlimit used{rlim_t(tasksOf(getuid())), rlim_t(tasksOf(getuid()))};
    setrlimit(RLIMIT_NPROC, &used);
}

namespace
{

// Pointers for exec into strings that outlive the call.
std::vector<char *> pointers(QByteArrayList &strings)
{
    std::vector<char *> pointers;
    for (QByteArray &string : strings)
        pointers.push_back(string.data());
    pointers.push_back(nullptr);
    return pointers;
}

// In the child of a launcher with its own process group: becomes the program,
// or runs the body. Status 125 or 126: its set-up failed; 127: no exec.
[[noreturn]] void becomeProgram(const Launcher &launcher, const int gate[2], char *const argv[],
                                char *const envp[], const QByteArrayList &paths)
{
    if (gate) {
        ::close(gate[1]);
        char byte;
        while (read(gate[0], &byte, 1) > 0) {
        }
    }
    if (chdir(paths.at(0).constData()) != 0)
        _exit(125);
    for (const QByteArray &step : launcher.descend) {
        if (chdir(step.constData()) != 0)
            _exit(125);
    }
    const int append = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
    const int out =
        launcher.stdoutFd != -1 ? launcher.stdoutFd : open(paths.at(1).constData(), append, 0644);
    if (out == -1 || dup2(out, 1) == -1 ||
        dup2(open(paths.at(2).constData(), append, 0644), 2) == -1 ||
        dup2(open("/dev/null", O_RDONLY | O_CLOEXEC), 0) == -1)
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
        const pid_t init = unshare(CLONE_NEWPID) == 0 ? fork() : -1;
        if (init == -1)
            _exit(125);
        if (init > 0) { // the keeper
            closefrom(3);
            int status = 0;
            waitpid(init, &status, 0);
            _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        }
        const pid_t orphan = fork();
        if (orphan == 0)
            _exit(0);
        siginfo_t ended;
        waitid(P_PID, id_t(orphan), &ended, WEXITED | WNOWAIT); // ended, not collected
        if (fork() == 0) {                                      // one that ends later
            while (access("orphan.ends", F_OK) != 0)
                usleep(10000);
            _exit(0);
        }
    }
    if (launcher.uid != 0 && (setgroups(0, nullptr) != 0 || setgid(gid_t(launcher.uid)) != 0 ||
                              setuid(launcher.uid) != 0))
        _exit(126);
    if (launcher.body) {
        closefrom(3);
        launcher.body();
        _exit(0);
    }
    execvpe(argv[0], argv, envp);
    _exit(127);
}

} // namespace

// The child is made ready here, so that it only makes system calls (bar a
// body, which runs as the test does). It runs in a process group of its own,
// which a kill ends as a whole.
bool Launcher::start(Gate *gate)
{
    QByteArrayList words{QFile::encodeName(program)};
    for (const QString &argument : arguments)
        words << QFile::encodeName(argument);
    QByteArrayList variables;
    for (const QString &variable : environment.toStringList())
        variables << QFile::encodeName(variable);
    const std::vector<char *> argv = pointers(words);
    const std::vector<char *> envp = pointers(variables);
    const QByteArrayList paths{QFile::encodeName(folder), QFile::encodeName(out),
                               QFile::encodeName(err)};
    pid_ = fork();
    if (pid_ == 0) {
        setpgid(0, 0);
        becomeProgram(*this, gate ? gate->fds_ : nullptr, argv.data(), envp.data(), paths);
    }
    if (pid_ == -1) {
        qWarning("cannot start %s: %s", qPrintable(program), strerror(errno));
        return false;
    }
    setpgid(pid_t(pid_), pid_t(pid_));
    return true;
}

bool makeFolders(const QString &folder, const QByteArrayList &names)
{
    int dir = open(QFile::encodeName(folder).constData(), O_DIRECTORY | O_CLOEXEC);
    for (const QByteArray &name : names) {
        const bool made = dir != -1 && mkdirat(dir, name.constData(), 0777) == 0 &&
                          fchmodat(dir, name.constData(), 0777, 0) == 0;
        const int next = made ? openat(dir, name.constData(), O_DIRECTORY | O_CLOEXEC) : -1;
        ::close(dir);
        dir = next;
    }
    return dir != -1 && ::close(dir) == 0;
}

std::optional<bool> Launcher::asleep() const
{
    return readAll(QStringLiteral("/proc/%1/syscall").arg(pid_)).split(' ').value(0) ==
           QByteArray::number(SYS_clock_nanosleep);
}

qint64 Launcher::pid() const
{
    return pid_;
}

bool Launcher::running()
{
    if (pid_ > 0 && !ended_) {
        // Not ours to collect any more: collected by another (a body's kill).
        const pid_t got = waitpid(pid_t(pid_), &status_, WNOHANG);
        ended_ = got == pid_ || (got == -1 && errno == ECHILD);
    }
    return pid_ > 0 && !ended_;
}

int Launcher::exitCode()
{
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

void Launcher::kill()
{
    if (pid_ <= 0)
        return;
    // Its group: what it started goes with it (a script's sleep, say), and a
    // namespace's first process with its keeper.
    ::kill(-pid_t(pid_), SIGKILL);
    if (!running())
        return;
    ::kill(pid_t(pid_), SIGKILL);
    ended_ = waitpid(pid_t(pid_), &status_, 0) == pid_;
}

QString Launcher::describe()
{
    if (pid_ <= 0)
        return QStringLiteral("never started");
    if (running())
        return QStringLiteral("running");
    if (WIFSIGNALED(status_))
        return QStringLiteral("killed by signal %1").arg(WTERMSIG(status_));
    return QStringLiteral("exited with code %1").arg(exitCode());
}

Gate::Gate()
{
    QCOMPARE(pipe2(fds_, O_CLOEXEC), 0);
}

void Gate::open()
{
    for (int &fd : fds_) {
        if (fd != -1)
            ::close(fd);
        fd = -1;
    }
}

} // namespace testsupport
