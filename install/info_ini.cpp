#include "install/info_ini.h"

#include <vector>

#include "platform/seam.h"
#include "sys/whole_file.h"
#include "ui/ini_text.h"

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

std::string_view TrimStart(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimEnd(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

struct Section {
  std::string name;
  std::vector<std::pair<std::string, std::string>> entries;  // a key without "=" has no value
};

std::vector<Section> ParseSections(std::string_view text) {
  if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom) text.remove_prefix(kUtf8Bom.size());
  std::vector<Section> sections;
  Section* current = nullptr;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = TrimEnd(TrimStart(text.substr(pos, end - pos)));
    pos = end + 1;
    if (end < text.size() && text[end] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;

    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      const std::string name(TrimEnd(TrimStart(line.substr(1, line.size() - 2))));
      current = nullptr;
      for (Section& section : sections) {
        if (SameTextIgnoringCase(section.name, name)) current = &section;
      }
      if (current == nullptr) current = &sections.emplace_back(Section{name, {}});
      continue;
    }
    if (current == nullptr) continue;  // before the first section
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      current->entries.emplace_back(std::string(line), std::string());
    } else {
      current->entries.emplace_back(std::string(TrimEnd(line.substr(0, eq))),
                                    std::string(TrimStart(line.substr(eq + 1))));
    }
  }
  return sections;
}

}  // namespace

std::string SetIniValue(std::string_view text, std::string_view section, std::string_view key,
                        std::string_view value) {
  std::vector<Section> sections = ParseSections(text);
  Section* target = nullptr;
  for (Section& candidate : sections) {
    if (SameTextIgnoringCase(candidate.name, section)) target = &candidate;
  }
  if (target == nullptr) target = &sections.emplace_back(Section{std::string(section), {}});
  bool replaced = false;
  for (auto& [name, text] : target->entries) {
    if (!replaced && SameTextIgnoringCase(name, key)) {
      text = std::string(value);
      replaced = true;
    }
  }
  if (!replaced) target->entries.emplace_back(std::string(key), std::string(value));

  std::string out(kUtf8Bom);
  for (const Section& written : sections) {
    out += "[" + written.name + "]\r\n";
    for (const auto& [name, text] : written.entries) out += name + "=" + text + "\r\n";
    out += "\r\n";
  }
  return out;
}

bool RecordPayloadBuild(const std::string& path) {
  std::string text;
  if (!ReadWholeFile(path, text)) return false;
  return WriteWholeFile(path, SetIniValue(text, "Info", "Build", kPayloadBuild));
}
