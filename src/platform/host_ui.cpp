// Host double: calendar conversions, message boxes, dialog item texts, the message
// queue and the common dialogs' file title.
#include "platform/host_state.h"

#include <string.h>

// ---- Calendar -----------------------------------------------------------------

static bool IsLeap(long long y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

static int DaysInMonth(long long y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

// Days from 1601-01-01 to the given date (proleptic Gregorian).
static long long DaysFrom1601(long long y, int m, int d) {
    long long days = 0;
    long long years = y - 1601;
    days = years * 365 + years / 4 - years / 100 + years / 400;
    for (int i = 1; i < m; ++i) {
        days += DaysInMonth(y, i);
    }
    return days + d - 1;
}

BOOL WINAPI FileTimeToSystemTime(const FILETIME *ft, LPSYSTEMTIME st) {
    unsigned long long v =
        (static_cast<unsigned long long>(ft->dwHighDateTime) << 32) | ft->dwLowDateTime;
    if (v > 0x7FFFFFFFFFFFFFFFULL) {
        return FALSE;
    }
    unsigned long long ms_total = v / 10000;
    unsigned long long days = ms_total / 86400000ULL;
    unsigned long long ms_of_day = ms_total % 86400000ULL;
    st->wDayOfWeek = static_cast<WORD>((days + 1) % 7); // 1601-01-01 was a Monday
    // 400-year cycles of 146097 days, then years one by one.
    long long y = 1601 + static_cast<long long>(days / 146097) * 400;
    long long rest = static_cast<long long>(days % 146097);
    while (rest >= (IsLeap(y) ? 366 : 365)) {
        rest -= IsLeap(y) ? 366 : 365;
        ++y;
    }
    int m = 1;
    while (rest >= DaysInMonth(y, m)) {
        rest -= DaysInMonth(y, m);
        ++m;
    }
    st->wYear = static_cast<WORD>(y);
    st->wMonth = static_cast<WORD>(m);
    st->wDay = static_cast<WORD>(rest + 1);
    st->wHour = static_cast<WORD>(ms_of_day / 3600000);
    st->wMinute = static_cast<WORD>(ms_of_day / 60000 % 60);
    st->wSecond = static_cast<WORD>(ms_of_day / 1000 % 60);
    st->wMilliseconds = static_cast<WORD>(ms_of_day % 1000);
    return TRUE;
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME *st, LPFILETIME ft) {
    // Every field must be in range; the day of week is not read.
    if (st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 ||
        st->wDay < 1 || st->wDay > DaysInMonth(st->wYear, st->wMonth) || st->wHour > 23 ||
        st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999) {
        return FALSE;
    }
    long long days = DaysFrom1601(st->wYear, st->wMonth, st->wDay);
    unsigned long long ms = static_cast<unsigned long long>(days) * 86400000ULL +
                            st->wHour * 3600000ULL + st->wMinute * 60000ULL +
                            st->wSecond * 1000ULL + st->wMilliseconds;
    unsigned long long v = ms * 10000;
    ft->dwLowDateTime = static_cast<DWORD>(v);
    ft->dwHighDateTime = static_cast<DWORD>(v >> 32);
    return TRUE;
}

// ---- Message boxes and dialog items --------------------------------------------

void HostQueueAnswer(int answer) {
    Host().answers.push_back(answer);
}

const std::vector<HostMessageBox> &HostMessageBoxes() {
    return Host().boxes;
}

const std::vector<HostItemText> &HostItemTexts() {
    return Host().item_texts;
}

void HostSetPumpHook(void (*hook)()) {
    Host().pump_hook = hook;
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
    HostMachine &m = Host();
    m.boxes.push_back(HostMessageBox{owner, caption == nullptr ? "" : caption, text, style});
    if (!m.answers.empty()) {
        int answer = m.answers.front();
        m.answers.erase(m.answers.begin());
        return answer;
    }
    UINT buttons = style & 0x0F;
    return buttons == MB_YESNO || buttons == MB_YESNOCANCEL ? IDYES : IDOK;
}

BOOL WINAPI SetDlgItemTextA(HWND dialog, int id, LPCSTR text) {
    Host().item_texts.push_back(HostItemText{dialog, id, text});
    // A window the dialog double does not model takes any item text.
    return HostSetDialogItemText(dialog, id, text) != 0 ? TRUE : FALSE;
}

BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT first, UINT last, UINT remove) {
    if (Host().pump_hook != nullptr) {
        Host().pump_hook();
    }
    return HostTakePostedMessage(msg, window, first, last, remove);
}

BOOL WINAPI IsDialogMessageA(HWND, LPMSG) {
    return FALSE;
}

BOOL WINAPI TranslateMessage(const MSG *) {
    return FALSE;
}

LRESULT WINAPI DispatchMessageA(const MSG *msg) {
    return HostDispatchMessage(msg);
}

// ---- Common dialogs -----------------------------------------------------------

short WINAPI GetFileTitleA(LPCSTR path, LPSTR title, WORD size) {
    // The name after the last separator or colon, extension kept; the size it needs
    // when the buffer is too small; -1 for a path that ends in a separator.
    const char *name = path;
    for (const char *p = path; *p != 0; ++p) {
        if (IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != 0) {
            ++p;
        } else if (*p == '\\' || *p == '/' || *p == ':') {
            name = p + 1;
        }
    }
    size_t n = strlen(name);
    if (n == 0) {
        return -1;
    }
    if (title == nullptr || n + 1 > size) {
        return static_cast<short>(n + 1);
    }
    memcpy(title, name, n + 1);
    return 0;
}
