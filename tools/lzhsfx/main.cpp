// lzhsfx: builds self-extracting LZH installers for 32-bit Windows, and lists, tests
// and extracts installers and plain .lzh archives without running them.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "cli/build_installer.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/platform.h"
#include "encoder.h"

namespace {

const char kUsage[] = R"(usage: lzhsfx build -o OUT [options] PATH...
       lzhsfx build -o OUT [options] --from-archive ARCHIVE.lzh
       lzhsfx list FILE
       lzhsfx test FILE [--threads N]
       lzhsfx extract FILE [-d DIR] [--force] [--threads N]
       lzhsfx --version
       lzhsfx -h|--help

build: makes the installer OUT from the stub, its settings and an archive of the
files and folders PATH... (members named relative to each PATH's parent, sorted;
folders become directory entries), or of an existing archive.
  -o, --output OUT         the installer to write (replaced only when complete)
  --stub FILE              the stub (default: the file LZHSFX_STUB names, else
                           the first found of sfxstub.exe beside lzhsfx,
                           ../share/lzhsfx/sfxstub.exe from it, as installed,
                           and ../win32/sfxstub.exe from it, as in the build
                           tree; lzhsfx --version shows which)
  --method lh0|lh5|lh6|lh7 compression (default lh7; a file that does not shrink
                           is stored)
  --level 1-9              encoder effort (default 6)
  --threads N              compressing threads (default: one per processor)
  --from-archive FILE      wrap an existing .lzh: level-2 headers as they stand
                           when the installer reads them so, any other headers
                           rewritten as the installer's level 2; data unchanged
                           (a MacBinary header in front of it included), but
                           -lh1- members are decoded and packed anew with -lh7-
  --allow-outside-paths    with --from-archive: keep members whose paths start at
                           the root of a drive, which the installer honours
  --notice FILE            a UTF-8 text the installer shows first, in a Yes/No box
  --directives FILE        a UTF-8 text of setup directives ($WindowTitle= ...)
  --verify                 decode the written installer before keeping it
  --elevation LEVEL        the rights Windows Vista and later start the installer
                           with, set in the stub's manifest: requireAdministrator
                           (the default: writing into %ProgramFiles% and
                           registering file types take an administrator, and a
                           program with a manifest is not quietly redirected into
                           the user's VirtualStore instead), highestAvailable
                           (elevated when the user is an administrator), or
                           asInvoker (never elevated: for an install into the
                           user's own folders)
 settings record (texts in UTF-8, stored as Shift-JIS; limits in Shift-JIS bytes):
  --title TEXT             window and message box caption (40 bytes)
  --install-title TEXT     text above the folder field (40 bytes)
  --install-dir DIR        proposed folder, may start with %ProgramFiles% etc. (255)
  --command CMD            started in the folder after installing (258)
  --auto-start             press OK by itself after 0.7 s (flag 0x01)
  --overwrite              overwrite existing files without asking (flag 0x02)
  --checksum               guard the archive with a checksum (flag 0x04)
  --no-skip-not-newer, --ask-newer
                           do not keep existing files that are as new as the
                           member or newer without a word: ask about them too, or
                           overwrite them with --overwrite (flag 0x08)
  --silent-command         start the command after a silent install (-s) too;
                           without it only an install with its dialog starts
                           it, so that a deployed machine opens no read-me
                           (flag 0x40)
  --restore-attributes     give the files their stored DOS attributes

The installer takes -n (start at once), -c (also replace files as new as the
archive's), a folder after a switch, and for unattended deployment -s and -lLOG:
  setup.exe -s -lC:\Logs\app.log "C:\Program Files\App"
-s shows no window and no box: the notice counts as accepted, files as new as
the archive's are kept and older ones replaced (with -c all are replaced), the
command runs only with --silent-command, and the exit status tells the outcome:
0 installed, 2 not enough memory, 3-9 the installer unreadable or damaged (9 a
CRC error), 10 a file not created or replaced, 11 a write error (disk full), 12
a close error, 13 a folder not created, 14 a network folder, 15 closed by another
program, 16 the session ended, 17 the log not created. A failed file leaves the
old one in place. -lLOG writes the log afresh, in the ANSI code page: a line
"ok FILE" or "kept FILE" per file, "error TEXT" (the box's text), "exit N".

list: the settings of an installer, its execution level and whether its stub
  knows -s included, and every member: method, sizes, ratio, time (UTC), CRC,
  attributes and name.
test: decodes every member as the installer would and checks every CRC and the
  archive checksum; the exit status is 1 after any fault.
  --threads N              members decoded at once (default: one per processor;
                           also for extract)
extract: writes every member under DIR (default: the current folder), names in
  UTF-8, with their times, the notice and directives as the files "!" and "$"; a
  member whose path would leave DIR is refused, and an existing file is kept
  unless --force is given.
  -d, --directory DIR      the folder to extract into
  -f, --force              replace existing files

--version: the tool's version, and the stub build takes without --stub: its path
  and size, or the places looked in.

FILE is an installer (found by its settings record) or a plain .lzh; MS-DOS
times of level-0/1 headers are read as local time (TZ). Progress is shown on a
terminal; -q or --quiet (for every command) leaves only errors.
)";

// Bad command-line use: the message, then a pointer to the usage.
class UsageError : public cli::Failure {
  public:
    using cli::Failure::Failure;
};

class Arguments {
  public:
    explicit Arguments(std::vector<std::string> args) : args_(std::move(args)) {}

    bool Done() const {
        return at_ >= args_.size();
    }
    // The next argument; an option's value given as --name=value is split off.
    std::string Next() {
        std::string a = args_[at_++];
        if (a.size() > 2 && a.compare(0, 2, "--") == 0 && !only_operands_) {
            const size_t equals = a.find('=');
            if (equals != std::string::npos) {
                pending_ = a.substr(equals + 1);
                has_pending_ = true;
                a.resize(equals);
            }
        }
        return a;
    }
    std::string Value(const std::string &option) {
        if (has_pending_) {
            has_pending_ = false;
            return pending_;
        }
        if (Done()) {
            throw UsageError(option + " needs a value");
        }
        return args_[at_++];
    }
    // Refuses "--flag=value" for an option that takes none.
    void NoValue(const std::string &option) {
        if (has_pending_) {
            throw UsageError(option + " takes no value");
        }
    }
    bool IsOption(const std::string &a) {
        if (only_operands_) {
            return false;
        }
        if (a == "--") {
            only_operands_ = true;
            return false;
        }
        return a.size() > 1 && a[0] == '-';
    }

  private:
    std::vector<std::string> args_;
    size_t at_ = 0;
    std::string pending_;
    bool has_pending_ = false;
    bool only_operands_ = false;
};

int Number(const std::string &option, const std::string &value, int low, int high) {
    char *end = nullptr;
    const long n = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != 0 || n < low || n > high) {
        throw UsageError(option + " takes a number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not \"" + value + "\"");
    }
    return static_cast<int>(n);
}

int Build(Arguments &args) {
    cli::BuildOptions o;
    o.level = lzhsfx::kDefaultLevel;
    o.dos_time_offset = cli::platform::LocalZoneOffset();
    bool from_archive = false;
    while (!args.Done()) {
        const std::string a = args.Next();
        if (!args.IsOption(a)) {
            if (a != "--") {
                o.paths.push_back(a);
            }
            continue;
        }
        auto flag = [&](uint8_t bit) {
            args.NoValue(a);
            o.settings.flags |= bit;
        };
        if (a == "-o" || a == "--output") {
            o.output = args.Value(a);
        } else if (a == "--stub") {
            o.stub = args.Value(a);
        } else if (a == "--method") {
            const std::string m = args.Value(a);
            if (m != "lh0" && m != "lh5" && m != "lh6" && m != "lh7") {
                throw UsageError("unknown method \"" + m + "\": use lh0, lh5, lh6 or lh7");
            }
            o.method = m[2];
        } else if (a == "--level") {
            o.level = Number(a, args.Value(a), lzhsfx::kMinLevel, lzhsfx::kMaxLevel);
        } else if (a == "--threads") {
            o.threads = Number(a, args.Value(a), 1, 1024);
        } else if (a == "--elevation") {
            o.execution_level = args.Value(a);
            if (!cli::IsExecutionLevel(o.execution_level)) {
                throw UsageError("unknown execution level \"" + o.execution_level +
                                 "\": use asInvoker, highestAvailable or requireAdministrator");
            }
        } else if (a == "--from-archive") {
            o.from_archive = args.Value(a);
            from_archive = true;
        } else if (a == "--allow-outside-paths") {
            o.allow_outside = true;
        } else if (a == "--notice") {
            o.notice_file = args.Value(a);
        } else if (a == "--directives") {
            o.directives_file = args.Value(a);
        } else if (a == "--title") {
            o.settings.title = args.Value(a);
        } else if (a == "--install-title") {
            o.settings.install_title = args.Value(a);
        } else if (a == "--install-dir") {
            o.settings.install_dir = args.Value(a);
        } else if (a == "--command") {
            o.settings.command = args.Value(a);
        } else if (a == "--auto-start") {
            flag(cli::kAutoStart);
        } else if (a == "--overwrite") {
            flag(cli::kOverwriteSilently);
        } else if (a == "--checksum") {
            flag(cli::kArchiveChecksum);
        } else if (a == "--no-skip-not-newer" || a == "--ask-newer") {
            flag(cli::kNoSkipNotNewer);
        } else if (a == "--silent-command") {
            flag(cli::kSilentCommand);
        } else if (a == "--restore-attributes") {
            args.NoValue(a);
            o.settings.restore_attributes = true;
        } else if (a == "--verify") {
            args.NoValue(a);
            o.verify = true;
        } else if (a == "-q" || a == "--quiet") {
            args.NoValue(a);
            cli::SetQuiet(true);
        } else {
            throw UsageError("unknown option " + a);
        }
    }
    if (o.output.empty()) {
        throw UsageError("build needs the output: -o OUT");
    }
    if (from_archive && !o.paths.empty()) {
        throw UsageError("--from-archive takes no PATH as well");
    }
    if (!from_archive && o.paths.empty()) {
        throw UsageError("build needs a PATH to pack, or --from-archive");
    }
    cli::BuildInstaller(o);
    return 0;
}

int Inspect(const std::string &command, Arguments &args) {
    std::string file, folder = ".";
    bool force = false;
    int threads = 0;
    while (!args.Done()) {
        const std::string a = args.Next();
        if (!args.IsOption(a)) {
            if (a == "--") {
                continue;
            }
            if (!file.empty()) {
                throw UsageError(command + " takes one FILE");
            }
            file = a;
        } else if (command == "extract" && (a == "-d" || a == "--directory")) {
            folder = args.Value(a);
        } else if (command == "extract" && (a == "-f" || a == "--force")) {
            args.NoValue(a);
            force = true;
        } else if (command != "list" && a == "--threads") {
            threads = Number(a, args.Value(a), 1, 1024);
        } else if (a == "-q" || a == "--quiet") {
            args.NoValue(a);
            cli::SetQuiet(true);
        } else {
            throw UsageError("unknown option " + a);
        }
    }
    if (file.empty()) {
        throw UsageError(command + " needs a FILE");
    }
    const int32_t zone = cli::platform::LocalZoneOffset();
    if (command == "list") {
        return cli::ListArchive(file, zone);
    }
    if (command == "test") {
        return cli::TestArchive(file, zone, threads) == 0 ? 0 : 1;
    }
    return cli::ExtractArchive(file, folder, force, zone, threads);
}

// The version, then the stub `build` takes without --stub.
int Version() {
    std::printf("lzhsfx %s\n", LZHSFX_VERSION);
    const cli::StubChoice stub = cli::DefaultStub();
    const std::string from =
        stub.from_environment ? std::string(" (from ") + cli::kStubVariable + ")" : "";
    cli::platform::FileStatus status;
    if (stub.path.empty()) {
        std::printf("stub: none found (looked for %s); build needs --stub FILE or %s\n",
                    cli::LookedIn(stub).c_str(), cli::kStubVariable);
    } else if (!cli::platform::Status(stub.path, &status)) {
        std::printf("stub: %s%s, not readable: %s\n", stub.path.c_str(), from.c_str(),
                    cli::platform::LastError().c_str());
    } else if (!status.regular) {
        std::printf("stub: %s%s, not a file\n", stub.path.c_str(), from.c_str());
    } else {
        std::printf("stub: %s%s, %llu bytes\n", stub.path.c_str(), from.c_str(),
                    static_cast<unsigned long long>(status.size));
    }
    return 0;
}

// The command line after the program's name, in UTF-8.
int Main(std::vector<std::string> command_line) {
    cli::platform::StartProcess();
    Arguments args(std::move(command_line));
    try {
        if (args.Done()) {
            throw UsageError("no command given");
        }
        const std::string command = args.Next();
        if (command == "-h" || command == "--help" || command == "help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (command == "--version") {
            return Version();
        }
        if (command == "build") {
            return Build(args);
        }
        if (command == "list" || command == "test" || command == "extract") {
            return Inspect(command, args);
        }
        throw UsageError("unknown command \"" + command + "\"");
    } catch (const UsageError &e) {
        cli::PrintError(std::string(e.what()) + " (lzhsfx --help shows the usage)");
        return 2;
    } catch (const std::exception &e) {
        cli::PrintError(e.what());
        return 1;
    }
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t **argv) {
    return Main(cli::platform::Arguments(argc, argv));
}
#else
int main(int argc, char **argv) {
    return Main(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
