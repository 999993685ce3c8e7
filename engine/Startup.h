#pragma once
#include <string>

// Starting Vorla when the user logs on: the autostart entry
// ${XDG_CONFIG_HOME:-~/.config}/autostart/vorla.desktop.
namespace vorla {

// The path of the entry (XDG_CONFIG_HOME when it is an absolute path, else ~/.config).
// Throws TFileError when neither that variable nor HOME gives a folder.
std::string StartupEntryPath();

// wanted true: creates the entry unless a file of that name exists (an existing file is left
// untouched, even when it starts another program); wanted false: deletes the file when it
// exists. The entry starts the running program by its absolute path with "--home" and the
// current home folder, so the program started at logon uses the same settings. An entry the
// user saved under another name is neither found nor removed. Throws TFileError.
void SetStartupShortcut(bool wanted);

// The Exec value for program and args: each word in double quotes with '"', '`', '$' and
// '\' escaped by a backslash and '%' doubled, then the whole value escaped as a desktop-entry
// string value ('\' doubled; newline, tab and CR as \n, \t, \r).
std::string DesktopExecValue(const std::string& program, const std::string& homeFolder);

// The running program's absolute path. Throws TFileError.
std::string RunningProgramPath();

}  // namespace vorla
