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

    std::string root_;
};

// Runs `f` as the process would, returning its result or its ExitProcess status.
template <typename F> int RunAsProcess(F f) {
    return HostRunProcess([](void *p) { return (*static_cast<F *>(p))(); }, &f);
}

// The controls of the "SfxDialog" template, as the resource script defines them.
std::vector<HostControlSpec> SfxControls();

// Drives the dialogs the run opens: OK is pressed `presses` times in all, once each
// time a dialog is left waiting; after that the dialogs are left to their timers.
void PressOk(int presses);
