// One emulated run of an installer: the machine and the program's image, the answers
// the user gives, the transcript of what the program did, and the parts of Windows
// that are not calls of the program (its dialog templates, the Program Manager).
#pragma once

#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "machine.h"
#include "pe_image.h"

// One transcript event: a JSON object written as one line.
class Event {
  public:
    explicit Event(const char *kind);
    // Texts of the program are code page 932 and written as Unicode.
    Event &Text(const char *key, const std::string &cp932);
    Event &Number(const char *key, long long value);
    Event &Flag(const char *key, bool value);
    // A value already in JSON.
    Event &Raw(const char *key, const std::string &json);
    const std::string &json() {
        body_ += "}";
        return body_;
    }

  private:
    std::string body_;
};

std::string JsonString(const std::string &utf8);
// iconv between two encodings; false when the text does not convert whole.
bool Convert(const char *to, const char *from, const std::string &in, std::string *out);
std::string Utf8FromCp932(const std::string &cp932);
// "" and false when the text has a character code page 932 cannot hold.
bool Cp932FromUtf8(const std::string &utf8, std::string *cp932);

// A window that waits for the user: what the tests' UI helper would report of it, and
// what a user can do to it. Statuses are the helper's: 0 done, 3 no such control, 4 the
// control is hidden or disabled.
class Waiting {
  public:
    virtual ~Waiting() = default;
    virtual HWND window() = 0;
    // The helper's dump: the window's line, then each control's.
    virtual std::string Dump() = 0;
    // Types `text` (code page 932) into control `id`.
    virtual int SetText(int id, const std::string &text) = 0;
    // Clicks control `id`; on 0 `answer` is the answer it stands for, which ends the wait.
    virtual int Click(int id, std::string *answer) = 0;
};

// A message box as Wine shows it: its text (control 65535) and its buttons.
class BoxWaiting : public Waiting {
  public:
    BoxWaiting(const std::string &caption, const std::string &text, UINT style);
    HWND window() override {
        return window_;
    }
    std::string Dump() override;
    int SetText(int id, const std::string &text) override;
    int Click(int id, std::string *answer) override;
    // The buttons' answers ("yes,no"), and the button an answer names (0: none).
    std::string ButtonNames() const;
    int Button(const std::string &answer) const;

  private:
    HWND window_;
    std::string caption_;
    std::string text_;
    std::vector<int> buttons_;
};

// The folder dialog (the file-open common dialog on the program's template): OK takes
// the folder it shows, Cancel leaves it.
class FolderWaiting : public Waiting {
  public:
    FolderWaiting(const std::string &caption, const std::string &file, const std::string &folder,
                  DWORD flags);
    HWND window() override {
        return window_;
    }
    std::string Dump() override;
    int SetText(int id, const std::string &text) override;
    int Click(int id, std::string *answer) override;

  private:
    HWND window_;
    std::string caption_;
    std::string file_;
    std::string folder_;
    DWORD flags_;
};

// A line of the helper's dump.
std::string DumpLine(const std::string &id, const char *cls, const std::string &cp932_text,
                     const std::string &state, const RECT &rect);

struct Session {
    Machine machine;
    PeImage image;
    std::string command_line;         // as GetCommandLineA returns it, code page 932
    std::vector<std::string> answers; // in the order they are taken
    size_t next_answer = 0;
    FILE *transcript = nullptr;
    std::string drive_root;                // the model's folder of drive links, removed at the end
    uint32_t kernel_module = 0;            // the handle GetModuleHandleA gives for kernel32
    std::vector<std::string> open_dialogs; // template names, innermost last
    std::vector<uint32_t> dialog_procs;    // the guest procedures of the open dialogs
    std::vector<std::pair<HWND, uint32_t>> bound_procs;
    int timer_firings = 0;
    std::string folder_template; // the folder dialog's template, when it is the program's

    void Record(Event &event);
    // The next answer; when none is left the run ends with kEndNoAnswer, saying what
    // waited for it.
    std::string TakeAnswer(const std::string &waiting);
    // The answer for a window that waits: the next --answer, or, when the run is driven
    // through the control channel, what its driver does to the window.
    std::string Await(Waiting &waiting, const std::string &what);
    FILE *control_in = nullptr; // the driver's actions, one per line
    FILE *control_out = nullptr;
};

Session &Current();

// Installs the dialog driver and the Program Manager stand-in.
void PrepareDesktop();
void PrepareDialogs();
// Adds the dialog template `name` from the program's resources to the model; false
// when the program has none of that name.
bool DefineTemplateFromResources(const std::string &name);
// The host procedure the model calls for every dialog of the program.
INT_PTR CALLBACK GuestDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
// Fills the import table of the image with traps of the modelled calls.
void InstallTraps();
// Records a text change of a dialog control or window.
void RecordText(HWND window, int id, const char *text);
