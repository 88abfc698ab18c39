// Damaged downloads: an installer whose every header byte, and each of the first
// 1024 bytes of every member's packed data, is changed in turn (inverted, and
// increased by one) and then run from start-up through the scan and the extract
// pass with OK pressed. Every run must end with one of the system's messages (or
// none, when the change fell where nothing checks it and changed nothing that is
// written), with the exit status that goes with it, and must leave only complete,
// correct files in the destination and nothing anywhere else. The same installers run
// silently show nothing and end with 0 exactly when every file is in place, else with
// the status of their failure, which the log names last.
#include "archive_builder.h"
#include "bit_writer.h"
#include "platform/host_dialogs_control.h"
#include "test_support.h"

#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>

#include "startup/silent.h"
#include "startup/startup.h"

namespace {

HINSTANCE const kInstance = reinterpret_cast<HINSTANCE>(0x400000);

// Text with repeats near and far: words, and whole earlier stretches again.
std::string SampleData(size_t n, unsigned seed) {
    static const char *words[] = {"setup ", "member ", "folder ", "window ", "data ",
                                  "\r\n",   "LZH ",    "1997 ",   "install "};
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < n) {
        if (s.size() > 3000 && rng() % 8 == 0) {
            size_t from = rng() % (s.size() - 300);
            s += s.substr(from, 20 + rng() % 200);
        } else if (rng() % 5 == 0) {
            s.push_back(static_cast<char>(rng() & 0xFF));
        } else {
            s += words[rng() % 9];
        }
    }
    s.resize(n);
    return s;
}

// Packs `data` as one block of literals and greedy matches within `max_distance`.
std::string Pack(const std::string &data, int position_symbols, size_t max_distance) {
    std::vector<Token> tokens;
    std::map<uint32_t, std::vector<size_t>> seen; // 3-byte prefix -> positions
    for (size_t i = 0; i < data.size();) {
        size_t best = 0, best_distance = 0;
        if (i + 3 <= data.size()) {
            uint32_t key = static_cast<uint8_t>(data[i]) |
                           (static_cast<uint8_t>(data[i + 1]) << 8) |
                           (static_cast<uint32_t>(static_cast<uint8_t>(data[i + 2])) << 16);
            std::vector<size_t> &at = seen[key];
            for (size_t k = at.size(); k-- > 0 && k + 16 >= at.size();) {
                size_t from = at[k];
                if (i - from - 1 >= max_distance) {
                    break;
                }
                size_t n = 0;
                while (n < 256 && i + n < data.size() && data[from + n] == data[i + n]) {
                    ++n;
                }
                if (n > best) {
                    best = n;
                    best_distance = i - from - 1;
                }
            }
            at.push_back(i);
        }
        if (best >= 3) {
            tokens.push_back({static_cast<int>(best) + 253, static_cast<int>(best_distance)});
            i += best;
        } else {
            tokens.push_back({static_cast<uint8_t>(data[i]), -1});
            ++i;
        }
    }
    std::mt19937 rng(5);
    const std::vector<int> all19 = AllSymbols(19);
    std::vector<int> chars, positions = {0};
    UsedSymbols(tokens, chars, positions);
    BlockWriter w(position_symbols);
    w.StartBlock(static_cast<uint32_t>(tokens.size()), RandomCode(rng, all19, 19),
                 RandomCode(rng, chars, 510), RandomCode(rng, positions, position_symbols));
    w.Tokens(tokens);
    return w.Bytes();
}

struct Part {
    size_t header_at, header_size, data_at, data_size;
};

class DamagedSweepTest : public StubTest {
  protected:
    void SetUp() override {
        StubTest::SetUp();
        free(State); // start-up allocates its own
        State = nullptr;
    }

    void TearDown() override {
        ModuleInstance = nullptr;
        DialogIcon = nullptr;
        StubTest::TearDown();
    }

    void Add(TestMember m, const char *dest_name, const std::string &data) {
        std::string bytes = MemberBytes(m);
        size_t header = bytes.size() - m.packed.size();
        parts_.push_back({archive_.size(), header, archive_.size() + header, m.packed.size()});
        archive_ += bytes;
        if (dest_name != nullptr) {
            expected_[dest_name] = data;
        }
    }

    // Runs the installer with `archive` from start-up, OK pressed once.
    int Run(const std::string &archive, const char *tail = "") {
        HostReset(root_);
        std::filesystem::remove_all(root_ + "/c");
        HostDefineTemplate("SfxDialog", SfxControls());
        PressOk(1);
        SettingsBlock settings = {};
        lstrcpyA(settings.WindowTitle, "Sweep");
        lstrcpyA(settings.InstallDir, "C:\\Dest");
        WriteFile("C:\\SFX.EXE", InstallerBytes(settings, archive));
        OutputTempPath[0] = 0;
        DdeState = 0;
        ProgmanWindow = nullptr;
        int status = RunAsProcess([tail] { return SfxMain(kInstance, tail); });
        if (State != nullptr) { // the run ended inside decoding
            LocalFree(State->HeaderBuffer);
            LocalFree(State);
            State = nullptr;
        }
        return status;
    }

    // Every file the run left, by its path below the root.
    std::map<std::string, std::string> Files() {
        std::map<std::string, std::string> files;
        for (const auto &e : std::filesystem::recursive_directory_iterator(root_)) {
            if (e.is_regular_file()) {
                std::string path = e.path().string().substr(root_.size());
                files[path] = ReadFile(("C:" + path.substr(2)).c_str());
            }
        }
        return files;
    }

    std::string archive_;
    std::vector<Part> parts_;
    std::map<std::string, std::string> expected_; // by path below the root
};

TEST_F(DamagedSweepTest, EveryDamagedByteEndsInAMessageAndLeavesOnlyCorrectFiles) {
    const uint32_t time = 1300000000;
    TestMember directives;
    directives.name = "$";
    directives.packed = "$WindowTitle=Sweep\r\n$InstallTitle=Installing the sample\r\n";
    directives.time = time;
    Add(directives, nullptr, "");

    TestMember folder;
    folder.method = "-lhd-";
    folder.dir = "doc\xFF";
    folder.time = time;
    Add(folder, nullptr, "");

    std::string readme = SampleData(700, 1);
    TestMember stored;
    stored.name = "readme.txt";
    stored.dir = "doc\xFF";
    stored.packed = readme;
    stored.time = time;
    Add(stored, "/c/Dest/doc/readme.txt", readme);

    std::string binary = SampleData(6000, 2);
    TestMember lh5;
    lh5.method = "-lh5-";
    lh5.name = "data.bin";
    lh5.packed = Pack(binary, 14, 8192);
    lh5.unpacked_size = static_cast<int64_t>(binary.size());
    lh5.data_crc = ReferenceCrc(binary);
    lh5.windows_times = true;
    lh5.file_times[0] = lh5.file_times[1] = lh5.file_times[2] = FileTimeOf(time);
    Add(lh5, "/c/Dest/data.bin", binary);

    std::string text = SampleData(70000, 3);
    TestMember lh7;
    lh7.method = "-lh7-";
    lh7.name = "text.txt";
    lh7.packed = Pack(text, 17, 65536);
    lh7.unpacked_size = static_cast<int64_t>(text.size());
    lh7.data_crc = ReferenceCrc(text);
    lh7.time = time;
    Add(lh7, "/c/Dest/text.txt", text);

    std::string last = "the last member\r\n";
    TestMember tail;
    tail.name = "last.txt";
    tail.packed = last;
    tail.time = time;
    Add(tail, "/c/Dest/last.txt", last);
    archive_ += '\0';
    ASSERT_GE(lh5.packed.size(), 1024u);
    ASSERT_GE(lh7.packed.size(), 1024u);

    // The undamaged installer extracts every file and shows no message.
    std::map<std::string, std::string> intact = expected_;
    intact["/c/SFX.EXE"] = "";
    ASSERT_EQ(Run(archive_), 1);
    ASSERT_TRUE(HostMessageBoxes().empty());
    std::map<std::string, std::string> files = Files();
    files["/c/SFX.EXE"] = "";
    ASSERT_EQ(files, intact);

    const std::string own = "\"C:\\SFX.EXE\" ";
    const std::vector<std::string> scan_messages = {own + "ﾍｯﾀﾞｰの内容が不正",
                                                    own + "ﾃﾞｰﾀが欠落しています", "ﾒﾓﾘが足りません",
                                                    own + "読み込みｴﾗｰ"};
    std::vector<size_t> offsets;
    for (const Part &p : parts_) {
        for (size_t i = 0; i < p.header_size; ++i) {
            offsets.push_back(p.header_at + i);
        }
        for (size_t i = 0; i < p.data_size && i < 1024; ++i) {
            offsets.push_back(p.data_at + i);
        }
    }
    offsets.push_back(archive_.size() - 1); // the end mark

    std::map<std::string, int> outcomes;
    int variants = 0;
    for (size_t at : offsets) {
        for (int change = 0; change < 2; ++change) {
            std::string damaged = archive_;
            damaged[at] = static_cast<char>(change == 0 ? damaged[at] ^ 0xFF : damaged[at] + 1);
            SCOPED_TRACE(::testing::Message()
                         << "byte " << at << (change == 0 ? " inverted" : " + 1"));
            ++variants;
            int status = Run(damaged);
            const std::vector<HostMessageBox> &boxes = HostMessageBoxes();
            ASSERT_LE(boxes.size(), 1u);
            std::string message = boxes.empty() ? "(none)" : boxes[0].text;
            bool scanned = !HostDialogBoxCalls().empty();
            if (!scanned) {
                // A failed scan ends the run with status 0 before the dialog.
                EXPECT_EQ(status, 0);
                ASSERT_EQ(boxes.size(), 1u);
                EXPECT_NE(std::find(scan_messages.begin(), scan_messages.end(), message),
                          scan_messages.end())
                    << message;
                outcomes["scan: " + message]++;
            } else {
                // OK was pressed: status 1, after a failure of the extraction too.
                EXPECT_EQ(status, 1);
                if (!boxes.empty()) {
                    bool known = false;
                    for (const std::string &m : scan_messages) {
                        known = known || message == m;
                    }
                    for (const char *m : {"CRCｴﾗｰ", "Bad table", "書き込みｴﾗｰ"}) {
                        known = known || message.find(m) != std::string::npos;
                    }
                    EXPECT_TRUE(known) << message;
                }
                outcomes["extract: " + message.substr(message.rfind('"') + 1)]++;
            }
            // Whatever was extracted is complete and correct; nothing else exists.
            for (const auto &f : Files()) {
                if (f.first == "/c/SFX.EXE") {
                    continue;
                }
                auto want = expected_.find(f.first);
                ASSERT_NE(want, expected_.end()) << "unexpected file " << f.first;
                EXPECT_TRUE(f.second == want->second) << "wrong content in " << f.first;
            }
            if (boxes.empty()) {
                EXPECT_EQ(Files().size(), expected_.size() + 1);
            }

            int silent = Run(damaged, "-s -lC:\\sweep.log");
            EXPECT_TRUE(HostMessageBoxes().empty());
            for (const HostDialogBoxCall &call : HostDialogBoxCalls()) {
                EXPECT_FALSE(call.shown);
            }
            std::string log = ReadFile("C:\\sweep.log");
            std::string exit_line = "exit " + std::to_string(silent) + "\r\n";
            EXPECT_TRUE(log.size() >= exit_line.size() &&
                        log.compare(log.size() - exit_line.size(), exit_line.size(), exit_line) ==
                            0)
                << log;
            std::map<std::string, std::string> left = Files();
            left.erase("/c/sweep.log");
            left["/c/SFX.EXE"] = "";
            if (silent == 0) {
                EXPECT_EQ(left, intact); // 0 only for a complete install
            } else {
                EXPECT_TRUE(silent >= kMemoryFailure && silent <= kSessionEndFailure) << silent;
                EXPECT_NE(log.find("error "), std::string::npos) << log;
                for (const auto &f : left) {
                    auto want = intact.find(f.first);
                    ASSERT_NE(want, intact.end()) << "unexpected file " << f.first;
                    EXPECT_TRUE(f.first == "/c/SFX.EXE" || f.second == want->second)
                        << "wrong content in " << f.first;
                }
            }
            outcomes["silent: " + std::to_string(silent)]++;
        }
    }
    printf("damaged installers run: %d (%zu bytes, 2 changes each)\n", variants, offsets.size());
    for (const auto &o : outcomes) {
        printf("  %6d  %s\n", o.second, o.first.c_str());
    }
}

} // namespace
