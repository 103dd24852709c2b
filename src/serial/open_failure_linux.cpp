// Linux: the node's group and /proc say why a port is out of reach.
#include "serial/open_failure.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace lqs {

namespace {

// Unix98 pseudo-terminals: the slaves' major and the master multiplexer (ptmx).
constexpr unsigned kPtySlaveMajor = 136;
constexpr unsigned kPtmxMajor = 5;
constexpr unsigned kPtmxMinor = 2;

bool isPtySlave(const struct stat& st) {
    return S_ISCHR(st.st_mode) && major(st.st_rdev) == kPtySlaveMajor;
}

bool isPtyMaster(const struct stat& st) {
    return S_ISCHR(st.st_mode) && major(st.st_rdev) == kPtmxMajor &&
           minor(st.st_rdev) == kPtmxMinor;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    // Each devpts instance numbers its slaves from 0, so the instance must match too.
    if (isPtySlave(a) && isPtySlave(b)) return a.st_rdev == b.st_rdev && a.st_dev == b.st_dev;
    // A device is the same device through any node that names it.
    if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode)) return a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string programOf(int pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// flock and POSIX locks: "1: FLOCK  ADVISORY  WRITE <pid> <maj>:<min>:<inode> 0 EOF".
int lockHolder(const struct stat& target) {
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream in(line);
        std::vector<std::string> t;
        for (std::string word; in >> word;) t.push_back(word);
        if (t.size() < 6 || t[1] == "->") continue;  // "->" marks a waiter, not a holder
        unsigned maj = 0, min = 0;
        unsigned long long ino = 0;
        if (std::sscanf(t[5].c_str(), "%x:%x:%llu", &maj, &min, &ino) != 3) continue;
        if (maj != major(target.st_dev) || min != minor(target.st_dev) || ino != target.st_ino)
            continue;
        const int pid = std::atoi(t[4].c_str());
        if (pid > 0) return pid;  // locks from another pid namespace read 0 or -1
    }
    return 0;
}

// The slave a master descriptor belongs to, from "tty-index:" in its fdinfo;
// -1 when the kernel does not say.
int masterIndex(const std::string& fdinfo) {
    std::ifstream in(fdinfo);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 10, "tty-index:") == 0) return std::atoi(line.c_str() + 10);
    return -1;
}

// A process other than this one with target open, the far end of a
// pseudo-terminal left out.
int descriptorHolder(const struct stat& target) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const int self = int(::getpid());
    const bool slave = isPtySlave(target);
    const int index = slave ? int(minor(target.st_rdev)) : -1;
    for (fs::directory_iterator p("/proc", ec), end; !ec && p != end; p.increment(ec)) {
        const std::string name = p->path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        const int pid = std::atoi(name.c_str());
        if (pid == self) continue;
        bool holds = false;
        bool farEnd = false;
        std::error_code fdEc;
        for (fs::directory_iterator fd(p->path() / "fd", fdEc), fdEnd; !fdEc && fd != fdEnd;
             fd.increment(fdEc)) {
            struct stat st {};
            if (::stat(fd->path().c_str(), &st) != 0) continue;
            if (sameFile(st, target)) {
                holds = true;
            } else if (slave && isPtyMaster(st)) {
                // Where the kernel does not tell the index, any master may be the
                // far end: better to let a holder through than refuse the simulator.
                const std::string info = (p->path() / "fdinfo" / fd->path().filename()).string();
                const int i = masterIndex(info);
                farEnd = farEnd || i < 0 || i == index;
            }
        }
        if (holds && !farEnd) return pid;
    }
    return 0;
}

bool processHasGroup(gid_t gid) {
    if (::getegid() == gid) return true;
    const int n = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(std::size_t(n > 0 ? n : 0));
    const int got = n > 0 ? ::getgroups(n, groups.data()) : 0;
    for (int i = 0; i < got; ++i)
        if (groups[std::size_t(i)] == gid) return true;
    return false;
}

// Whether the account is listed in the group, which a login started before
// the change does not yet have.
bool accountInGroup(gid_t gid) {
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found) != 0 || !found) return false;
    int n = 64;
    std::vector<gid_t> groups(std::size_t(n), 0);
    if (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n) < 0) {
        groups.resize(std::size_t(n));
        if (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n) < 0) return false;
    }
    for (int i = 0; i < n; ++i)
        if (groups[std::size_t(i)] == gid) return true;
    return false;
}

std::string groupName(gid_t gid) {
    struct group gr {};
    struct group* found = nullptr;
    std::vector<char> buf(16384);
    if (::getgrgid_r(gid, &gr, buf.data(), buf.size(), &found) != 0 || !found) return {};
    return gr.gr_name;
}

std::string permissionDetail(const std::string& path) {
    const std::string refused = "You are not allowed to read and write " + path + ".";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || st.st_gid == 0) return refused;
    const std::string group = groupName(st.st_gid);
    if (group.empty() || processHasGroup(st.st_gid)) return refused;
    if (accountInGroup(st.st_gid))
        return "You were added to the group \"" + group + "\", which may use " + path +
               ", after this login began. Log out and log in again for the group to take effect.";
    return "Only members of the group \"" + group + "\" may use " + path +
           ", and you are not one of them. Add yourself with\n\n    sudo usermod -aG " + group +
           " $USER\n\nthen log out and log in again: the new group takes effect at the next login.";
}

// With locks, a lock's owner first: it is the one that refused a flock.
PortHolder holderOf(const struct stat& target, bool locks) {
    int pid = locks ? lockHolder(target) : 0;
    if (pid == 0) pid = descriptorHolder(target);
    if (pid == 0) return {};
    return {pid, programOf(pid)};
}

}  // namespace

PortHolder otherPortHolder(int fd) {
    struct stat target {};
    // Serial ports are character devices; a plain file stands in for one only in tests.
    if (::fstat(fd, &target) != 0 || !S_ISCHR(target.st_mode)) return {};
    return holderOf(target, false);
}

std::string describeOpenFailure(const std::string& path, int error, const PortHolder& known) {
    if (path.empty())
        return "No serial port is listed. Plug in the adapter, or start the simulator, and pick "
               "its port when it appears in the list.";
    switch (error) {
        case EACCES:
        case EPERM:
            return permissionDetail(path);
        case EBUSY:
        case EWOULDBLOCK: {
            PortHolder holder = known;
            struct stat target {};
            if (holder.pid == 0 && ::stat(path.c_str(), &target) == 0)
                holder = holderOf(target, true);
            std::string who = path + " is in use by another program";
            if (holder.pid > 0)
                who += ": " + (holder.program.empty() ? std::string("a program") : holder.program) +
                       " (process " + std::to_string(holder.pid) + ")";
            return who + ". Close that program, or pick another port.";
        }
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return path +
                   " is no longer there: the adapter was unplugged, or the program that "
                   "provided the port has ended. Plug the adapter in again and pick its port.";
        default:
            return "The system reported: " + std::string(std::strerror(error)) + ".";
    }
}

}  // namespace lqs
