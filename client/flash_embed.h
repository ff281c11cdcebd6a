// Writes the Flash Player control that the executable carries as a resource
// to a per-user folder, so it can be loaded without being installed.
#pragma once

#include <windows.h>

#include <string>

namespace flash_embed {

// The path of a file named `name` in "<local app data or temp>\Tavrensil"
// holding exactly the executable's RCDATA 201, written only when it differs.
// Empty on failure, with the reason in `*error` when `error` is not null.
std::wstring EnsureOcx(const wchar_t* name, std::wstring* error);

// EnsureOcx for the `size` bytes at `data` instead of the resource; they
// must stay valid during the call. Empty bytes fail like a missing resource.
std::wstring EnsureFile(const wchar_t* name, const void* data, DWORD size, std::wstring* error);

// Deletes the copies EnsureFile wrote beside the file `name` while another
// client held it ("<name>.<process id>.tmp") whose process has ended: they
// were needed only while that process ran. Copies of running processes,
// and files that are still in use, stay. Call at start-up.
void RemoveStaleCopies(const wchar_t* name);

// The process id in `file_name` when it is a copy of `name` as EnsureFile
// names them ("<name>.<decimal id>.tmp", the name without regard to case);
// false for any other file name.
bool CopyProcessId(const std::wstring& name, const std::wstring& file_name, DWORD* process_id);

}  // namespace flash_embed
