// Counts the write(2) calls made on one file descriptor of this process.
//
// The benchmark executable is linked with its symbols exported, so this
// definition of write() (and writev()) takes the place of the C library's
// for every shared library in the process, Qt's serial-port code among them.
// Each call on the watched descriptor is counted, then passed on unchanged
// as the system call itself.

#include "write_counter.h"

#include <atomic>

#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {
std::atomic<int> watchedFd{-1};
std::atomic<unsigned long> callCount{0};
std::atomic<unsigned long> byteCount{0};

void count(int fd, size_t bytes)
{
    if (fd >= 0 && fd == watchedFd.load(std::memory_order_relaxed)) {
        callCount.fetch_add(1, std::memory_order_relaxed);
        byteCount.fetch_add(bytes, std::memory_order_relaxed);
    }
}
} // namespace

extern "C" ssize_t write(int fd, const void *buf, size_t n)
{
    count(fd, n);
    return ssize_t(::syscall(SYS_write, fd, buf, n));
}

extern "C" ssize_t writev(int fd, const struct iovec *iov, int iovcnt)
{
    size_t bytes = 0;
    for (int i = 0; i < iovcnt; ++i)
        bytes += iov[i].iov_len;
    count(fd, bytes);
    return ssize_t(::syscall(SYS_writev, fd, iov, iovcnt));
}

namespace korvane::bench {

void watchWrites(int fd)
{
    watchedFd.store(fd, std::memory_order_relaxed);
}

WriteCount writesSoFar()
{
    return {callCount.load(std::memory_order_relaxed), byteCount.load(std::memory_order_relaxed)};
}

} // namespace korvane::bench
