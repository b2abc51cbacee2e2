#include "ui/ini_text.h"

#include <cctype>

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view TrimEnd(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view TrimStart(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

}  // namespace

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

IniLines ReadIniSection(std::string_view text, std::string_view section) {
  IniLines lines;
  std::vector<std::string> seen;
  bool inWanted = false;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    // Line breaks are CR LF, LF or CR alone.
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n')
      ++pos;

    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      std::string name(Trim(line.substr(1, line.size() - 2)));
      bool repeated = false;
      for (const auto& s : seen) repeated = repeated || SameTextIgnoringCase(s, name);
      seen.push_back(name);
      inWanted = !repeated && SameTextIgnoringCase(name, section);
      continue;
    }
    if (!inWanted) continue;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      lines.emplace_back(std::string(line), std::string());
    } else {
      lines.emplace_back(std::string(TrimEnd(line.substr(0, eq))),
                         std::string(TrimStart(line.substr(eq + 1))));
    }
  }
  return lines;
}
