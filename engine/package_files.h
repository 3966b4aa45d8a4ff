// Extraction of the embedded package into the install folder.
#pragma once

#include <cstdint>
#include <string>

#include "engine/file_output.h"

class StorageManager;
struct WorkerContext;

// Opens the payload resource as an archive, deciphered a window at a time where it lies,
// and writes every folder and file of the context's manifest below the install folder,
// each file in pieces, posting progress from `base` to `base + span` as files are written
// (and within large files). Reports its own failures; false after a failure or (install)
// a stop.
bool ExtractPackage(WorkerContext& context, int32_t base, int32_t span);

// Reads the entry `name` from the archive and writes it as folder + name. Null on success
// (bytesWritten grows by the file's size), otherwise the failure text: a constant, or the
// text composed in `errorText`.
const wchar_t* WritePackageFile(StorageManager& archive, const std::u16string& name, const std::wstring& folder,
                                uint64_t& bytesWritten, std::wstring& errorText);
