#include "app/entry.h"

int main() { return RunSetup(); }
