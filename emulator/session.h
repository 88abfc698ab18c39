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
std::string Utf8FromCp932(const std::string &cp932);
// "" and false when the text has a character code page 932 cannot hold.
bool Cp932FromUtf8(const std::string &utf8, std::string *cp932);

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

    void Record(Event &event);
    // The next answer; when none is left the run ends with kEndNoAnswer, saying what
    // waited for it.
    std::string TakeAnswer(const std::string &waiting);
};

Session &Current();

// Installs the dialog driver, the Program Manager stand-in and the machine's folders.
void PrepareDesktop();
// Adds the dialog template `name` from the program's resources to the model; false
// when the program has none of that name.
bool DefineTemplateFromResources(const std::string &name);
// The host procedure the model calls for every dialog of the program.
INT_PTR CALLBACK GuestDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
// Fills the import table of the image with traps of the modelled calls.
void InstallTraps();
// Records a text change of a dialog control or window.
void RecordText(HWND window, int id, const char *text);
