#include "archive/errors.h"

#include "startup/run_state.h"
#include "ui/messages.h"

static BOOL Report(const char *message, const char *object) {
    ErrorBox(message, object);
    State->Failed = 1;
    return FALSE;
}

BOOL ReportOpenError(const char *object) {
    return Report("ｵｰﾌﾟﾝｴﾗｰ", object);
}

BOOL ReportReadError() {
    return Report("読み込みｴﾗｰ", State->OwnPath);
}

BOOL ReportDataMissing() {
    return Report("ﾃﾞｰﾀが欠落しています", State->OwnPath);
}

BOOL ReportInvalidHeader() {
    return Report("ﾍｯﾀﾞｰの内容が不正", State->OwnPath);
}
