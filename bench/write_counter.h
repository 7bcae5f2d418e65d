#pragma once
// Counts the write(2) and writev(2) calls this process makes on one file
// descriptor (see write_counter.cpp for how).

namespace korvane::bench {

struct WriteCount {
    unsigned long calls = 0;
    unsigned long bytes = 0;
};

/// From now on count the writes on fd (-1: none).
void watchWrites(int fd);
/// Calls and bytes counted since the start of the process.
WriteCount writesSoFar();

} // namespace korvane::bench
