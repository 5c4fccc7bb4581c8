#include "startup.h"

// Windows gives a console program valid standard handles or none, has no
// signals of the Unix kind, and keeps a process's working folder from being
// deleted or renamed.

void fillClosedStandardStreams() {}

void prepareSignals() {}

StartFolder startFolder()
{
    return {};
}

bool stillThere(const StartFolder &)
{
    return true;
}
