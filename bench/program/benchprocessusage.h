#pragma once

#include <sys/types.h>

// What the kernel counts for one running process: CPU time, resident memory, threads.
class BenchProcessUsage
{
public:
    explicit BenchProcessUsage(pid_t pid);

    // User and system CPU time so far, in seconds; negative when the process is gone.
    double cpuSeconds() const;
    double rssMiB() const;
    int threads() const;

private:
    long statusValue(const char *key) const;

    pid_t m_pid = 0;
};
