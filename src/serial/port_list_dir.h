// The trust check for a directory of port links on shared ground (/tmp).
// Plain POSIX, no Qt: the simulator applies the same check before it makes links.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

namespace lqs {

// A real directory, not a link to one, owned by this user and writable by no
// one else: only then are the links in it this user's own.
inline bool isPrivateDirectory(const char* path) {
    struct stat st {};
    return ::lstat(path, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace lqs
