#pragma once

// The number of operator new calls the test program has made so far; it lives
// in its own file so that the replaced operators are never inlined.
long allocationCount();
