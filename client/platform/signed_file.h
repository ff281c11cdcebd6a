// What a downloaded installer says about itself: its Authenticode signature
// (checked by the system, with the signer's key for the caller to pin) and
// its version resource. wintrust, crypt32 and version are taken from the
// system folder at run time, as every library that is not a known one.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// Checks the signature of the file open as `file` (read from there), named
// `path`: no user interface, no revocation check, certificates fetched only
// from the cache. On success gives the SHA-256 (lower-case hex) of the
// signing certificate's encoded public key info in `key_sha256`. Returns
// the system's verdict: ERROR_SUCCESS, or the trust error (TRUST_E_NOSIGNATURE,
// TRUST_E_BAD_DIGEST, ...), or a system error when the signer cannot be read.
LONG VerifyFileSignature(HANDLE file, const std::wstring& path, std::string* key_sha256);

// The product name and the build (the file version's third number) of the
// version resource of the file at `path`; false when it has none or the
// system cannot read it.
bool ReadFileVersion(const std::wstring& path, std::wstring* product, int64_t* build);
