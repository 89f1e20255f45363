// What the administration object asks of the desktop: its own module's
// folder, opening a document, starting a program, the folder and file
// pickers, and a file-exists test that understands wildcards.
//
// "Open" is xdg-open; the pickers are zenity's file selection, used only
// when zenity is installed. Programs are started detached: in a session of
// their own, standard input and output on /dev/null, never waited for.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

// The folder of the loaded module (program or shared library) that holds
// address, by the application folder's rule (one level up from "x64").
// Empty when it cannot be found.
std::string ModuleFolderOf(const void* address);
// The file path of that module (symlinks resolved); empty when unknown.
std::string ModulePathOf(const void* address);

// Starts program (found on PATH when it has no "/") with args, detached.
// Returns 0 or the system's error number when it could not be started.
int StartDetached(const std::string& program, const std::vector<std::string>& args);

// Opens a document or folder with the desktop's default application.
int ShellOpen(const std::string& target);

// Runs program with args and returns what it wrote to standard output
// when it exits with status 0; nullopt when it is not installed, cannot be
// started, or ends otherwise (a cancelled dialog).
std::optional<std::string> RunForOutput(const std::string& program, const std::vector<std::string>& args);

// Whether anything matches the path pattern ("*", "?" and "[...]" work).
bool PathPatternMatches(const std::string& pattern);

}  // namespace tarnwick
