#include <windef.h>

namespace {
thread_local DWORD t_last_error = 0;
}

extern "C" {
BFAPI DWORD WINAPI GetLastError() { return t_last_error; }
BFAPI void WINAPI SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }
}
