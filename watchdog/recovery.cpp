#include "recovery.h"

#include "console.h"

#include <QProcess>
#include <QStringList>
#include <QtDebug>
#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <QFile>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#else
#include <windows.h>
#endif

namespace
{

const char watchedProgram[] = "gorsebright.exe";
const char restoreArgument[] = "crash_restore";

struct KillCommand {
    const char *line;
    bool required; // said on stderr when it cannot be run
};
const KillCommand killCommands[] = {
    // tskill is missing from some Windows editions: the taskkill lines do the work.
    {"taskkill /f /im gorsebright.exe", false},
    {"taskkill /f /im gorsebright.exe", false},
    {"tskill gorsebright /a /v", false},
#ifdef Q_OS_UNIX
    // taskkill and tskill do not exist here; without this the hung program
    // would keep running beside its replacement. pkill matches the kernel's
    // process name, which keeps 15 bytes: a longer one would never match.
    {"pkill -KILL -x gorsebright.exe", true},
#endif
};
#ifdef Q_OS_UNIX
static_assert(sizeof watchedProgram - 1 <= 15, "pkill -x would miss a longer process name");
#endif

// "Запускаем..."
const char startingMessage[] = "\xc7\xe0\xef\xf3\xf1\xea\xe0\xe5\xec...";
const char startedMessage[] = "ok\n";
// "ошибка\n"
const char startFailedMessage[] = "\xee\xf8\xe8\xe1\xea\xe0\n";

// Runs a command line through the program search, with its output on our
// console, and waits for it without a time limit. Its status does not matter,
// but a required tool that cannot be run at all leaves the hung program
// running beside its replacement, so that is said.
void runToCompletion(const KillCommand &command)
{
    const QString commandLine = QString::fromLatin1(command.line);
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    QStringList arguments = QProcess::splitCommand(commandLine);
    const QString program = arguments.takeFirst();
    const int status = QProcess::execute(program, arguments);
#else
    const int status = QProcess::execute(commandLine);
#endif
    if (status == -2 && command.required)
        qWarning("watchdog: cannot run \"%s\" (is it installed and on PATH?), so a hung %s "
                 "was not killed",
                 command.line, watchedProgram);
}

#ifdef Q_OS_UNIX
// Qt 5's QProcess::startDetached hands SIGPIPE to the new program ignored.
// This starts it the same way otherwise (own session, not our child, found
// through PATH, in our working directory) but with every signal at its
// default and none blocked, whatever the watchdog itself inherited.
bool startDetached(const QString &program, const QStringList &arguments)
{
    std::vector<QByteArray> encoded{QFile::encodeName(program)};
    for (const QString &argument : arguments)
        encoded.push_back(QFile::encodeName(argument));
    std::vector<char *> argv;
    for (QByteArray &item : encoded)
        argv.push_back(item.data());
    argv.push_back(nullptr);

    const pid_t child = fork();
    if (child == -1)
        return false;
    if (child == 0) {
        // The intermediate child only detaches the program and reports
        // through its exit status whether the program could be started: a
        // successful exec closes the report pipe without a byte written.
        setsid();
        int report[2];
        if (pipe2(report, O_CLOEXEC) == -1)
            _exit(1);
        const pid_t program = fork();
        if (program == 0) {
            // Not posix_spawn: glibc's leaves its own internal signals ignored.
            struct sigaction defaultAction = {};
            defaultAction.sa_handler = SIG_DFL;
            for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber)
                sigaction(signalNumber, &defaultAction, nullptr);
            sigset_t noSignals;
            sigemptyset(&noSignals);
            sigprocmask(SIG_SETMASK, &noSignals, nullptr);
            execvp(argv[0], argv.data());
            const char failed = 1;
            (void)!write(report[1], &failed, 1);
            _exit(127);
        }
        close(report[1]);
        char failed = 0;
        _exit(program != -1 && read(report[0], &failed, 1) == 0 ? 0 : 1);
    }
    int status = 0;
    pid_t waited;
    do
        waited = waitpid(child, &status, 0);
    while (waited == -1 && errno == EINTR);
    return waited == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
#else
bool startDetached(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    // Sharing our console but not our process group, it is not ended by a
    // Ctrl+C that ends the watchdog.
    process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments *create) {
        create->flags |= CREATE_NEW_PROCESS_GROUP;
    });
    return process.startDetached();
}
#endif

} // namespace

void recoverWatchedProgram()
{
    for (const KillCommand &command : killCommands)
        runToCompletion(command);

    writeConsole(startingMessage);
    const bool started = startDetached(QString::fromLatin1(watchedProgram),
                                       QStringList{QString::fromLatin1(restoreArgument)});
    writeConsole(started ? startedMessage : startFailedMessage);
}
