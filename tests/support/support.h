#pragma once

// What the tests share: the console bytes they expect, the programs the build
// made, fake command-line tools, stdout capture, waiting for an event, and
// confinement. Processes: launcher.h and process_table.h.

#include <QByteArray>
#include <QString>
#include <QtTest>
#include <functional>
#include <thread>

namespace testsupport
{

extern const bool onWindows;
// Per platform: ".exe" or nothing; the watchdog's file name; the system's
// own search path.
extern const char executableSuffix[];
extern const char watchdogFileName[];
extern const QByteArray systemSearchPath;

// Text as a console program writes it: on Windows stdout and stderr are in
// text mode, which ends lines with CR LF.
QByteArray console(QByteArray text);

// The console bytes of a message, encoded here independently of the program.
QByteArray cp1251(const char *utf8);
QByteArray banner();
QByteArray firstStart();
QByteArray worksNormally();
QByteArray hung();
QByteArray starting();
QByteArray started();
QByteArray startFailed();

// What the fake kill tools print over one recovery: a line per run, taskkill
// running twice.
QByteArray fakeKillToolOutput();

// Programs of this build, found beside the test's own folder.
QString builtFile(const QString &relativePath);
// A program's file name here: with ".exe" on Windows.
QString executable(const QString &name);
QString watchdogBinary();
QString standInDir();

// A search path with dir first, then the system's own folders.
QByteArray searchPathWith(const QString &dir);

QByteArray readAll(const QString &path);

// Bytes as text for a message: printable ASCII as it is, the rest escaped.
QByteArray printable(const QByteArray &bytes);

// A copy of the fake tool (fake_tool.cpp) in dir, as fileName. Windows looks
// for programs in the working folder before its own, so a copy there comes
// first; elsewhere dir must come first on PATH.
void writeFakeTool(const QString &dir, const QString &fileName);
// The kill tools the recovery runs: taskkill and tskill.
void writeFakeKillTools(const QString &dir);

// How long a test waits for something that is bound to happen: generous,
// since a loaded machine may be slow, and waitFor returns as soon as it does.
constexpr int eventTimeoutMs = 20000;
bool waitFor(const std::function<bool()> &condition, int timeoutMs = eventTimeoutMs);

// Points fd 1 at a file for the life of the object, so in-process output can
// be compared byte for byte. Held, it points at a full pipe instead, which
// takes nothing (as a console paused by a selection) until release() lets
// what comes through on to the file.
class StdoutCapture
{
  public:
    explicit StdoutCapture(const QString &path, bool held = false);
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;
    bool held() const { return pipeEnd_ != -1; }
    void release();
    QByteArray take();

  private:
    void restore();
    QString path_;
    int saved_ = -1;
    int pipeEnd_ = -1; // the reading end of a held one
    qint64 filler_ = 0;
    std::thread drain_;
};

// A pipe whose writing end (fds[1]) takes nothing more, filled with the
// number of bytes returned; -1 where none is made (Linux, whose console
// writes are bounded).
qint64 fullPipe(int fds[2]);

// Tests that run the real binary, or kill by name, run confined: on Linux
// through confined.sh as the first process of private namespaces, under Wine
// through wine.sh in a Wine prefix of their own. All they can see is their own.
bool confined();
#define REQUIRE_CONFINEMENT()                                                                      \
    do {                                                                                           \
        if (!testsupport::confined())                                                              \
            QSKIP("not confined (run it through ctest): it would meet processes "                  \
                  "and guard names it did not make");                                              \
    } while (false)

// How often a run that a start the system failed to make spoiled is tried
// (Wine's CreateProcess now and then fails under load): once elsewhere.
extern const int systemStartAttempts;

// The stand-in prints a line of its own when it starts, on the console it
// shares with the watchdog, so it can land anywhere in the watchdog's output.
QByteArray withoutStandInLines(const QByteArray &output);

// The start line of a stand-in: its working folder and its arguments, each
// in double quotes and separated by spaces; empty if it never appeared.
struct StandInStart {
    QString directory;
    QString arguments;
};
// The start line of stand-in pid, from the log it keeps in dir, once there.
StandInStart standInStart(const QString &dir, qint64 pid);

// Where a program's stdout goes: "" a file in dir; "full disk" a file on a
// small file system filled up to its last byte; "stopped terminal" a terminal
// that Ctrl+S stopped (Linux both). Either takes nothing until released.
class Output
{
  public:
    Output(const QString &dir, const QString &kind);
    ~Output();
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    QString path;       // for the program to open
    QString skipReason; // where it cannot be made here
    QString failure;

    // Makes room on the disk, or resumes the terminal (Ctrl+Q).
    bool release();
    // All it has taken so far.
    QByteArray shown();

  private:
    QString disk_;
    int terminal_ = -1;
    QByteArray shownOnTerminal_;
};

// The console window that stdout shows, where there is one (Windows): its
// text from where the cursor stood when this was made, and QuickEdit.
class ConsoleWindow
{
  public:
    ConsoleWindow();
    bool exists() const { return exists_; }
    // Whether this process has a console window at all, wherever stdout goes.
    static bool attached();
    bool quickEdit() const;
    bool setQuickEdit(bool on);
    // The first lines written since, as one line of text.
    QString textWritten() const;

  private:
    bool exists_ = false;
    int column_ = 0;
    int row_ = 0;
    int width_ = 0;
};

} // namespace testsupport
