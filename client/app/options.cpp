#include "app/options.h"

#include <cstdlib>

namespace {

const wchar_t kDefaultSite[] = L"https://oyun.tavrensil.com";

}  // namespace

ClientOptions ParseArguments(int argc, wchar_t* const* argv) {
  ClientOptions options;
  options.site = kDefaultSite;
  struct TextOption {
    const wchar_t* name;
    std::wstring ClientOptions::*field;
  };
  const TextOption text_options[] = {
      {L"--movie", &ClientOptions::movie}, {L"--flashvars", &ClientOptions::flashvars},
      {L"--wmode", &ClientOptions::wmode}, {L"--site", &ClientOptions::site},
      {L"--shot", &ClientOptions::shot},   {L"--loading", &ClientOptions::loading},
  };
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    const wchar_t* value = (i + 1 < argc) ? argv[i + 1] : nullptr;
    bool matched = false;
    for (const TextOption& option : text_options) {
      if (arg != option.name) continue;
      options.*option.field = value ? value : L"";
      matched = true;
    }
    if (arg == L"--after") {
      options.after = value ? _wtoi(value) : 0;
      matched = true;
    }
    if (matched && value) ++i;
    if (arg == L"--mobile") options.mobile = true;
    // Our installer's report, one argument: "--update-failed=REASON".
    const std::wstring update_failed = L"--update-failed";
    if (arg.compare(0, update_failed.size(), update_failed) == 0 &&
        arg.size() > update_failed.size() && arg[update_failed.size()] == L'=') {
      options.update_failed = arg.substr(update_failed.size() + 1);
    }
  }
  return options;
}
