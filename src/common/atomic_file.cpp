#include "common/atomic_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "common/unique_fd.h"

namespace
{

std::atomic<GwReadHook> s_read_hook{nullptr};

bool write_all(int fd, const char *p, size_t len)
{
    while (len > 0) {
        ssize_t n = ::write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

void fsync_parent_dir(const std::string &path)
{
    std::string dir = ".";
    auto slash = path.rfind('/');
    if (slash == 0) {
        dir = "/";
    } else if (slash != std::string::npos) {
        dir = path.substr(0, slash);
    }
    UniqueFd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d) {
        ::fsync(d.get());
    }
}

} // namespace

bool gw_write_file_atomic(const char *path, const void *data, size_t len)
{
    std::string tmp = std::string(path) + ".tmp";
    UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) {
        return false;
    }
    if (!write_all(fd.get(), static_cast<const char *>(data), len) || ::fsync(fd.get()) != 0) {
        int e = errno;
        fd.reset();
        ::unlink(tmp.c_str());
        errno = e;
        return false;
    }
    if (::close(fd.release()) != 0 || ::rename(tmp.c_str(), path) != 0) {
        int e = errno;
        ::unlink(tmp.c_str());
        errno = e;
        return false;
    }
    fsync_parent_dir(path);
    return true;
}

void gw_test_set_read_hook(GwReadHook hook)
{
    s_read_hook.store(hook);
}

bool gw_read_file(const char *path, std::string &out)
{
    if (GwReadHook hook = s_read_hook.load()) {
        hook(path);
    }
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return false;
    }
    out.clear();
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            return true;
        }
        out.append(buf, static_cast<size_t>(n));
    }
}
