// The build number of this executable, from VERSION. Its own file so that
// one set of objects can be linked as another build.
#include "app/session.h"
#include "version.h"

const int kBuild = TAVRENSIL_BUILD;
