// Captures what the code under test writes to standard output and standard
// error (the trace), from every thread, into a temporary file.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// Lines of `text`, split at '\n' (a trailing partial line included).
std::vector<std::string> split_lines(const std::string &text);

class TraceCapture
{
  public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture &) = delete;
    TraceCapture &operator=(const TraceCapture &) = delete;

    // Everything written so far (stdout and stderr interleaved as written).
    std::string text();
    std::vector<std::string> lines() { return split_lines(text()); }
    // Number of lines equal to `line`, or containing `needle` for count_containing.
    int count_line(const std::string &line);
    int count_containing(const std::string &needle);
    // Hands each complete line written since the last call to `on_line`, in
    // order, through a buffer of fixed size. What they took of the file is
    // given back, so a capture of weeks needs no room.
    void take_lines(const std::function<void(const std::string &)> &on_line);
    // Stops capturing and restores the original streams.
    void stop();
    // True while some capture holds the streams.
    static bool any_active();

  private:
    int saved_out_ = -1;
    int saved_err_ = -1;
    std::string path_;
    bool active_ = false;
    int take_fd_ = -1;
    off_t taken_ = 0;
    std::string partial_;
};
