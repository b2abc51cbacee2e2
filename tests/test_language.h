// Loads a language for tests that check what the user reads.
#pragma once

#include <string>

// Makes `code` ("en_US" or "vi_VN") the language in effect, as a start with the other one stored
// would (the stored choice names the language being left).
void LoadLanguageForTest(const std::string& code);
