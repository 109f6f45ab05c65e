// Moved to testing/test_pty.h; this name stays for code that still uses it.
#pragma once
#include "testing/test_pty.h"
