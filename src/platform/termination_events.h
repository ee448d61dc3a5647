// Termination requests (SIGINT, SIGTERM) as a readable handle, for event
// loops that must notice them among other events. The signals must be
// blocked in every thread of the process (blockTerminationSignals) before
// any thread is started, or they keep their default effect.
#pragma once

#include "platform/poller.h"

namespace vantor::platform {

// A handle that is readable while a termination request is pending.
IoHandle openTerminationEvents();
void closeTerminationEvents(IoHandle handle);
// Consumes one pending request; false when none was pending.
bool takeTerminationEvent(IoHandle handle);
// Waits up to `timeoutMs` for a termination request; returns its signal
// number, or 0 when none arrived in time.
int waitTerminationSignalFor(int timeoutMs);

}  // namespace vantor::platform
