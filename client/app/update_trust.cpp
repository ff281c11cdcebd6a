// What this build trusts for self-installing updates, from update_trust.h,
// which the build writes (cmake/UpdateTrust.cmake). Its own file: a
// release signed with other keys recompiles only this.
#include "app/update.h"
#include "update_trust.h"

const std::vector<std::string>& TrustedSignerKeys() {
  static const std::vector<std::string> keys = {TAVRENSIL_SIGNER_KEYS};
  return keys;
}

const std::vector<std::wstring>& InstallerHosts() {
  static const std::vector<std::wstring> hosts = {TAVRENSIL_INSTALLER_HOSTS};
  return hosts;
}
