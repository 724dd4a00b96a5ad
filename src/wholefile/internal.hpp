// The internals of the whole-file module on the system being built for, for the module's own
// tests: posix/internal.hpp or windows/internal.hpp, each of which the files of its platform
// include directly.
#pragma once

#if defined(_WIN32)
#include "windows/internal.hpp"
#else
#include "posix/internal.hpp"
#endif
