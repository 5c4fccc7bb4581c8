#include "single_instance_guard.h"

// The guard's objects are kernel objects of the logon session here, which the
// system drops with their last holder: the segment alone decides.
InstanceName::~InstanceName() = default;

InstanceName::Outcome InstanceName::take(const char *)
{
    return Unavailable;
}
