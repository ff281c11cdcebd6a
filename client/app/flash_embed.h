// Writes the Flash Player control that the executable carries as a resource
// to a per-user folder, so it can be loaded without being installed.
#pragma once

#include <windows.h>

#include <string>

namespace flash_embed {

// The path of a file named `name` in "<local app data or temp>\Tavrensil"
// holding exactly the `size` bytes at `data` (the executable's RCDATA 201),
// written only when it differs; the bytes must stay valid during the call.
// Empty on failure, with the reason in `*error` when `error` is not null;
// empty bytes fail like a missing resource.
std::wstring EnsureFile(const wchar_t* name, const void* data, DWORD size, std::wstring* error);

// Where to load the control `name` from: the copy EnsureFile keeps of the
// `size` bytes at `data`, else the file of that name in `beside` (the
// executable's folder) when it holds exactly those bytes, or when there
// are none (a build that embeds no control). Empty when neither may be
// loaded: a file beside the executable with other bytes may have been put
// there by anyone. `*error` (when not null) gets why the copy and, if so,
// the file beside were not taken.
std::wstring ChooseControlFile(const wchar_t* name, const void* data, DWORD size,
                               const std::wstring& beside, std::wstring* error);

// ChooseControlFile for the executable's own embedded control (RCDATA 201).
std::wstring ChooseOcx(const wchar_t* name, const std::wstring& beside, std::wstring* error);

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
