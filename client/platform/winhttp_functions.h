// The WinHTTP functions the transport and the route finder call, taken
// from winhttp.dll in the system folder on first use.
#pragma once

#include <windows.h>
#include <winhttp.h>

struct WinHttpFunctions {
  decltype(&::WinHttpCloseHandle) WinHttpCloseHandle;
  decltype(&::WinHttpConnect) WinHttpConnect;
  decltype(&::WinHttpGetIEProxyConfigForCurrentUser) WinHttpGetIEProxyConfigForCurrentUser;
  decltype(&::WinHttpGetProxyForUrl) WinHttpGetProxyForUrl;
  decltype(&::WinHttpOpen) WinHttpOpen;
  decltype(&::WinHttpOpenRequest) WinHttpOpenRequest;
  decltype(&::WinHttpQueryHeaders) WinHttpQueryHeaders;
  decltype(&::WinHttpReadData) WinHttpReadData;
  decltype(&::WinHttpReceiveResponse) WinHttpReceiveResponse;
  decltype(&::WinHttpSendRequest) WinHttpSendRequest;
  decltype(&::WinHttpSetOption) WinHttpSetOption;
  decltype(&::WinHttpSetTimeouts) WinHttpSetTimeouts;
};

// The table, bound once (from any thread). Where the library or a function
// is missing, that entry fails with ERROR_PROC_NOT_FOUND, so the first call
// (WinHttpOpen) reports it as the platform would.
const WinHttpFunctions& WinHttp();
