// Reads or stores a cookie in the browser's cookie store, so a test can show
// that a cookie stored by one process is seen by another.
//   cookie_tool set URL NAME VALUE DAYS   exit 0 when the store took it
//   cookie_tool get URL NAME              prints the value
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "browser_cookie.h"
#include "http.h"

int wmain(int argc, wchar_t** argv) {
  if (argc == 6 && std::wcscmp(argv[1], L"set") == 0) {
    return PersistBrowserCookie(argv[2], WideToUtf8(argv[3]), WideToUtf8(argv[4]), _wtoi(argv[5]))
               ? 0
               : 1;
  }
  if (argc == 4 && std::wcscmp(argv[1], L"get") == 0) {
    std::printf("%s\n", BrowserCookie(argv[2], WideToUtf8(argv[3])).c_str());
    return 0;
  }
  std::fprintf(stderr, "usage: cookie_tool set URL NAME VALUE DAYS | get URL NAME\n");
  return 2;
}
