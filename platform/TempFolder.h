#pragma once
#include <string>

namespace vorla {

// The private per-user temporary folder, mode 0700, ending in "/": $XDG_RUNTIME_DIR/vorla
// when that variable names a folder, else a folder made with mkdtemp under $TMPDIR (or /tmp)
// once per process. Created on first use. Throws TFileError when none can be made.
std::string PrivateTempFolder();
// Overrides the folder (tests give each case its own); an empty text goes back to the default.
void SetPrivateTempFolder(const std::string& folder);
// Creates a new empty file "<prefix>XXXXXX<suffix>" in the private folder and returns its path.
std::string CreateTempFile(const std::string& prefix = "Ind", const std::string& suffix = ".tmp");
// Deletes the files of the private folder matching mask; files that cannot be deleted are
// skipped. Returns how many were deleted.
int SweepTempFiles(const std::string& mask = "Ind*.tmp");

}  // namespace vorla
