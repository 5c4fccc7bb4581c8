#include "recovery_platform.h"

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <QtDebug>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

// An argument vector for exec, owning its strings.
class ArgumentVector
{
  public:
    explicit ArgumentVector(const QList<QByteArray> &words) : words_(words)
    {
        for (QByteArray &word : words_)
            pointers_.push_back(word.data());
        pointers_.push_back(nullptr);
    }
    char *const *data() const { return pointers_.data(); }
    const char *program() const { return pointers_.front(); }

  private:
    QList<QByteArray> words_;
    std::vector<char *> pointers_;
};

// In a child: every signal at its default and none blocked, whatever the
// watchdog inherited, then the program, found through PATH. Not posix_spawn:
// glibc's leaves its own internal signals ignored. Should exec fail, its
// errno goes to the close-on-exec pipe report.
[[noreturn]] void execProgram(const ArgumentVector &arguments, int report)
{
    struct sigaction defaultAction = {};
    defaultAction.sa_handler = SIG_DFL;
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber)
        sigaction(signalNumber, &defaultAction, nullptr);
    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigprocmask(SIG_SETMASK, &noSignals, nullptr);
    execvp(arguments.program(), arguments.data());
    const int error = errno;
    (void)!write(report, &error, sizeof error);
    _exit(127);
}

// What the children wrote to the report pipe: 0 when it closed with nothing
// in it, which a successful exec does.
int readReport(int report)
{
    int error = 0;
    ssize_t got;
    do
        got = read(report, &error, sizeof error);
    while (got == -1 && errno == EINTR);
    close(report);
    return got == sizeof error ? error : 0;
}

void waitForChild(pid_t child)
{
    while (waitpid(child, nullptr, 0) == -1 && errno == EINTR) {
    }
}

// A program that is not installed needs no word: taskkill and tskill never
// are here, and a missing Gorsebright is what "ошибка" says. Anything else (a
// used-up process limit, above all) would go unseen.
void sayCannotStart(const char *what, int error)
{
    if (error != 0 && error != ENOENT)
        qWarning("watchdog: cannot start \"%s\": %s", what, std::strerror(error));
}

// For the kill tools, only what an operator must act on: glibc says EACCES,
// not ENOENT, for a tool that is missing where a folder on PATH cannot be
// searched, at every recovery.
void sayCannotStartTool(const char *what, int error)
{
    if (error == EAGAIN || error == ENOMEM || error == EMFILE || error == ENFILE)
        sayCannotStart(what, error);
}

const int killWaitMs = 2000;

// The last part of a path; a program run by Wine has a Windows path.
QByteArray lastPart(const QByteArray &path)
{
    return path.mid(qMax(path.lastIndexOf('/'), path.lastIndexOf('\\')) + 1);
}

// Names compare as taskkill compares image names: in any case.
bool sameName(const QByteArray &a, const QByteArray &b)
{
    return qstricmp(a.constData(), b.constData()) == 0;
}

QByteArray readProcFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Whether the process at /proc/PID is one a user calls name:
// - its first argument names it: as the relaunch, a shell or Wine (with a
//   Windows path) started it, also after it renamed its thread;
// - its program file is it, also when started under another first argument
//   or replaced on disk;
// - a script of that name run through its #! line: the kernel names the
//   process after the script (15 bytes of it), and the interpreter comes
//   first, then the #! line's option, if any, then the script.
// A program named only like it (gorsebright.exe-updater, whose 15 bytes are
// the same) is named after its own first argument, even when it is given the
// name as an argument; a viewer of the file (tail -f) after itself. A script
// started through #!/usr/bin/env runs as its interpreter and is not found.
bool runsProgram(const QString &proc, const QByteArray &name)
{
    const QList<QByteArray> arguments = readProcFile(proc + QLatin1String("/cmdline")).split('\0');
    const QByteArray first = lastPart(arguments.first());
    if (sameName(first, name))
        return true;
    QByteArray file = QFile::encodeName(QFile::symLinkTarget(proc + QLatin1String("/exe")));
    if (file.endsWith(" (deleted)"))
        file.chop(int(sizeof " (deleted)" - 1));
    if (sameName(lastPart(file), name))
        return true;
    QByteArray kernelName = readProcFile(proc + QLatin1String("/comm"));
    kernelName.chop(1); // its line end
    if (!sameName(kernelName, name.left(15)) || first.left(15) == kernelName)
        return false;
    for (int i = 1; i <= 2 && i < arguments.size(); ++i) {
        const QByteArray script = lastPart(arguments.at(i));
        if (script.left(15) == kernelName)
            return sameName(script, name);
    }
    return false;
}

// A file in memory that takes whatever a tool writes at once; -1 when none
// can be made, and the tool then writes to our own streams.
int heldStream(const char *name)
{
    return memfd_create(name, MFD_CLOEXEC);
}

void takeHeld(int held, QByteArray &into)
{
    if (held == -1)
        return;
    QFile file;
    if (lseek(held, 0, SEEK_SET) == 0 && file.open(held, QIODevice::ReadOnly))
        into += file.readAll();
    file.close();
    close(held);
}

} // namespace

void runToCompletion(const char *commandLine, Recovery &recovery)
{
    const ArgumentVector arguments(QByteArray(commandLine).split(' '));
    int report[2];
    if (pipe2(report, O_CLOEXEC) == -1) {
        sayCannotStartTool(commandLine, errno);
        return;
    }
    const int output = heldStream("tool output");
    const int errors = heldStream("tool errors");
    const pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        if (output != -1)
            dup2(output, STDOUT_FILENO);
        if (errors != -1)
            dup2(errors, STDERR_FILENO);
        execProgram(arguments, report[1]);
    }
    const int forkError = errno;
    close(report[1]);
    const int error = readReport(report[0]);
    if (child != -1)
        waitForChild(child);
    takeHeld(output, recovery.toolOutput);
    takeHeld(errors, recovery.toolErrors);
    sayCannotStartTool(commandLine, child == -1 ? forkError : error);
}

// taskkill and tskill do not exist here; without this the hung program would
// keep running beside its replacement. Done here, not by pkill: it needs no
// new process, which a hung program that used up the process limit would
// deny. Only this user's processes: taskkill, run by a user, ends only what
// that user may end.
void killByNameInProcess(const char *programName)
{
    const QByteArray name(programName);
    const QString self = QString::number(getpid());
    const QStringList entries =
        QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    static bool saidNoProc = false;
    if (!entries.contains(self) && !saidNoProc) {
        saidNoProc = true;
        qWarning("watchdog: /proc does not show this process here (not mounted?), so it cannot "
                 "find %s by name to kill it; a hung one keeps running beside the relaunched",
                 programName);
    }
    std::vector<pid_t> killed;
    for (const QString &entry : entries) {
        bool isPid = false;
        const pid_t pid = pid_t(entry.toInt(&isPid));
        const QString proc = QLatin1String("/proc/") + entry;
        struct stat owner = {};
        // One gone meanwhile is passed over.
        if (isPid && entry != self && stat(QFile::encodeName(proc).constData(), &owner) == 0 &&
            owner.st_uid == geteuid() && runsProgram(proc, name) && kill(pid, SIGKILL) == 0)
            killed.push_back(pid);
    }
    // Until a killed process has been collected, it holds its place under the
    // user's process limit, which the relaunch may need; it may also still
    // hold what its replacement will want. One of our own children (always
    // so as a container's first process) is collected here; others are
    // waited for, a short while only.
    QElapsedTimer waited;
    waited.start();
    for (const pid_t pid : killed) {
        while (waitpid(pid, nullptr, WNOHANG) != pid && kill(pid, 0) == 0 &&
               waited.elapsed() < killWaitMs)
            QThread::msleep(10);
    }
}

// Qt 5's QProcess::startDetached hands SIGPIPE to the new program ignored.
// This starts it the same way otherwise (own session, not our child, found
// through PATH, in our working directory) but as execProgram leaves it.
bool startDetached(const QString &program, const QStringList &arguments)
{
    QList<QByteArray> words{QFile::encodeName(program)};
    for (const QString &argument : arguments)
        words << QFile::encodeName(argument);
    const ArgumentVector argumentVector(words);
    int report[2];
    if (pipe2(report, O_CLOEXEC) == -1) {
        sayCannotStart(argumentVector.program(), errno);
        return false;
    }
    const pid_t child = fork();
    if (child == 0) {
        // The intermediate child only detaches the program: it ends at once,
        // so the program is not ours to wait for.
        close(report[0]);
        setsid();
        const pid_t detached = fork();
        if (detached == 0)
            execProgram(argumentVector, report[1]);
        if (detached == -1) {
            const int error = errno;
            (void)!write(report[1], &error, sizeof error);
        }
        _exit(0);
    }
    const int forkError = errno;
    close(report[1]);
    // The pipe closes once the program runs or its start has failed.
    int error = readReport(report[0]);
    if (child == -1)
        error = forkError;
    else
        waitForChild(child);
    sayCannotStart(argumentVector.program(), error);
    return error == 0;
}
