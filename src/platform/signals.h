#pragma once

namespace vantor::platform {

// Blocks SIGINT and SIGTERM (or the platform's console events) in the calling
// thread and in every thread it creates afterwards. Call before starting threads.
void blockTerminationSignals();
// Waits until a termination request arrives; returns its signal number.
int waitTerminationSignal();

}  // namespace vantor::platform
