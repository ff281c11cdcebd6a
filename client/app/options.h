// The client's start-up options, read once from the command line.
#pragma once

#include <cstdint>
#include <string>

struct ClientOptions {
  std::wstring movie;
  std::wstring flashvars;
  std::wstring wmode = L"direct";
  std::wstring site;  // set to the configured site base URL by default
  std::wstring shot;
  int32_t after = 5000;
  bool mobile = false;
  std::wstring loading;
  // "--update-failed=REASON", given by our installer when it could not
  // install an update and started this copy again: what failed.
  std::wstring update_failed;
};

// The options with their defaults, `argv[1..argc-1]` applied in order:
// exact option names only; an option needing a value takes the next argument
// whatever it is, and as the last argument leaves its field empty (0).
ClientOptions ParseArguments(int argc, wchar_t* const* argv);
