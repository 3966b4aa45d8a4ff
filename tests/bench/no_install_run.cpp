// The extraction without the run's mechanism, for the benchmark of what the mechanism
// costs (extract_peer.py): linked in place of engine/install_run.cpp, every operation of
// engine/install_run.h does nothing but close the files handed to it. Nothing here is
// all or nothing; it exists only in the benchmark program bench_extract_bare.
#include "engine/install_run.h"

#include <new>

namespace tolvane {

InstallRun::~InstallRun() = default;
Failure InstallRun::Plan(const std::vector<ManifestEntry>&) { return {}; }
Failure InstallRun::Begin() { return {}; }
bool InstallRun::StartHelpers() { return true; }
Failure InstallRun::ReadyFor(size_t) { return {}; }
bool InstallRun::MoveOneAhead(void*) { return false; }
Failure InstallRun::Written(UniqueFile, const std::wstring&) { return {}; }
Failure InstallRun::Finish() { return {}; }
void InstallRun::Undo() {}

void RecoverUnfinishedRun() {}
void ClearUpFinishedRun() {}
bool ClearingUpFinishedRun() { return false; }
void RemoveRunLeftovers(const std::wstring&, const std::vector<ManifestEntry>&) {}
void AppendRunRecord(std::string&, const RunStep&) {}
bool ParseRunJournal(const std::string&, std::vector<RunStep>&) { return false; }

}  // namespace tolvane
