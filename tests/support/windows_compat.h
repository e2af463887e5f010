// Windows only, included before every test source of a Windows build: the
// few POSIX calls the tests use (environment, process id, pipes), spelt the
// way Windows' C library spells them. The plug-in and the host never
// include this.
#pragma once

#if defined(_WIN32)
#include <process.h>
#include <stdio.h>
#include <stdlib.h>

inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && getenv(name) != nullptr) return 0;
    return _putenv_s(name, value);
}
inline int unsetenv(const char* name) {
    return _putenv_s(name, "");
}
#ifndef popen
#define popen _popen
#define pclose _pclose
#endif
#endif
