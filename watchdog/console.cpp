#include "console.h"

#include <iostream>

void writeConsole(const char *message)
{
    // Flushed at once: the watchdog only ever ends by being killed, and child
    // processes write straight to the same stdout, so nothing may wait in the
    // buffer when a child starts, the thread sleeps or the process dies.
    std::cout << message << std::flush;
}
