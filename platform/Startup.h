// Process set-up of a program that runs in the background.
#pragma once

namespace tarnwick {

// Leaves the terminal: standard input and standard output are put on
// /dev/null. Standard error stays, so that a crash report still reaches
// whoever watches the process.
void DetachFromConsole();

}  // namespace tarnwick
