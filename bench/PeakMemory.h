#pragma once
// The benchmarks' memory figure: the peak resident set size of the process
// so far, in MB (VmHWM, or getrusage where /proc has no status).
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/resource.h>

namespace kartivo::bench {

inline double PeakRssMb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atof(line.c_str() + 6) / 1024.0;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

} // namespace kartivo::bench
