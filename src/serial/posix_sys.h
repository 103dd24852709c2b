// The system calls the POSIX serial backend makes, behind one seam, so tests
// can stand in for what a pseudo-terminal cannot produce: line-error and
// modem counters, marked byte streams, failing calls.
#pragma once

#include <poll.h>
#include <sys/types.h>
#include <termios.h>

#include <memory>

namespace lqs {

class PosixSys {
public:
    virtual ~PosixSys() = default;
    virtual int open(const char* path, int flags);
    virtual int close(int fd);
    virtual ssize_t read(int fd, void* buf, size_t count);
    virtual ssize_t write(int fd, const void* buf, size_t count);
    virtual int poll(struct pollfd* fds, nfds_t n, int timeoutMs);
    virtual int ioctl(int fd, unsigned long request, void* arg);
    virtual int flock(int fd, int operation);
    virtual int isatty(int fd);
    virtual int tcgetattr(int fd, struct termios* t);
    virtual int tcsetattr(int fd, int actions, const struct termios* t);
    virtual int tcflush(int fd, int queue);
    virtual int eventfd(unsigned initval, int flags);

    static std::shared_ptr<PosixSys> real();
};

}  // namespace lqs
