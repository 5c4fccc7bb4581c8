#include "startup.h"

// Windows gives a console program valid standard handles or none, has no
// signals of the Unix kind, hands orphans to nobody, and keeps a process's
// working folder from being deleted or renamed.

void fillClosedStandardStreams() {}

void prepareSignals() {}

void collectOrphans() {}

StartFolder startFolder()
{
    return {};
}

bool stillThere(StartFolder &)
{
    return true;
}
