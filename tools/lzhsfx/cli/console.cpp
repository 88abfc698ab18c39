#include "console.h"

#include <cstdio>

#include "platform.h"

namespace cli {
namespace {

bool quiet = false;

// Holds the terminal: the bar may be redrawn from a compressing thread.
class TerminalGuard {
  public:
    TerminalGuard() {
        platform::LockTerminal();
    }
    ~TerminalGuard() {
        platform::UnlockTerminal();
    }
    TerminalGuard(const TerminalGuard &) = delete;
    TerminalGuard &operator=(const TerminalGuard &) = delete;
};
Progress *current = nullptr;

// The bar waits this long before it appears, so that quick work shows none.
constexpr auto kFirstDraw = std::chrono::milliseconds(400);
constexpr auto kRedraw = std::chrono::milliseconds(100);
constexpr int kBarWidth = 24;

std::string Bytes(uint64_t n) {
    char text[32];
    if (n < 1024 * 1024) {
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(n) / 1024);
    } else {
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(n) / (1024 * 1024));
    }
    return text;
}

thread_local std::vector<std::string> *captured = nullptr;

void Print(const std::string &line) {
    if (captured != nullptr) {
        captured->push_back(line);
        return;
    }
    TerminalGuard guard;
    if (current != nullptr) {
        current->Erase();
    }
    std::fprintf(stderr, "lzhsfx: %s\n", line.c_str());
    std::fflush(stderr);
}

} // namespace

void SetQuiet(bool q) {
    quiet = q;
}

bool Quiet() {
    return quiet;
}

bool Chatty() {
    return !quiet && platform::ErrorIsTerminal();
}

void PrintError(const std::string &text) {
    Print(text);
}

void PrintWarning(const std::string &text) {
    if (!quiet) {
        Print("warning: " + text);
    }
}

void PrintNote(const std::string &text) {
    if (Chatty()) {
        Print(text);
    }
}

void CaptureMessages(std::vector<std::string> *lines) {
    captured = lines;
}

void ShowMessages(const std::vector<std::string> &lines) {
    for (const std::string &line : lines) {
        Print(line);
    }
}

Progress::Progress(const std::string &label, uint64_t total)
    : label_(label), total_(total), start_(std::chrono::steady_clock::now()), last_draw_(start_),
      enabled_(Chatty()) {
    TerminalGuard guard;
    if (enabled_) {
        current = this;
    }
}

Progress::~Progress() {
    TerminalGuard guard;
    Erase();
    if (current == this) {
        current = nullptr;
    }
}

void Progress::Update(uint64_t done) {
    if (!enabled_) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    TerminalGuard guard;
    if (now - start_ < kFirstDraw || now - last_draw_ < kRedraw) {
        return;
    }
    last_draw_ = now;
    Draw(done);
}

void Progress::Draw(uint64_t done) {
    if (done > total_) {
        done = total_;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double share =
        total_ == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total_);
    const int filled = static_cast<int>(share * kBarWidth);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kBarWidth, '-');
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    char left[32] = "--:--";
    if (rate > 0) {
        const long remaining = static_cast<long>(static_cast<double>(total_ - done) / rate + 0.5);
        std::snprintf(left, sizeof left, "%ld:%02ld", remaining / 60, remaining % 60);
    }
    std::fprintf(stderr, "\r%s [%s] %3d%%  %s / %s  %s/s  %s left\033[K", label_.c_str(),
                 bar.c_str(), static_cast<int>(share * 100), Bytes(done).c_str(),
                 Bytes(total_).c_str(), Bytes(static_cast<uint64_t>(rate)).c_str(), left);
    std::fflush(stderr);
    shown_ = true;
}

void Progress::Erase() {
    if (shown_) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        shown_ = false;
    }
}

} // namespace cli
