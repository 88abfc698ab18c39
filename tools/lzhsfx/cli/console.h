// What the tool says on the terminal: errors, warnings, summaries and the progress
// bar. Errors always go to standard error; warnings unless --quiet; summaries and the
// progress bar only when standard error is a terminal and --quiet is not given.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace cli {

// An error that ends the command; the message says what and names the object.
class Failure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

void SetQuiet(bool quiet);
bool Quiet();
// Whether summaries and the progress bar are shown.
bool Chatty();

void PrintError(const std::string &text);
void PrintWarning(const std::string &text);
// A summary line, shown only when Chatty().
void PrintNote(const std::string &text);

// Gathers what this thread prints into `lines` instead of showing it, until called
// with null: work done on several threads at once shows its messages in order.
void CaptureMessages(std::vector<std::string> *lines);
// Shows messages gathered so.
void ShowMessages(const std::vector<std::string> &lines);

// A progress bar over `total` bytes: bytes done, rate and time left. It appears once
// the work has taken a moment, is redrawn a few times a second at most, and is erased
// before any other message and when it goes. Update may be called from any thread.
class Progress {
  public:
    Progress(const std::string &label, uint64_t total);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    void Update(uint64_t done);

    // Called with the terminal guarded.
    void Erase();

  private:
    void Draw(uint64_t done);

    std::string label_;
    uint64_t total_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
    bool shown_ = false;
    bool enabled_;
};

} // namespace cli
