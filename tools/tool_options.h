// tool_options.h - the options every tool answers alike: -h/--help and
// --version (the project's version, CAUSTIC_VERSION, set by the build).
#ifndef TOOL_OPTIONS_H
#define TOOL_OPTIONS_H

#include <cerrno>
#include <cstdio>
#include <cstring>

// -1 when arg is neither option. Otherwise prints the usage, or the tool's
// name and version, on standard output and returns the exit status: 0, or 1
// when standard output did not take it (a full disk, a closed pipe).
inline int answer_help_or_version(const char *arg, const char *tool, void (*usage)(FILE *))
{
    if (!strcmp(arg, "-h") || !strcmp(arg, "--help"))
        usage(stdout);
    else if (!strcmp(arg, "--version"))
        printf("%s %s\n", tool, CAUSTIC_VERSION);
    else
        return -1;
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "%s: standard output: %s\n", tool, strerror(errno));
        return 1;
    }
    return 0;
}

#endif
