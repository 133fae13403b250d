#include "support/capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <sstream>

#include "common/atomic_file.h"

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

namespace
{
std::atomic<int> s_active{0};
constexpr size_t kTakeChunk = 65536;
} // namespace

bool TraceCapture::any_active()
{
    return s_active.load() > 0;
}

TraceCapture::TraceCapture()
{
    char tmpl[] = "/tmp/obdgw-trace-XXXXXX";
    // Appending for both streams, so lines of different threads never overwrite.
    int fd = mkostemp(tmpl, O_APPEND);
    if (fd < 0) {
        return;
    }
    path_ = tmpl;
    fflush(stdout);
    fflush(stderr);
    saved_out_ = dup(STDOUT_FILENO);
    saved_err_ = dup(STDERR_FILENO);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    active_ = true;
    ++s_active;
}

TraceCapture::~TraceCapture()
{
    stop();
    if (take_fd_ >= 0) {
        close(take_fd_);
    }
    unlink(path_.c_str());
}

void TraceCapture::stop()
{
    if (!active_) {
        return;
    }
    fflush(stdout);
    fflush(stderr);
    dup2(saved_out_, STDOUT_FILENO);
    dup2(saved_err_, STDERR_FILENO);
    close(saved_out_);
    close(saved_err_);
    active_ = false;
    --s_active;
}

std::string TraceCapture::text()
{
    fflush(stdout);
    fflush(stderr);
    std::string s;
    gw_read_file(path_.c_str(), s);
    return s;
}

int TraceCapture::count_line(const std::string &line)
{
    const auto all = lines();
    return static_cast<int>(std::count(all.begin(), all.end(), line));
}

int TraceCapture::count_containing(const std::string &needle)
{
    const auto all = lines();
    return static_cast<int>(std::count_if(
        all.begin(), all.end(), [&](const std::string &l) { return l.find(needle) != std::string::npos; }));
}

void TraceCapture::take_lines(const std::function<void(const std::string &)> &on_line)
{
    fflush(stdout);
    fflush(stderr);
    if (take_fd_ < 0) {
        take_fd_ = open(path_.c_str(), O_RDWR | O_CLOEXEC);
        partial_.reserve(2 * kTakeChunk);
    }
    char buf[kTakeChunk];
    std::string line;
    for (ssize_t n; (n = pread(take_fd_, buf, sizeof buf, taken_)) > 0; taken_ += n) {
        partial_.append(buf, static_cast<size_t>(n));
        size_t from = 0;
        for (size_t nl; (nl = partial_.find('\n', from)) != std::string::npos; from = nl + 1) {
            line.assign(partial_, from, nl - from);
            on_line(line);
        }
        partial_.erase(0, from);
    }
    // Read blocks freed; the size stays, so the appending writers go on unaware.
    (void)fallocate(take_fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, taken_);
}
