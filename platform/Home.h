#pragma once
#include <string>

// Where Vorla keeps its files. Everything the design puts "beside the program" lives in the
// home folder, so a whole home folder can be carried to another machine.
namespace vorla {

// The home folder, ending in "/": the --home option when given (non-empty), else
// $VORLA_HOME, else ${XDG_DATA_HOME:-~/.local/share}/vorla. Relative paths are made absolute.
std::string ResolveHomeFolder(const std::string& homeOption);
// ResolveHomeFolder, then creates the folder (mode 0700) when missing. Throws TFileError.
std::string PrepareHomeFolder(const std::string& homeOption);

// Sets and reads the process-wide home folder the engine uses (set once at start-up).
void SetHomeFolder(const std::string& folder);
const std::string& HomeFolder();
// The virtual program file "<home>/vorla.exe" from which the settings, filters and log file
// names are derived.
std::string ProgramFilePath();
// Replaces every occurrence of ext (letter case ignored) in path by newExt: "vorla.exe" with
// ".exe" -> ".ini" gives "vorla.ini". Only the file name (after the last "/") is changed, so a
// folder whose name holds ext is left as it is.
std::string ReplaceExtension(const std::string& path, const std::string& ext, const std::string& newExt);

}  // namespace vorla
