// The program entry: prepares the console, shows the setup window, ends when it closes.
#pragma once

// Runs the whole program; the process's exit code: 0, unless the autopilot that drove the window
// failed.
int RunSetup();
