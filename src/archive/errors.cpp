#include "archive/errors.h"

#include "startup/run_state.h"
#include "ui/messages.h"

BOOL ReportError(const char *message, const char *object) {
    ErrorBox(message, object);
    State->Failed = 1;
    return FALSE;
}

BOOL ReportOpenError(const char *object) {
    return ReportError("ｵｰﾌﾟﾝｴﾗｰ", object);
}

BOOL ReportReadError() {
    return ReportError("読み込みｴﾗｰ", State->OwnPath);
}

BOOL ReportDataMissing() {
    return ReportError("ﾃﾞｰﾀが欠落しています", State->OwnPath);
}

BOOL ReportInvalidHeader() {
    return ReportError("ﾍｯﾀﾞｰの内容が不正", State->OwnPath);
}
