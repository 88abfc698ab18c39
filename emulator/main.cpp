// sfxemu: runs a Windows installer's real i386 code under Unicorn over the Win32 model,
// so that what an installer does can be seen and checked without Windows.
//
//   sfxemu [--drive-c DIR] [--win32s] [--cwd WINDOWS-DIR] [--answer A]... [--transcript FILE]
//          [--interactive] INSTALLER [ARGS...]
//
// Drive C: is DIR (a fresh temporary folder when not given), Z: is the Linux root, as
// under Wine. The installer runs from C:\ as "INSTALLER ARGS" would. Each message box,
// and each dialog when it waits for the user, takes the next answer. The exit status is
// the installer's; 125 when a box or a dialog waited and no answer was left, 124 when
// the program did what the model does not have (the run says what and where).
//
// With --interactive, a driver on standard input and output plays the user instead of
// the answers: whenever a window waits, the emulator writes "wait HANDLE", the window as
// the end-to-end tests' UI helper dumps it and "end"; the driver answers "click ID" or
// "settext ID TEXT", and the emulator says "status N" (the helper's statuses) and goes on.
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "platform/host_control.h"
#include "platform/host_state.h"
#include "session.h"

namespace {

int Usage(const char *message) {
    fprintf(stderr,
            "%s\nusage: sfxemu [--drive-c DIR] [--win32s] [--cwd WINDOWS-DIR] [--answer A]... "
            "[--transcript FILE] [--interactive] INSTALLER [ARGS...]\n"
            "answers: ok, cancel, yes, no, retry, folder:C:\\path (typed into the dialog's "
            "folder field, then OK), click:ID\n",
            message);
    return 2;
}

std::string Absolute(const std::string &path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

// The Windows name of a Linux path: under C: inside drive C's folder, else on Z:.
std::string WindowsName(const std::string &linux_path, const std::string &drive_c) {
    std::string rest;
    std::string drive = "Z:";
    if (linux_path.compare(0, drive_c.size(), drive_c) == 0 &&
        (linux_path.size() == drive_c.size() || linux_path[drive_c.size()] == '/')) {
        drive = "C:";
        rest = linux_path.substr(drive_c.size());
    } else {
        rest = linux_path;
    }
    for (char &c : rest) {
        c = c == '/' ? '\\' : c;
    }
    return drive + (rest.empty() ? "\\" : rest);
}

// As Windows quotes a command line's words: in quotes when they hold a blank.
std::string Quoted(const std::string &word) {
    return word.find_first_of(" \t") == std::string::npos && !word.empty() ? word
                                                                           : "\"" + word + "\"";
}

void OnExit(int status, const std::string &fault) {
    Session &s = Current();
    Event e("exit");
    e.Number("status", status);
    if (!fault.empty()) {
        e.Raw("fault", JsonString(fault));
    }
    s.Record(e);
    if (s.transcript != nullptr) {
        fclose(s.transcript);
        s.transcript = nullptr;
    }
    if (!s.drive_root.empty()) {
        unlink((s.drive_root + "/c").c_str());
        unlink((s.drive_root + "/z").c_str());
        rmdir(s.drive_root.c_str());
    }
}

void MakeFolder(const std::string &path) {
    mkdir(path.c_str(), 0755);
}

} // namespace

int main(int argc, char **argv) {
    std::string drive_c;
    std::string transcript;
    bool win32s = false;
    bool interactive = false;
    std::string cwd = "C:\\";
    Session &s = Current();
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
        std::string option = argv[i];
        if (option == "--win32s") {
            win32s = true;
        } else if (option == "--interactive") {
            interactive = true;
        } else if (i + 1 >= argc) {
            return Usage(("missing value of " + option).c_str());
        } else if (option == "--drive-c") {
            drive_c = argv[++i];
        } else if (option == "--answer") {
            s.answers.push_back(argv[++i]);
        } else if (option == "--cwd") {
            cwd = argv[++i];
        } else if (option == "--transcript") {
            transcript = argv[++i];
        } else {
            return Usage(("unknown option " + option).c_str());
        }
    }
    if (i >= argc) {
        return Usage("no installer given");
    }
    std::string installer = Absolute(argv[i++]);

    std::ifstream in(installer, std::ios::binary);
    if (!in) {
        fprintf(stderr, "sfxemu: cannot read %s\n", installer.c_str());
        return 2;
    }
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    std::string error;
    if (!LoadPeImage(file, Machine::kImageBase, &s.image, &error)) {
        fprintf(stderr, "sfxemu: %s: %s\n", installer.c_str(), error.c_str());
        return 2;
    }

    if (drive_c.empty()) {
        char pattern[] = "/tmp/sfxemu-c-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            fprintf(stderr, "sfxemu: no temporary folder: %s\n", strerror(errno));
            return 2;
        }
        drive_c = pattern;
        fprintf(interactive ? stderr : stdout, "drive C: is %s\n", drive_c.c_str());
        fflush(nullptr);
    }
    MakeFolder(drive_c);
    drive_c = Absolute(drive_c);
    // The model maps drive X: to ROOT/x: C: and Z: are links to their folders.
    char root_pattern[] = "/tmp/sfxemu-root-XXXXXX";
    if (mkdtemp(root_pattern) == nullptr) {
        fprintf(stderr, "sfxemu: no temporary folder: %s\n", strerror(errno));
        return 2;
    }
    std::string root = root_pattern;
    s.drive_root = root;
    HostReset(root);
    rmdir((root + "/c").c_str());
    if (symlink(drive_c.c_str(), (root + "/c").c_str()) != 0 ||
        symlink("/", (root + "/z").c_str()) != 0) {
        fprintf(stderr, "sfxemu: cannot lay out the drives in %s\n", root.c_str());
        return 2;
    }
    // The folders of a Windows installation, named as Wine names them.
    for (const char *folder : {"/windows", "/windows/system32", "/Program Files", "/users",
                               "/users/Public", "/users/Public/Temp"}) {
        MakeFolder(drive_c + folder);
    }
    HostStoreAsWine(true);
    HostSetWindowsDirectory("C:\\windows");
    Host().system_dir = "C:\\windows\\system32";
    HostSetEnv("TEMP", "C:\\users\\Public\\Temp");
    HostSetEnv("TMP", "C:\\users\\Public\\Temp");
    HostSetMachineValue("SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir",
                        "C:\\Program Files");
    HostSetPlatformId(win32s ? VER_PLATFORM_WIN32s : VER_PLATFORM_WIN32_NT);
    std::string cwd_cp932;
    if (!Cp932FromUtf8(cwd, &cwd_cp932)) {
        return Usage("the folder of --cwd has characters code page 932 lacks");
    }
    HostSetCurrentDirectory(cwd_cp932.c_str());
    if (interactive) {
        s.control_in = stdin;
        s.control_out = stdout;
    }

    std::string module = WindowsName(installer, drive_c);
    std::string module_cp932;
    if (!Cp932FromUtf8(module, &module_cp932)) {
        fprintf(stderr, "sfxemu: the installer's path has characters code page 932 lacks\n");
        return 2;
    }
    HostSetModulePath(module_cp932.c_str());
    s.command_line = Quoted(module_cp932);
    for (; i < argc; ++i) {
        std::string word;
        if (!Cp932FromUtf8(argv[i], &word)) {
            fprintf(stderr, "sfxemu: argument %s has characters code page 932 lacks\n", argv[i]);
            return 2;
        }
        s.command_line += " " + Quoted(word);
    }

    if (!transcript.empty()) {
        s.transcript = fopen(transcript.c_str(), "w");
        if (s.transcript == nullptr) {
            fprintf(stderr, "sfxemu: cannot write %s\n", transcript.c_str());
            return 2;
        }
        setvbuf(s.transcript, nullptr, _IOLBF, 0);
    }
    Machine &m = s.machine;
    m.SetExitObserver(OnExit);
    uint32_t size = (s.image.image_size + 0xFFF) & ~0xFFFu;
    uint8_t *image = m.Map(Machine::kImageBase, size);
    if (image == nullptr) {
        fprintf(stderr, "sfxemu: no room for the image\n");
        return 2;
    }
    memcpy(image, s.image.memory.data(), s.image.memory.size());
    InstallTraps();
    PrepareDesktop();
    PrepareDialogs();
    Event started("start");
    s.Record(started.Text("command_line", s.command_line)
                 .Raw("platform", JsonString(win32s ? "win32s" : "nt")));
    m.Run(Machine::kImageBase + s.image.entry,
          s.image.stack_reserve != 0 ? s.image.stack_reserve : 1u << 20);
}
