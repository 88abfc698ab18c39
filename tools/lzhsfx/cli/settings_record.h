// The installer's settings record: the 603 bytes at offset 512 of the stub that say
// where the archive starts, the texts of the dialog, the proposed folder, the command
// and the option bits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

// Bits of the record's `Flags`.
enum : uint8_t {
    kAutoStart = 0x01,
    kOverwriteSilently = 0x02,
    kArchiveChecksum = 0x04,
    kNoSkipNotNewer = 0x08, // `SkipNotNewer` off
    kSilentCommand = 0x40,  // a silent install starts the command too
};

constexpr size_t kSettingsOffset = 512;
constexpr size_t kSettingsSize = 603;
// The byte the stub's RestoreAttributes holds for "on".
constexpr uint8_t kRestoreAttributesOn = '/';

// The record as the packager gives it, texts in UTF-8.
struct Settings {
    std::string title;         // WindowTitle
    std::string install_title; // InstallTitle
    std::string install_dir;   // InstallDir
    std::string command;       // Command
    uint8_t flags = 0;
    bool restore_attributes = false;
};

// The record's bytes, texts in Shift-JIS. Throws Failure, naming the option, for a
// text that Shift-JIS cannot hold or that is longer than its field.
std::vector<uint8_t> MakeSettingsRecord(const Settings &settings, uint32_t archive_offset);

// The record read from its 603 bytes; texts in Shift-JIS, each read no further than
// its field.
struct StoredSettings {
    uint32_t archive_offset = 0;
    std::string title, install_title, install_dir, command;
    uint8_t flags = 0;
    uint8_t restore_attributes = 0;
};
StoredSettings ReadSettingsRecord(const uint8_t *record);

} // namespace cli
