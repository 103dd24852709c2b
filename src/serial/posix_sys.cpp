#include "serial/posix_sys.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace lqs {

int PosixSys::open(const char* path, int flags) {
    return ::open(path, flags);
}
int PosixSys::close(int fd) {
    return ::close(fd);
}
ssize_t PosixSys::read(int fd, void* buf, size_t count) {
    return ::read(fd, buf, count);
}
ssize_t PosixSys::write(int fd, const void* buf, size_t count) {
    return ::write(fd, buf, count);
}
int PosixSys::poll(struct pollfd* fds, nfds_t n, int timeoutMs) {
    return ::poll(fds, n, timeoutMs);
}
int PosixSys::ioctl(int fd, unsigned long request, void* arg) {
    return ::ioctl(fd, request, arg);
}
int PosixSys::flock(int fd, int operation) {
    return ::flock(fd, operation);
}
int PosixSys::isatty(int fd) {
    return ::isatty(fd);
}
int PosixSys::tcgetattr(int fd, struct termios* t) {
    return ::tcgetattr(fd, t);
}
int PosixSys::tcsetattr(int fd, int actions, const struct termios* t) {
    return ::tcsetattr(fd, actions, t);
}
int PosixSys::tcflush(int fd, int queue) {
    return ::tcflush(fd, queue);
}
int PosixSys::eventfd(unsigned initval, int flags) {
    return ::eventfd(initval, flags);
}

std::shared_ptr<PosixSys> PosixSys::real() {
    static const std::shared_ptr<PosixSys> sys = std::make_shared<PosixSys>();
    return sys;
}

}  // namespace lqs
