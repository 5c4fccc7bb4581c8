#include "console.h"

#include <iostream>

void writeConsole(const char *message)
{
    // A failed write (a full disk, a closed pipe) leaves the stream failed,
    // and a failed stream drops everything after it: each message gets its
    // own try, so a failure loses only the message it hit.
    std::cout.clear();
    // Flushed at once: the watchdog only ever ends by being killed, and child
    // processes write straight to the same stdout, so nothing may wait in the
    // buffer when a child starts, the thread sleeps or the process dies.
    std::cout << message << std::flush;
}
