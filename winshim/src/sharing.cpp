// Share modes over open-file-description locks: a Unix file system has no share modes, and these
// locks hold between the descriptors of one process as between processes, as share modes do
// between handles. A lock goes with the last descriptor of its open file.
#include "sharing.h"

#include <fcntl.h>

namespace winshim::sharing {

namespace {

// The whole file, whatever its size now or later.
struct flock WholeFile(short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    lock.l_pid = 0;  // as open-file-description locks require
    return lock;
}

bool Lock(int fd, short type) {
    struct flock lock = WholeFile(type);
    return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// Whether a handle elsewhere holds the file shut; asking needs no right to read or write.
bool HeldShut(int fd) {
    struct flock lock = WholeFile(F_RDLCK);
    return fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

}  // namespace

bool Take(int fd, DWORD share, bool reads, bool writes) {
    if (share == 0) {
        // Exclusive only where the descriptor may write; one that reads alone keeps other
        // holders out, not other readers.
        return Lock(fd, writes ? F_WRLCK : F_RDLCK);
    }
    if (reads) {
        return Lock(fd, F_RDLCK);  // kept while open: no handle can shut the file meanwhile
    }
    return !HeldShut(fd);
}

}  // namespace winshim::sharing
