// Extraction of the embedded package into the install folder.
#pragma once

#include <cstdint>
#include <string>

#include "engine/file_output.h"

struct WorkerContext;

// Opens the payload resource as an archive, deciphered a window at a time where it lies,
// and writes every folder and file of the context's manifest below the install folder,
// each file in pieces, posting progress from `base` to `base + span` as files are written
// (and within large files). Reports its own failures; false after a failure or (install)
// a stop. All or nothing: a run that does not finish leaves the install folder as it found
// it (engine/install_run.h), and does so before it reports.
bool ExtractPackage(WorkerContext& context, int32_t base, int32_t span);
