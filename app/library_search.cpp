#include "app/library_search.h"

#include "platform/seam.h"

void RestrictLibrarySearch() {
  // Fails on a Windows without the call; the program then loads its libraries by full path or
  // from the system folder by flag (LoadLibraryExW), and imports only libraries that Windows
  // always takes from the system folder.
  win::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // The current directory leaves the standard search order too, wherever that order still applies.
  win::SetDllDirectoryW("");
}
