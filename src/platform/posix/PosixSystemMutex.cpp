#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/SystemMutex.h"

namespace platform {

namespace {

// The lock file lies in KVT_DATA_DIR when set, so that isolated instances
// (tests, several users' sandboxes) do not exclude each other.
std::string LockFilePath(const std::string& name) {
    const char* dataDir = std::getenv("KVT_DATA_DIR");
    std::string folder = (dataDir != nullptr && *dataDir != '\0') ? dataDir : "/tmp";
    return folder + "/" + name + ".lock";
}

}  // namespace

struct CSystemMutex::Impl {
    int fd = -1;
};

CSystemMutex::CSystemMutex() : m_impl(std::make_unique<Impl>()) {}

CSystemMutex::~CSystemMutex() {
    Close();
}

CSystemMutex::Result CSystemMutex::Create(const std::string& name) {
    Close();
    const std::string path = LockFilePath(name);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return Result::Failed;
    // Every user must be able to take the lock after another user left the
    // file behind; fchmod rather than umask, which would affect every thread.
    ::fchmod(fd, 0666);
    // flock locks belong to the open file description, so a second holder in
    // this same process is refused just like one in another process.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        return err == EWOULDBLOCK ? Result::AlreadyExists : Result::Failed;
    }
    m_impl->fd = fd;
    return Result::Created;
}

void CSystemMutex::Close() {
    if (m_impl->fd >= 0) {
        ::flock(m_impl->fd, LOCK_UN);
        ::close(m_impl->fd);
        m_impl->fd = -1;
    }
}

bool CSystemMutex::IsHeld() const {
    return m_impl->fd >= 0;
}

}  // namespace platform
