// The small window of the client's own that shows an update on its way:
// the download with its progress, the checks, the installer's start, or
// the one line that says why it failed, with Cancel and the download page.
#pragma once

#include <windows.h>

#include "app/update.h"

// How the update window ended.
enum class UpdateChoice {
  kInstalling,  // the installer runs; the client must end now
  kPage,        // the player asked for the download page
  kClose,       // the player cancelled or closed the window
};

// Shows the window owned by `owner` (disabled meanwhile), starts `updater`
// unless it failed already, and runs until one of the choices is made.
// Progress is drawn at most ten times a second.
UpdateChoice RunUpdateWindow(HINSTANCE instance, HWND owner, Updater& updater);
