#include "platform/emulated/machine_check.h"

#include <cctype>
#include <cstdint>
#include <fstream>
#include <set>
#include <stdexcept>

#include "platform/emulated/codepages.h"
#include "platform/emulated/faults.h"
#include "platform/emulated/registry_file.h"
#include "platform/emulated/registry_store.h"

namespace emu {
namespace {

using Json = nlohmann::json;

// The first fault found, with the path of the member it concerns ("disks[1].geometry").
struct Fault : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A value as the message shows it: its JSON, cut short when long.
std::string Shown(const Json& value) {
  std::string text = value.dump();
  if (text.size() > 40) text = text.substr(0, 37) + "...";
  return text;
}

std::string Path(const std::string& where, const std::string& member) {
  return where.empty() ? member : where + "." + member;
}

// The member, or null when the object lacks it.
const Json* Find(const Json& object, const std::string& member) {
  auto it = object.find(member);
  return it == object.end() ? nullptr : &*it;
}

const Json& Required(const Json& object, const std::string& where, const std::string& member) {
  const Json* value = Find(object, member);
  if (!value) throw Fault(Path(where, member) + " is missing");
  return *value;
}

void ExpectObject(const Json& value, const std::string& where) {
  if (!value.is_object()) throw Fault(where + " must be an object, not " + Shown(value));
}

void ExpectArray(const Json& value, const std::string& where) {
  if (!value.is_array()) throw Fault(where + " must be a list, not " + Shown(value));
}

void ExpectText(const Json& value, const std::string& where) {
  if (!value.is_string()) throw Fault(where + " must be a text, not " + Shown(value));
}

void ExpectFlag(const Json& value, const std::string& where) {
  if (!value.is_boolean()) throw Fault(where + " must be true or false, not " + Shown(value));
}

// A whole number from `min` to `max`.
std::int64_t ExpectNumber(const Json& value, const std::string& where, std::int64_t min,
                          std::int64_t max) {
  const bool whole = value.is_number_integer() &&
                     (!value.is_number_unsigned() ||
                      value.get<std::uint64_t>() <= static_cast<std::uint64_t>(INT64_MAX));
  if (!whole || value.get<std::int64_t>() < min || value.get<std::int64_t>() > max) {
    throw Fault(where + " must be a whole number from " + std::to_string(min) + " to " +
                std::to_string(max) + ", not " + Shown(value));
  }
  return value.get<std::int64_t>();
}

constexpr std::int64_t kMaxDword = 0xFFFFFFFFll;
constexpr std::int64_t kQuarterLong = 0x1FFFFFFFll;

// Optional members: checked when present.
template <typename Check>
void IfPresent(const Json& object, const std::string& where, const std::string& member,
               Check check) {
  if (const Json* value = Find(object, member)) check(*value, Path(where, member));
}

void ExpectTextMember(const Json& object, const std::string& where, const std::string& member) {
  IfPresent(object, where, member, ExpectText);
}

void ExpectFlagMember(const Json& object, const std::string& where, const std::string& member) {
  IfPresent(object, where, member, ExpectFlag);
}

void ExpectNumberMember(const Json& object, const std::string& where, const std::string& member,
                        std::int64_t min, std::int64_t max) {
  IfPresent(object, where, member,
            [&](const Json& value, const std::string& path) {
              ExpectNumber(value, path, min, max);
            });
}

// A drive letter: "E" or "E:", or null for none.
void ExpectLetter(const Json& value, const std::string& where) {
  if (value.is_null()) return;
  if (!value.is_string() || value.get<std::string>().empty() ||
      !std::isalpha(static_cast<unsigned char>(value.get<std::string>()[0]))) {
    throw Fault(where + " must be a drive letter, not " + Shown(value));
  }
}

void ExpectCodePage(const Json& value, const std::string& where) {
  ExpectNumber(value, where, 0, kMaxDword);
  if (!IsKnownCodePage(value.get<UINT>())) {
    throw Fault(where + " " + Shown(value) + " is not a code page the machine knows");
  }
}

// A partition offset as a member name: decimal digits of a byte count.
void ExpectOffsetName(const std::string& name, const std::string& where) {
  const bool digits = !name.empty() && name.size() <= 18 &&
                      name.find_first_not_of("0123456789") == std::string::npos;
  if (!digits) throw Fault(where + " names \"" + name + "\", which is no partition offset");
}

void CheckGeometry(const Json& geometry, const std::string& where) {
  ExpectObject(geometry, where);
  const std::int64_t cylinders =
      ExpectNumber(Required(geometry, where, "cylinders"), Path(where, "cylinders"), 1, INT64_MAX);
  const std::int64_t tracks = ExpectNumber(Required(geometry, where, "tracks_per_cylinder"),
                                           Path(where, "tracks_per_cylinder"), 1, kMaxDword);
  const std::int64_t sectors = ExpectNumber(Required(geometry, where, "sectors_per_track"),
                                            Path(where, "sectors_per_track"), 1, kMaxDword);
  const Json& bytes = Required(geometry, where, "bytes_per_sector");
  const std::int64_t sector = ExpectNumber(bytes, Path(where, "bytes_per_sector"), 512, 4096);
  if (sector != 512 && sector != 4096) {
    throw Fault(Path(where, "bytes_per_sector") + " must be 512 or 4096, not " + Shown(bytes));
  }
  if (cylinders > INT64_MAX / tracks / sectors / sector) {
    throw Fault(where + " describes more bytes than a disk can have");
  }
}

void CheckOffsetMap(const Json& disk, const std::string& where, const std::string& member,
                    void (*checkValue)(const Json&, const std::string&)) {
  IfPresent(disk, where, member, [&](const Json& map, const std::string& path) {
    ExpectObject(map, path);
    for (const auto& [offset, value] : map.items()) {
      ExpectOffsetName(offset, path);
      checkValue(value, path + "[\"" + offset + "\"]");
    }
  });
}

void CheckDisk(const Json& disk, const std::string& where) {
  ExpectObject(disk, where);
  ExpectNumber(Required(disk, where, "number"), Path(where, "number"), 0, kMaxDword);
  ExpectText(Required(disk, where, "image"), Path(where, "image"));
  IfPresent(disk, where, "media", [](const Json& media, const std::string& path) {
    if (media != "removable" && media != "fixed") {
      throw Fault(path + " must be \"removable\" or \"fixed\", not " + Shown(media));
    }
  });
  ExpectTextMember(disk, where, "name");
  ExpectTextMember(disk, where, "instance");
  ExpectNumberMember(disk, where, "length", 0, INT64_MAX);
  CheckGeometry(Required(disk, where, "geometry"), Path(where, "geometry"));
  CheckOffsetMap(disk, where, "letters", ExpectLetter);
  CheckOffsetMap(disk, where, "labels", ExpectText);
  ExpectFlagMember(disk, where, "attached");
}

void CheckDisks(const Json& disks, const std::string& where) {
  ExpectArray(disks, where);
  std::set<std::int64_t> numbers;
  for (std::size_t i = 0; i < disks.size(); ++i) {
    const std::string path = where + "[" + std::to_string(i) + "]";
    CheckDisk(disks[i], path);
    if (!numbers.insert(disks[i]["number"].get<std::int64_t>()).second) {
      throw Fault(path + ".number " + Shown(disks[i]["number"]) + " belongs to another disk too");
    }
  }
}

void CheckForeignLetters(const Json& letters, const std::string& where) {
  ExpectArray(letters, where);
  for (std::size_t i = 0; i < letters.size(); ++i) {
    const std::string path = where + "[" + std::to_string(i) + "]";
    ExpectObject(letters[i], path);
    ExpectLetter(Required(letters[i], path, "letter"), Path(path, "letter"));
    IfPresent(letters[i], path, "type", [](const Json& type, const std::string& typePath) {
      if (type != "network" && type != "cdrom" && type != "ramdisk") {
        throw Fault(typePath + " must be \"network\", \"cdrom\" or \"ramdisk\", not " +
                    Shown(type));
      }
    });
  }
}

void CheckSpannedVolumes(const Json& volumes, const std::string& where) {
  ExpectArray(volumes, where);
  for (std::size_t i = 0; i < volumes.size(); ++i) {
    const std::string path = where + "[" + std::to_string(i) + "]";
    const Json& volume = volumes[i];
    ExpectObject(volume, path);
    ExpectTextMember(volume, path, "name");
    ExpectTextMember(volume, path, "label");
    IfPresent(volume, path, "letter", ExpectLetter);
    const Json& extents = Required(volume, path, "extents");
    ExpectArray(extents, Path(path, "extents"));
    for (std::size_t e = 0; e < extents.size(); ++e) {
      const std::string extentPath = Path(path, "extents") + "[" + std::to_string(e) + "]";
      ExpectObject(extents[e], extentPath);
      ExpectNumber(Required(extents[e], extentPath, "disk"), Path(extentPath, "disk"), 0,
                   kMaxDword);
      ExpectNumber(Required(extents[e], extentPath, "offset"), Path(extentPath, "offset"), 0,
                   INT64_MAX);
      ExpectNumber(Required(extents[e], extentPath, "length"), Path(extentPath, "length"), 0,
                   INT64_MAX);
    }
  }
}

// A fault of the `faults` list. Its members are all checked, unknown ones too: a misspelt
// "control_code" would silently widen the fault to every request.
void CheckFault(const Json& fault, const std::string& where) {
  ExpectObject(fault, where);
  for (const auto& [member, value] : fault.items()) {
    static const std::set<std::string> known{"call", "path", "control_code", "error", "once",
                                             "after"};
    if (!known.count(member)) throw Fault(Path(where, member) + " is no member a fault has");
  }
  const Json& call = Required(fault, where, "call");
  ExpectText(call, Path(where, "call"));
  const std::string name = call.get<std::string>();
  if (!IsFaultCall(name)) {
    throw Fault(Path(where, "call") + " " + Shown(call) +
                " is neither a seam call nor a program that faults can name");
  }
  // A program's exit code may be 0 (a run that claims success); a failed call never reports 0.
  const bool program = IsFaultProgram(name);
  ExpectNumber(Required(fault, where, "error"), Path(where, "error"), program ? 0 : 1, kMaxDword);
  ExpectTextMember(fault, where, "path");
  if (program && Find(fault, "path")) {
    throw Fault(Path(where, "path") + " cannot narrow a fault of " + name +
                ", which applies to every run of the program");
  }
  ExpectNumberMember(fault, where, "control_code", 0, kMaxDword);
  if (Find(fault, "control_code") && name != "DeviceIoControl" && name != "*") {
    throw Fault(Path(where, "control_code") + " is for DeviceIoControl only, not " + name);
  }
  ExpectFlagMember(fault, where, "once");
  ExpectNumberMember(fault, where, "after", 0, kMaxDword);
}

void CheckFaults(const Json& faults, const std::string& where) {
  ExpectArray(faults, where);
  for (std::size_t i = 0; i < faults.size(); ++i) {
    CheckFault(faults[i], where + "[" + std::to_string(i) + "]");
  }
}

// Members holding an object of flags, numbers or texts: {"screen": {"width": 1920}, ...}.
void CheckSettings(const Json& config) {
  IfPresent(config, "", "screen", [](const Json& screen, const std::string& path) {
    ExpectObject(screen, path);
    ExpectNumberMember(screen, path, "width", 1, INT32_MAX);
    ExpectNumberMember(screen, path, "height", 1, INT32_MAX);
  });
  IfPresent(config, "", "console", [](const Json& console, const std::string& path) {
    ExpectObject(console, path);
    // Within a quarter of LONG's range, so that left + width still fits.
    ExpectNumberMember(console, path, "left", -kQuarterLong, kQuarterLong);
    ExpectNumberMember(console, path, "top", -kQuarterLong, kQuarterLong);
    ExpectNumberMember(console, path, "width", 0, kQuarterLong);
    ExpectNumberMember(console, path, "height", 0, kQuarterLong);
  });
  IfPresent(config, "", "environment", [](const Json& environment, const std::string& path) {
    ExpectObject(environment, path);
    for (const auto& [name, value] : environment.items()) ExpectText(value, Path(path, name));
  });
  IfPresent(config, "", "folders", [](const Json& folders, const std::string& path) {
    ExpectArray(folders, path);
    for (std::size_t i = 0; i < folders.size(); ++i) {
      ExpectText(folders[i], path + "[" + std::to_string(i) + "]");
    }
  });
  IfPresent(config, "", "mount_policy", [](const Json& policy, const std::string& path) {
    ExpectObject(policy, path);
    ExpectFlagMember(policy, path, "auto_letters");
    ExpectFlagMember(policy, path, "removable_first_partition_only");
  });
  IfPresent(config, "", "locale", [](const Json& locale, const std::string& path) {
    ExpectObject(locale, path);
    ExpectTextMember(locale, path, "decimal_separator");
    ExpectTextMember(locale, path, "thousands_separator");
  });
  IfPresent(config, "", "windows_version", [](const Json& version, const std::string& path) {
    ExpectObject(version, path);
    for (const char* member : {"major", "minor", "build", "platform_id"}) {
      ExpectNumberMember(version, path, member, 0, kMaxDword);
    }
  });
}

void CheckConfig(const Json& config) {
  if (!config.is_object()) throw Fault("the machine must be a JSON object, not " + Shown(config));
  IfPresent(config, "", "version", [](const Json& version, const std::string& path) {
    if (version != 1) throw Fault(path + " must be 1, not " + Shown(version));
  });
  IfPresent(config, "", "ansi_code_page", ExpectCodePage);
  IfPresent(config, "", "oem_code_page", ExpectCodePage);
  ExpectFlagMember(config, "", "console_window");
  ExpectFlagMember(config, "", "elevated");
  ExpectTextMember(config, "", "current_directory");
  CheckSettings(config);
  IfPresent(config, "", "disks", CheckDisks);
  IfPresent(config, "", "foreign_letters", CheckForeignLetters);
  IfPresent(config, "", "spanned_volumes", CheckSpannedVolumes);
  IfPresent(config, "", "faults", CheckFaults);
}

void CheckSaved(const Json& saved) {
  if (!saved.is_object()) throw Fault("the saved volumes must be a JSON object");
  IfPresent(saved, "", "mounted_devices", [](const Json& devices, const std::string& path) {
    ExpectArray(devices, path);
    for (std::size_t i = 0; i < devices.size(); ++i) {
      const std::string entry = path + "[" + std::to_string(i) + "]";
      ExpectObject(devices[i], entry);
      ExpectTextMember(devices[i], entry, "key");
      ExpectTextMember(devices[i], entry, "guid");
      ExpectTextMember(devices[i], entry, "label");
      IfPresent(devices[i], entry, "letter", ExpectLetter);
      ExpectFlagMember(devices[i], entry, "held");
    }
  });
}

template <typename Check>
bool Run(Check check, const Json& json, std::string& fault) {
  try {
    check(json);
    return true;
  } catch (const Fault& e) {
    fault = e.what();
    return false;
  }
}

// The file's JSON; false with "FILE: fault" when it cannot be read or parsed.
bool ReadJson(const std::filesystem::path& file, Json& json, std::string& error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = file.string() + ": cannot read";
    return false;
  }
  json = Json::parse(in, nullptr, false);
  if (json.is_discarded()) {
    error = file.string() + ": not JSON";
    return false;
  }
  return true;
}

}  // namespace

bool CheckMachineConfig(const Json& config, std::string& fault) {
  return Run(CheckConfig, config, fault);
}

bool CheckStorageFile(const Json& saved, std::string& fault) {
  return Run(CheckSaved, saved, fault);
}

bool CheckMachine(const std::filesystem::path& directory, std::string& error) {
  const std::filesystem::path config = directory / "machine.json";
  Json json;
  std::string fault;
  if (!ReadJson(config, json, error)) return false;
  if (!CheckMachineConfig(json, fault)) {
    error = config.string() + ": " + fault;
    return false;
  }
  const std::filesystem::path storage = directory / "storage.json";
  std::error_code ec;
  if (std::filesystem::exists(storage, ec)) {
    if (!ReadJson(storage, json, error)) return false;
    if (!CheckStorageFile(json, fault)) {
      error = storage.string() + ": " + fault;
      return false;
    }
  }
  for (const char* hive : {"HKCU.json", "HKLM.json"}) {
    RegistryKeyTree root;
    if (!ReadRegistryFile(directory / "registry" / hive, root, error)) return false;
  }
  return true;
}

}  // namespace emu
