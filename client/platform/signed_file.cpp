#include "platform/signed_file.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cwchar>
#include <vector>

#include "core/sha256.h"
#include "platform/system_libraries.h"

namespace {

struct TrustFunctions {
  decltype(&::WinVerifyTrust) WinVerifyTrust;
  decltype(&::WTHelperProvDataFromStateData) WTHelperProvDataFromStateData;
  decltype(&::WTHelperGetProvSignerFromChain) WTHelperGetProvSignerFromChain;
  decltype(&::CryptEncodeObject) CryptEncodeObject;
  decltype(&::GetFileVersionInfoSizeW) GetFileVersionInfoSizeW;
  decltype(&::GetFileVersionInfoW) GetFileVersionInfoW;
  decltype(&::VerQueryValueW) VerQueryValueW;
};

const TrustFunctions& Trust() {
  static const TrustFunctions table = [] {
    const HMODULE wintrust = LoadSystemLibrary(L"wintrust.dll");
    const HMODULE crypt32 = LoadSystemLibrary(L"crypt32.dll");
    const HMODULE version = LoadSystemLibrary(L"version.dll");
    TrustFunctions t;
    BIND_SYSTEM_FUNCTION(t, wintrust, WinVerifyTrust);
    BIND_SYSTEM_FUNCTION(t, wintrust, WTHelperProvDataFromStateData);
    BIND_SYSTEM_FUNCTION(t, wintrust, WTHelperGetProvSignerFromChain);
    BIND_SYSTEM_FUNCTION(t, crypt32, CryptEncodeObject);
    BIND_SYSTEM_FUNCTION(t, version, GetFileVersionInfoSizeW);
    BIND_SYSTEM_FUNCTION(t, version, GetFileVersionInfoW);
    BIND_SYSTEM_FUNCTION(t, version, VerQueryValueW);
    return t;
  }();
  return table;
}

// WINTRUST_ACTION_GENERIC_VERIFY_V2: Authenticode.
const GUID kAuthenticode = {
    0xaac56b, 0xcd44, 0x11d0, {0x8c, 0xc2, 0x00, 0xc0, 0x4f, 0xc2, 0x95, 0xee}};

// The SHA-256 of the signer's public key info as DER, from a verification's
// state; false when the state names no signing certificate.
bool SignerKeySha256(HANDLE state, std::string* key_sha256) {
  CRYPT_PROVIDER_DATA* data = Trust().WTHelperProvDataFromStateData(state);
  CRYPT_PROVIDER_SGNR* signer =
      data ? Trust().WTHelperGetProvSignerFromChain(data, 0, FALSE, 0) : nullptr;
  if (!signer || signer->csCertChain == 0 || !signer->pasCertChain ||
      !signer->pasCertChain[0].pCert) {
    return false;
  }
  CERT_PUBLIC_KEY_INFO* key = &signer->pasCertChain[0].pCert->pCertInfo->SubjectPublicKeyInfo;
  DWORD size = 0;
  if (!Trust().CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, key, nullptr, &size) ||
      size == 0) {
    return false;
  }
  std::vector<BYTE> der(size);
  if (!Trust().CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, key, der.data(), &size)) {
    return false;
  }
  uint8_t digest[32];
  Sha256Digest(der.data(), size, digest);
  *key_sha256 = ToHex(digest, sizeof(digest));
  return true;
}

}  // namespace

LONG VerifyFileSignature(HANDLE file, const std::wstring& path, std::string* key_sha256) {
  WINTRUST_FILE_INFO file_info = {};
  file_info.cbStruct = sizeof(file_info);
  file_info.pcwszFilePath = path.c_str();
  file_info.hFile = file;
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file_info;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = kAuthenticode;
  // INVALID_HANDLE_VALUE: no interactive user, never a dialog.
  const HWND no_window = static_cast<HWND>(INVALID_HANDLE_VALUE);
  LONG verdict = Trust().WinVerifyTrust(no_window, &action, &data);
  if (verdict == ERROR_SUCCESS && !SignerKeySha256(data.hWVTStateData, key_sha256)) {
    verdict = static_cast<LONG>(TRUST_E_NO_SIGNER_CERT);
  }
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  Trust().WinVerifyTrust(no_window, &action, &data);
  return verdict;
}

bool ReadFileVersion(const std::wstring& path, std::wstring* product, int64_t* build) {
  DWORD ignored = 0;
  const DWORD size = Trust().GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0 || size > 1024 * 1024) return false;
  std::vector<BYTE> info(size);
  if (!Trust().GetFileVersionInfoW(path.c_str(), 0, size, info.data())) return false;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!Trust().VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
      length < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != VS_FFI_SIGNATURE) {
    return false;
  }
  *build = HIWORD(fixed->dwFileVersionLS);
  // The product name in the resource's first language.
  WORD* languages = nullptr;
  if (!Trust().VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                              reinterpret_cast<void**>(&languages), &length) ||
      length < 2 * sizeof(WORD)) {
    return false;
  }
  wchar_t key[64];
  _snwprintf(key, 63, L"\\StringFileInfo\\%04x%04x\\ProductName", languages[0], languages[1]);
  key[63] = L'\0';
  wchar_t* name = nullptr;
  if (!Trust().VerQueryValueW(info.data(), key, reinterpret_cast<void**>(&name), &length) ||
      length == 0) {
    return false;
  }
  product->assign(name, wcsnlen(name, length));
  return true;
}
