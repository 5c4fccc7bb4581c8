#include "recovery_platform.h"

#include <QByteArray>
#include <QFile>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

// taskkill and tskill do not exist here; without this the hung program
// would keep running beside its replacement. pkill matches the kernel's
// process name, which keeps 15 bytes: a longer one would never match.
const char killByNameLine[] = "pkill -KILL -x gorsebright.exe";
static_assert(sizeof "gorsebright.exe" - 1 <= 15, "pkill -x would miss a longer process name");

} // namespace

void killByNameWhereNoTaskkill()
{
    runToCompletion({killByNameLine, true});
}

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
