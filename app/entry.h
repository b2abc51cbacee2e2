// The program entry: prepares the console, shows the setup window, ends when it closes.
#pragma once

// Runs the whole program; the process's exit code (always 0).
int RunSetup();
