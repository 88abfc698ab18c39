// The layout is the stub's own `SettingsBlock`, so that the two cannot drift apart.
#include "settings_record.h"

#include <cstddef>
#include <cstring>

#include "console.h"
#include "startup/run_state.h"
#include "text_codec.h"

namespace cli {
namespace {

static_assert(sizeof(SettingsBlock) == kSettingsSize, "settings record size");
static_assert(kSettingsOffset == static_cast<size_t>(::kSettingsOffset), "settings offset");
static_assert(int{kAutoStart} == int{kFlagAutoStart} &&
                  int{kOverwriteSilently} == int{kFlagOverwriteSilently} &&
                  int{kArchiveChecksum} == int{kFlagArchiveChecksum} &&
                  int{kNoSkipNotNewer} == int{kFlagAskBeforeOverwriteOff} &&
                  int{kSilentCommand} == int{kFlagSilentCommand},
              "settings flags");

// Puts `utf8` into the field of `size` bytes (terminator included) as Shift-JIS.
void PutText(char *field, size_t size, const std::string &utf8, const char *option) {
    std::string sjis, problem;
    if (!ToShiftJis(utf8, &sjis, &problem)) {
        throw Failure(std::string(option) + ": \"" + utf8 + "\" holds " + problem);
    }
    if (sjis.size() > size - 1) {
        throw Failure(std::string(option) + ": \"" + utf8 + "\" is " + std::to_string(sjis.size()) +
                      " bytes in Shift-JIS; the installer holds at most " +
                      std::to_string(size - 1));
    }
    std::memcpy(field, sjis.data(), sjis.size());
}

std::string GetText(const char *field, size_t size) {
    size_t n = 0;
    while (n < size && field[n] != 0) {
        ++n;
    }
    return std::string(field, n);
}

} // namespace

std::vector<uint8_t> MakeSettingsRecord(const Settings &settings, uint32_t archive_offset) {
    SettingsBlock block;
    std::memset(&block, 0, sizeof block);
    // Little-endian in the file, whatever the machine.
    uint8_t offset[4] = {
        static_cast<uint8_t>(archive_offset), static_cast<uint8_t>(archive_offset >> 8),
        static_cast<uint8_t>(archive_offset >> 16), static_cast<uint8_t>(archive_offset >> 24)};
    std::memcpy(&block.ArchiveOffset, offset, 4);
    PutText(block.WindowTitle, sizeof block.WindowTitle, settings.title, "--title");
    PutText(block.InstallTitle, sizeof block.InstallTitle, settings.install_title,
            "--install-title");
    PutText(block.InstallDir, sizeof block.InstallDir, settings.install_dir, "--install-dir");
    PutText(block.Command, sizeof block.Command, settings.command, "--command");
    block.Flags = settings.flags;
    block.RestoreAttributes = settings.restore_attributes ? kRestoreAttributesOn : 0;
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&block);
    return std::vector<uint8_t>(bytes, bytes + sizeof block);
}

StoredSettings ReadSettingsRecord(const uint8_t *record) {
    SettingsBlock block;
    std::memcpy(&block, record, sizeof block);
    StoredSettings s;
    s.archive_offset = static_cast<uint32_t>(record[0]) | static_cast<uint32_t>(record[1]) << 8 |
                       static_cast<uint32_t>(record[2]) << 16 |
                       static_cast<uint32_t>(record[3]) << 24;
    s.title = GetText(block.WindowTitle, sizeof block.WindowTitle);
    s.install_title = GetText(block.InstallTitle, sizeof block.InstallTitle);
    s.install_dir = GetText(block.InstallDir, sizeof block.InstallDir);
    s.command = GetText(block.Command, sizeof block.Command);
    s.flags = block.Flags;
    s.restore_attributes = block.RestoreAttributes;
    return s;
}

} // namespace cli
