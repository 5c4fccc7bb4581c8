#pragma once

#include <QSharedMemory>
#include <QSystemSemaphore>

// Keeps a second watchdog from running beside the first: the first instance
// holds a named 1-byte shared-memory segment for its whole life, and a named
// semaphore makes the test for it and its creation one step across processes.
class SingleInstanceGuard
{
  public:
    SingleInstanceGuard();
    ~SingleInstanceGuard();
    SingleInstanceGuard(const SingleInstanceGuard &) = delete;
    SingleInstanceGuard &operator=(const SingleInstanceGuard &) = delete;

    // Call once. False means this instance now holds the segment and may run.
    bool isAnotherInstanceRunning();

  private:
    QSystemSemaphore semaphore_;
    QSharedMemory memory_;
#ifdef Q_OS_LINUX
    int nameSocket_ = -1; // holds the instance's abstract socket name
#endif
};
