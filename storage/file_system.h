// The file-system calls of a durable, link-safe write, in one place for the archive's file
// streams and the packaging tool: a file created new under a fresh name (exclusively,
// never through a link), synced, renamed over its target, and its folder's names synced.
// Names are the platform's own: UTF-8 bytes on POSIX, UTF-16 on Windows. Nothing here
// throws; a failure leaves its reason for LastError().
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tolvane::files {

#ifdef _WIN32
using NativeName = std::wstring;
using Handle = void*;  // HANDLE
#else
using NativeName = std::string;
using Handle = int;  // a descriptor
#endif
extern const Handle kNoHandle;

// Bytes from the system's random source.
bool SystemRandom(uint8_t* out, size_t length);

// The random part of a fresh name (16 hex digits), for the attempt (0, 1, ...) at one
// creation; false when the random source fails. Tests replace it with names they know,
// to plant links there (an empty function restores it).
bool FreshNamePart(int attempt, std::string& part);
void SetFreshNameSource(std::function<std::string(int attempt)> source);
// How many fresh names a creation tries: more collisions than that are no chance.
constexpr int kFreshNameAttempts = 64;

// Creates name as a new file open for reading and writing (others may read it), only when
// nothing at all stands at the name (taken is then set); a link there is not followed.
Handle CreateExclusive(const NativeName& name, bool& taken);
bool Sync(Handle file);
bool Close(Handle file);

// Renames from over to, replacing what stands at to (a link is replaced, not followed).
bool ReplaceName(const NativeName& from, const NativeName& to);
// Makes the folder's list of names durable (a name created, renamed or removed in it).
// Windows needs no such step (NTFS logs its names; renames are written through).
bool SyncFolder(const NativeName& folder);

// The last failure in words.
std::string LastError();

}  // namespace tolvane::files
