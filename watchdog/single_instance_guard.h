#pragma once

#include <QSharedMemory>
#include <QSystemSemaphore>

// A name that one running watchdog of a user holds, which the system drops
// with the process however it ends. Its use differs per platform
// (single_instance_guard_linux.cpp, single_instance_guard_win.cpp); where there
// is none, take() says Unavailable and the segment alone decides.
class InstanceName
{
  public:
    // HeldByStranger: by someone other than a watchdog of this user, which
    // take() has said on stderr.
    enum Outcome { Taken, HeldByAnother, HeldByStranger, Unavailable };

    InstanceName() = default;
    ~InstanceName();
    InstanceName(const InstanceName &) = delete;
    InstanceName &operator=(const InstanceName &) = delete;

    // Call once; the name is held until destruction.
    Outcome take(const char *key);

  private:
    int handle_ = -1; // what holds the name, where the platform has one
};

// Another watchdog runs.
const int anotherInstanceExitStatus = 1;
// The instance name is held by someone other than a watchdog of this user.
const int nameTakenExitStatus = 4;

// Keeps a second watchdog from running beside the first. On Linux the
// instance name decides: the first instance holds it for its whole life.
// Where there is no instance name (Windows, or a Linux that refuses the
// socket) the named 1-byte shared-memory segment decides: the first instance
// holds it for its whole life, and a named semaphore makes the test for it
// and its creation one step across processes. Those two are made only then.
class SingleInstanceGuard
{
  public:
    SingleInstanceGuard();
    SingleInstanceGuard(const SingleInstanceGuard &) = delete;
    SingleInstanceGuard &operator=(const SingleInstanceGuard &) = delete;

    // Call once. It takes the guard as it asks: false means this instance now
    // holds the guard and may run; true means it must end.
    bool isAnotherInstanceRunning();
    // After a refusal: the exit status that says why.
    int refusalExitStatus() const { return refusalExitStatus_; }

  private:
    QSystemSemaphore semaphore_{QString()}; // keyed only where it is used
    QSharedMemory memory_;
    InstanceName name_;
    int refusalExitStatus_ = anotherInstanceExitStatus;
};
