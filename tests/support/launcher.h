#pragma once

// Starting the build's programs the way each test needs, on either platform
// (launcher_linux.cpp, launcher_win.cpp).

#include "support.h"

#include <QByteArrayList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <vector>

namespace testsupport
{

// A user id that nothing else on the machine runs as (Linux).
extern const uint spareUid;
// Whether this test may switch to spareUid and run the build's programs as
// it: as root, outside a user namespace that maps only a few ids, with every
// folder above the build tree open to other users (not so under /root).
// Never on Windows.
bool spareUserAvailable();
extern const char noSpareUser[];

// The environment of a test's watchdog: the programs in dir findable first,
// Qt's default log format, the log on stderr also where Windows has no
// console, a UTF-8 locale on Linux, and no PWD of the test's.
QProcessEnvironment testEnvironment(const QString &dir = standInDir());

// Makes these folders below folder, each in the one before and open to every
// user, named in bytes and step by step, so the path may be longer than any
// path may be (Linux).
bool makeFolders(const QString &folder, const QByteArrayList &names);

// Sets this process's limit of its user's processes to those the user runs
// already, so that no other can be started (Linux).
void useUpProcessLimit();

class Gate;

// A program a test runs, by default the watchdog: in folder, with the tests'
// environment and TMPDIR (where Qt keeps the guard's key files) the folder,
// its stdout and stderr appended to folder/NAME.out and NAME.err. Set up the
// fields, then start it. When the object goes, what still runs is killed and
// collected.
class Launcher
{
  public:
    explicit Launcher(const QString &folder, const QString &name = QStringLiteral("watchdog"));
    ~Launcher() { kill(); }
    Launcher(const Launcher &) = delete;
    Launcher &operator=(const Launcher &) = delete;

    QString name;
    QString program;
    QStringList arguments;
    QString folder;
    QProcessEnvironment environment;
    QString out;
    QString err;

    // Linux only:
    // Folders below folder, entered one step at a time: a path too long to
    // give, or one the program's user may search but not read above.
    QByteArrayList descend;
    uint uid = 0; // the user it runs as; 0: as the test
    // As some launchers leave a program: SIGCHLD and SIGHUP ignored, SIGUSR1 blocked.
    bool careless = false;
    // The first process of a new PID namespace, with an orphan that has
    // already ended and is not collected yet, and one that ends once a file
    // orphan.ends appears in its folder. pid() is then its keeper outside,
    // which ends with the status it ends with.
    bool asInit = false;
    int stdoutFd = -1; // stdout instead of out
    // fd 0, 1 and 2 closed once set up, as a careless starter may leave them.
    bool closeStandardStreams = false;
    // Run in the child instead of the program; it then ends with 0.
    std::function<void()> body;

    // The programs in dir found first.
    void findProgramsIn(const QString &dir);

    // Starts it, held at gate when one is given: it then runs once the gate
    // opens. False, said, where it could not be made.
    bool start(Gate *gate = nullptr);

    qint64 pid() const;
    bool running();
    bool waitForExit(int timeoutMs = eventTimeoutMs);
    // Once it has ended: its exit code; 128 + the signal that ended it on
    // Linux, -1 for a crash on Windows.
    int exitCode();
    void kill(); // at once; collected before this returns
    // Whether it sleeps now, where the system tells (Linux).
    std::optional<bool> asleep() const;
    // What became of it, for the message of a failed check.
    QString describe();
    QByteArray output() const { return readAll(out); }
    QByteArray errors() const { return readAll(err); }

  private:
    friend class Gate;
#ifdef Q_OS_WIN
    QProcess process_;
    const void *held_ = nullptr; // a held start's PROCESS_INFORMATION
#else
    qint64 pid_ = -1;
    int status_ = 0;
    bool ended_ = false;
#endif
};

// Holds programs started at it until it opens, so that several can be let go
// at once.
class Gate
{
  public:
    Gate();
    ~Gate() { open(); }
    Gate(const Gate &) = delete;
    Gate &operator=(const Gate &) = delete;
    void open();

  private:
    friend class Launcher;
#ifdef Q_OS_WIN
    std::vector<Launcher *> held_;
#else
    int fds_[2] = {-1, -1}; // the children wait until it closes
#endif
};

} // namespace testsupport
