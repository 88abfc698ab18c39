#include "archive/errors.h"

#include "startup/run_state.h"
#include "ui/messages.h"

const char *const FailureTexts[] = {
    "ﾒﾓﾘが足りません",
    "ｵｰﾌﾟﾝｴﾗｰ",
    "読み込みｴﾗｰ",
    "ﾃﾞｰﾀが欠落しています",
    "ﾍｯﾀﾞｰの内容が不正",
    "改竄されています",
    "Bad table",
    "CRCｴﾗｰ",
    "ｵｰﾌﾟﾝｴﾗｰ",
    "書き込みｴﾗｰ",
    "ｸﾛｰｽﾞｴﾗｰ",
    "ｵｰﾌﾟﾝｴﾗｰ",
    "ﾃﾞｨﾚｸﾄﾘ名が正しくありません",
    "ｷｬﾝｾﾙされました",
    "ﾛｸﾞｵﾌまたはｼｬｯﾄﾀﾞｳﾝ",
};

static_assert(sizeof FailureTexts / sizeof FailureTexts[0] ==
                  kSessionEndFailure - kMemoryFailure + 1,
              "a message for every kind that has one");

BOOL ReportError(FailureKind kind, const char *object) {
    ErrorBox(kind, object);
    State->Failed = 1;
    return FALSE;
}

BOOL ReportOpenError(const char *object) {
    return ReportError(kOpenFailure, object);
}

BOOL ReportReadError() {
    return ReportError(kReadFailure, State->OwnPath);
}

BOOL ReportDataMissing() {
    return ReportError(kDataMissingFailure, State->OwnPath);
}

BOOL ReportInvalidHeader() {
    return ReportError(kHeaderFailure, State->OwnPath);
}
