#include "support/capture.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "common/atomic_file.h"

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            out.push_back(text.substr(start));
            break;
        }
        out.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return out;
}

TraceCapture::TraceCapture()
{
    char tmpl[] = "/tmp/obdgw-trace-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) {
        return;
    }
    path_ = tmpl;
    fflush(stdout);
    fflush(stderr);
    saved_out_ = dup(STDOUT_FILENO);
    saved_err_ = dup(STDERR_FILENO);
    // O_APPEND semantics for both streams so lines of different threads never overwrite.
    int fl = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, fl | O_APPEND);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    active_ = true;
}

TraceCapture::~TraceCapture()
{
    stop();
    if (!path_.empty()) {
        unlink(path_.c_str());
    }
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
}

std::string TraceCapture::text()
{
    fflush(stdout);
    fflush(stderr);
    std::string s;
    gw_read_file(path_.c_str(), s);
    return s;
}

std::vector<std::string> TraceCapture::lines()
{
    return split_lines(text());
}

int TraceCapture::count_line(const std::string &line)
{
    int n = 0;
    for (const auto &l : lines()) {
        n += (l == line);
    }
    return n;
}

int TraceCapture::count_containing(const std::string &needle)
{
    int n = 0;
    for (const auto &l : lines()) {
        n += (l.find(needle) != std::string::npos);
    }
    return n;
}
