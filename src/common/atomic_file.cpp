#include "common/atomic_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
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

namespace
{

// The file a path leads to through symbolic links (which need not exist yet).
std::string link_target(const char *path)
{
    std::string target = path;
    for (int hops = 0; hops < 40; ++hops) {
        char buf[4096];
        const ssize_t n = ::readlink(target.c_str(), buf, sizeof buf - 1);
        if (n < 0) {
            return target;
        }
        std::string next(buf, static_cast<size_t>(n));
        const auto slash = target.rfind('/');
        if (next.front() != '/' && slash != std::string::npos) {
            next = target.substr(0, slash + 1) + next;
        }
        target = next;
    }
    return target;
}

} // namespace

bool gw_write_file_atomic(const char *path, const void *data, size_t len, const char *like)
{
    const std::string target = link_target(path);
    struct stat old {
    };
    const bool keep = ::stat(like != nullptr ? like : target.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    std::string tmp = target + ".tmp";
    // Always a new file of our own: one left there (another user's, a link to
    // someone else's file) would otherwise give its owner and mode, or be
    // written through. What cannot be removed makes the open fail.
    ::unlink(tmp.c_str());
    UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd) {
        return false;
    }
    // Owner first: changing it may clear set-id bits the mode then puts back.
    // Without the right to give the file away it stays ours, but readable and
    // writable as before.
    if (keep && ((::fchown(fd.get(), old.st_uid, old.st_gid) != 0 && errno != EPERM) ||
                 ::fchmod(fd.get(), old.st_mode & 07777) != 0)) {
        int e = errno;
        fd.reset();
        ::unlink(tmp.c_str());
        errno = e;
        return false;
    }
    if (!write_all(fd.get(), static_cast<const char *>(data), len) || ::fsync(fd.get()) != 0) {
        int e = errno;
        fd.reset();
        ::unlink(tmp.c_str());
        errno = e;
        return false;
    }
    if (::close(fd.release()) != 0 || ::rename(tmp.c_str(), target.c_str()) != 0) {
        int e = errno;
        ::unlink(tmp.c_str());
        errno = e;
        return false;
    }
    fsync_parent_dir(target);
    return true;
}

void gw_test_set_read_hook(GwReadHook hook)
{
    s_read_hook.store(hook);
}

bool gw_read_file(const char *path, std::string &out, size_t limit)
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
    while (out.size() < limit) {
        ssize_t n = ::read(fd.get(), buf, std::min(sizeof buf, limit - out.size()));
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
    return true;
}
