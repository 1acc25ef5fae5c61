#pragma once
// How long the tests wait, named in one place. Every bound is generous for
// a loaded 2-core machine shared with other builds: a passing test never
// waits for one, it only decides how soon a test that fails says so. Tests
// wait on a state with these (Eventually.h), never sleep for them.

#include <windows.h>

namespace timeouts {

// A state that comes within moments when all is well: a file written, a
// line printed, a program run to its end, a service's status reported, a
// process or a service gone.
const DWORD state = 30000;

// How often a state is looked at while waiting for it.
const DWORD poll = 10;

// A lineset's toggle: longer than a lineset's period (a minute), so that a
// moment the program read too late on a loaded machine comes again within
// it.
const DWORD toggle = 90000;

// How long the service under test waits for a backup file that a test
// holds (the product's own wait is 2 s): far longer than any test holds it,
// so that no test races the product's wait.
const DWORD heldBackup = 120000;

}  // namespace timeouts
