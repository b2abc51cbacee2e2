// Where the process looks for the libraries it loads by name.
#pragma once

// Takes the program's own folder and the current directory out of the library search, so that
// only the system folder is searched. The program runs elevated and is usually started from the
// Downloads folder, where any program of the user may leave a library of a system name. Called
// first thing at start.
void RestrictLibrarySearch();
