#include "platform/winhttp_functions.h"

#include "platform/system_libraries.h"

const WinHttpFunctions& WinHttp() {
  static const WinHttpFunctions table = [] {
    const HMODULE library = LoadSystemLibrary(L"winhttp.dll");
    WinHttpFunctions t;
    BIND_SYSTEM_FUNCTION(t, library, WinHttpCloseHandle);
    BIND_SYSTEM_FUNCTION(t, library, WinHttpConnect);
    BIND_SYSTEM_FUNCTION(t, library, WinHttpGetIEProxyConfigForCurrentUser);
    BIND_SYSTEM_FUNCTION(t, library, WinHttpGetProxyForUrl);
    BIND_SYSTEM_FUNCTION(t, library, WinHttpOpen);
    BIND_SYSTEM_FUNCTION(t, library, WinHttpOpenRequest);
    BIND_SYSTEM_FUNCTION(t, library, WinHttpQueryHeaders);
    BIND_SYSTEM_FUNCTION(t, library, WinHttpReadData);
    BIND_SYSTEM_FUNCTION(t, library, WinHttpReceiveResponse);
    BIND_SYSTEM_FUNCTION(t, library, WinHttpSendRequest);
    BIND_SYSTEM_FUNCTION(t, library, WinHttpSetOption);
    BIND_SYSTEM_FUNCTION(t, library, WinHttpSetTimeouts);
    return t;
  }();
  return table;
}
