// The error box and the message pump of the stub, as the tool has them: a message
// goes to standard error in UTF-8, with its English sense beside it, and the pump
// moves the tool's progress bar.
#include <string>

#include "console.h"
#include "startup/run_state.h"
#include "text_codec.h"
#include "ui/messages.h"
#include "win32_runtime.h"

namespace {

std::string archive_name;
void (*progress_step)() = nullptr;

// The messages the stub's reader and decoder can show, with their sense.
const char *Gloss(const std::string &message) {
    static const struct {
        const char *text;
        const char *gloss;
    } kGlosses[] = {
        {"ﾍｯﾀﾞｰの内容が不正", "the header's contents are invalid"},
        {"ﾒﾓﾘが足りません", "not enough memory"},
        {"読み込みｴﾗｰ", "read error"},
        {"書き込みｴﾗｰ", "write error"},
        {"ﾃﾞｰﾀが欠落しています", "data is missing"},
        {"ｵｰﾌﾟﾝｴﾗｰ", "open error"},
        {"Bad table", "damaged Huffman table"},
    };
    for (const auto &g : kGlosses) {
        if (message == g.text) {
            return g.gloss;
        }
    }
    return nullptr;
}

} // namespace

namespace runtime {

void SetArchiveName(const std::string &name) {
    archive_name = name;
}

void SetProgressStep(void (*step)()) {
    progress_step = step;
}

} // namespace runtime

void ErrorBox(FailureKind kind, const char *object) {
    std::string text = cli::ShowShiftJis(FailureTexts[kind - kMemoryFailure]);
    if (const char *gloss = Gloss(text)) {
        text += std::string(" (") + gloss + ")";
    }
    if (object != nullptr) {
        const std::string name =
            object == State->OwnPath ? archive_name : cli::ShowShiftJis(object);
        text = "\"" + name + "\" " + text;
    }
    cli::PrintError(text);
}

void PumpMessages(HWND dialog) {
    (void)dialog;
    if (progress_step != nullptr) {
        progress_step();
    }
}
