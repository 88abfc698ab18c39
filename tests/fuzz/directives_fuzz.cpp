// The directive reader and the line reader under it, over arbitrary directive
// texts: every field it fills ends inside its width, the cursor never leaves the
// text, a copied value never overruns its buffer, and the walk after extraction
// ("$Class=" and "$Group=" lines) stays inside its fields too.
//
// Input: one byte of options (bit 0: `InstallDir` already set; bit 1: association
// box checked; bit 2: group box checked; bit 3: run the walk after extraction;
// bits 4 to 7 with the next byte: the buffer size for the cursor walk, 1 to 4096),
// then the text.
#include <stdlib.h>
#include <string.h>

#include "fuzz_support.h"
#include "platform/host_state.h"
#include "shell/post_extraction.h"
#include "startup/directives.h"

namespace {

void CheckTerminated(const char *field, size_t width) {
    FUZZ_CHECK(memchr(field, 0, width) != nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) {
        return 0;
    }
    uint8_t options = data[0];
    int value_size = 1 + ((((options >> 4) << 8) | data[1]) % kDirectiveTextSize);
    size_t length = FuzzTextLength(data + 2, size - 2, kDirectiveTextSize - 1);

    FuzzBegin();
    RunState *s = State;
    memcpy(s->DirectiveText, data + 2, length);
    s->DirectiveText[length] = 0;
    if (options & 1) {
        lstrcpyA(s->Settings.InstallDir, "C:\\Given");
    }
    lstrcpyA(s->DestinationDir, "C:\\Dest");
    lstrcpyA(s->Settings.WindowTitle, "Setup");

    ReadDirectives();
    CheckTerminated(s->Settings.WindowTitle, kWindowTitleSize);
    CheckTerminated(s->Settings.InstallTitle, kInstallTitleSize);
    CheckTerminated(s->Settings.InstallDir, kInstallDirSize);
    CheckTerminated(s->Settings.Command, kCommandSize);
    CheckTerminated(s->AssociationCaption, kCaptionSize);
    CheckTerminated(s->GroupCaption, kCaptionSize);
    if (options & 1) {
        FUZZ_CHECK(strcmp(s->Settings.InstallDir, "C:\\Given") == 0);
    }
    FUZZ_CHECK(AutoStart <= 1 && OverwriteSilently <= 1 && SkipNotNewer <= 1 &&
               AskBeforeAssociate <= 1);
    FUZZ_CHECK(s->Settings.RestoreAttributes == 0 || s->Settings.RestoreAttributes == '/');
    FUZZ_CHECK(s->DirectiveText[length] == 0 && memcmp(s->DirectiveText, data + 2, length) == 0);

    // The line reader with a value buffer of exactly the given size.
    char *value = static_cast<char *>(malloc(static_cast<size_t>(value_size)));
    const char *end = s->DirectiveText + length;
    TextCursor cursor = {s->DirectiveText};
    int lines = 0;
    while (SkipBreaks(&cursor)) {
        FUZZ_CHECK(cursor.at < end);
        const char *line = cursor.at;
        int keyword = MatchKeyword(&cursor);
        FUZZ_CHECK(keyword >= kNoKeyword && keyword <= kFlagKeyword);
        FUZZ_CHECK((keyword == kNoKeyword) == (cursor.at == line));
        const char *from = cursor.at;
        CopyValue(&cursor, value, value_size);
        FUZZ_CHECK(static_cast<int>(strlen(value)) == cursor.at - from);
        FUZZ_CHECK(memcmp(value, from, strlen(value)) == 0);
        SkipLine(&cursor);
        FUZZ_CHECK(cursor.at <= end && static_cast<BYTE>(*cursor.at) < 32);
        FUZZ_CHECK(++lines <= kDirectiveTextSize);
    }
    FUZZ_CHECK(cursor.at == end);
    free(value);

    if (options & 8) {
        s->AssociationChecked = (options >> 1) & 1;
        s->GroupChecked = (options >> 2) & 1;
        RunPostExtraction(nullptr);
        CheckTerminated(s->Extension, kShortFieldSize);
        CheckTerminated(s->TypeName, kShortFieldSize);
        CheckTerminated(s->ClassKey, kClassKeySize);
        CheckTerminated(s->ProgramPath, kPathSize);
        CheckTerminated(s->IconPath, kPathSize);
        CheckTerminated(s->ItemTitle, kCaptionSize);
        CheckTerminated(s->GroupName, kCaptionSize);
        CheckTerminated(s->CommandText, kCommandTextSize);
        FUZZ_CHECK(Host().files.empty());
    }
    FuzzEnd();
    return 0;
}
