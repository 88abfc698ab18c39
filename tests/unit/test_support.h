// Fixture and helpers for tests of the stub's code on the host double.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/host_control.h"
#include "platform/host_dialogs_control.h"
#include "startup/run_state.h"

// Gives each test a fresh machine under a temporary root and a zero-filled run
// state, as start-up allocates it.
class StubTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Writes `bytes` to the file at a Windows path, creating its directories.
    void WriteFile(const char *windows_path, const std::string &bytes);
    // The file's bytes, or "<missing>".
    std::string ReadFile(const char *windows_path);
    bool Exists(const char *windows_path);
    // Writes the file as WriteFile does and gives it the last-write time `time` (Unix
    // seconds), as a file the destination already holds.
    void WriteFileWithTime(const char *windows_path, const std::string &bytes, uint32_t time);

    std::string root_;
};

// For runs from start-up: no run state, as start-up allocates its own (StubTest's
// TearDown frees one left by a run that ended inside decoding), and the "SfxDialog"
// template defined.
class StartUpTest : public StubTest {
  protected:
    void SetUp() override;
    void TearDown() override;
};

// Runs `f` as the process would, returning its result or its ExitProcess status.
template <typename F> int RunAsProcess(F f) {
    return HostRunProcess([](void *p) { return (*static_cast<F *>(p))(); }, &f);
}

// A Program Manager in another process that takes up every conversation and
// acknowledges every execute; the commands it received, in order.
LRESULT AcknowledgingProgmanProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
std::vector<std::string> &ProgmanCommandsReceived();

// The controls of the "SfxDialog" template, as the resource script defines them.
std::vector<HostControlSpec> SfxControls();

// Drives the dialogs the run opens: OK is pressed `presses` times in all, once each
// time a dialog is left waiting; after that the dialogs are left to their timers.
void PressOk(int presses);
