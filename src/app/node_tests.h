// The node tests (TCP, UDP relay, the exit address) as the window's test
// window and `vantor test` run them: the runner and its targets,
// re-exported for the front ends.
#pragma once

#include "app/types.h"
#include "diag/node_test_run.h"
#include "diag/node_testing.h"
