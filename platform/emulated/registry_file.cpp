#include "platform/emulated/registry_file.h"

#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "platform/text.h"

namespace emu {

namespace {

using Json = nlohmann::ordered_json;

struct Malformed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct TypeName {
  DWORD type;
  const char* name;
};

constexpr TypeName kTypeNames[] = {
    {REG_NONE, "REG_NONE"},
    {REG_SZ, "REG_SZ"},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
    {REG_BINARY, "REG_BINARY"},
    {REG_DWORD, "REG_DWORD"},
    {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
    {REG_LINK, "REG_LINK"},
    {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {REG_RESOURCE_LIST, "REG_RESOURCE_LIST"},
    {9, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {10, "REG_RESOURCE_REQUIREMENTS_LIST"},
    {REG_QWORD, "REG_QWORD"},
};

Json TypeToJson(DWORD type) {
  for (const TypeName& known : kTypeNames) {
    if (known.type == type) return known.name;
  }
  return type;  // types are plain numbers to the registry; unnamed ones stay numbers
}

DWORD TypeFromJson(const Json& json) {
  if (json.is_number_unsigned() && json.get<std::uint64_t>() <= 0xFFFFFFFFu) {
    return static_cast<DWORD>(json.get<std::uint64_t>());
  }
  if (json.is_string()) {
    for (const TypeName& known : kTypeNames) {
      if (json.get<std::string>() == known.name) return known.type;
    }
  }
  throw Malformed("unknown value type " + json.dump());
}

std::string ToHex(const std::vector<BYTE>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (BYTE b : bytes) {
    text.push_back(digits[b >> 4]);
    text.push_back(digits[b & 0xF]);
  }
  return text;
}

std::vector<BYTE> FromHex(const Json& json) {
  if (!json.is_string()) throw Malformed("hex bytes must be a string");
  const std::string text = json.get<std::string>();
  auto nibble = [&](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw Malformed("bad hex digit in \"" + text + "\"");
  };
  if (text.size() % 2) throw Malformed("odd number of hex digits in \"" + text + "\"");
  std::vector<BYTE> bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    bytes.push_back(static_cast<BYTE>(nibble(text[i]) << 4 | nibble(text[i + 1])));
  }
  return bytes;
}

std::vector<BYTE> LittleEndian(std::uint64_t number, int size) {
  std::vector<BYTE> bytes;
  for (int i = 0; i < size; ++i) bytes.push_back(static_cast<BYTE>(number >> (8 * i)));
  return bytes;
}

std::uint64_t FromLittleEndian(const std::vector<BYTE>& bytes) {
  std::uint64_t number = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) number = number << 8 | bytes[i];
  return number;
}

std::u16string Units(const std::vector<BYTE>& bytes) {
  std::u16string units;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units.push_back(static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8));
  }
  return units;
}

std::uint64_t Number(const Json& json, std::uint64_t max) {
  if (!json.is_number_unsigned() || json.get<std::uint64_t>() > max) {
    throw Malformed("expected a number up to " + std::to_string(max) + ", got " + json.dump());
  }
  return json.get<std::uint64_t>();
}

// The bytes that a readable "data" member stands for.
std::vector<BYTE> DataBytes(DWORD type, const Json& data) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      if (!data.is_string()) throw Malformed("string data must be a JSON string");
      return win::RegStringData(data.get<std::string>());
    case REG_MULTI_SZ: {
      if (!data.is_array()) throw Malformed("REG_MULTI_SZ data must be a list of strings");
      std::vector<BYTE> bytes;
      for (const Json& text : data) {
        if (!text.is_string()) throw Malformed("REG_MULTI_SZ data must be a list of strings");
        std::vector<BYTE> one = win::RegStringData(text.get<std::string>());
        bytes.insert(bytes.end(), one.begin(), one.end());
      }
      bytes.push_back(0);
      bytes.push_back(0);
      return bytes;
    }
    case REG_DWORD:
      return LittleEndian(Number(data, 0xFFFFFFFFu), 4);
    case REG_QWORD:
      return LittleEndian(Number(data, UINT64_MAX), 8);
    default:
      throw Malformed("this type takes \"hex\", not \"data\"");
  }
}

std::optional<Json> DecodeData(DWORD type, const std::vector<BYTE>& bytes) {
  const std::u16string units = Units(bytes);
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      if (units.empty()) return std::nullopt;
      return Json(win::Utf16ToUtf8(std::u16string_view(units).substr(0, units.size() - 1)));
    case REG_MULTI_SZ: {
      // Texts, each ending in a zero, then one more zero.
      if (units.empty() || units.back() != 0) return std::nullopt;
      std::u16string_view rest(units.data(), units.size() - 1);
      Json texts = Json::array();
      if (rest.empty()) return texts;
      if (rest.back() != 0) return std::nullopt;
      rest.remove_suffix(1);
      for (std::size_t end; (end = rest.find(u'\0')) != rest.npos; rest.remove_prefix(end + 1)) {
        texts.push_back(win::Utf16ToUtf8(rest.substr(0, end)));
      }
      texts.push_back(win::Utf16ToUtf8(rest));
      return texts;
    }
    case REG_DWORD:
      if (bytes.size() != 4) return std::nullopt;
      return Json(FromLittleEndian(bytes));
    case REG_QWORD:
      if (bytes.size() != 8) return std::nullopt;
      return Json(FromLittleEndian(bytes));
    default:
      return std::nullopt;
  }
}

// The readable form, only when reading it back gives exactly these bytes (odd sizes, missing
// terminators and unpaired surrogates all fall back to hex).
std::optional<Json> ReadableData(DWORD type, const std::vector<BYTE>& bytes) {
  std::optional<Json> data = DecodeData(type, bytes);
  if (data && DataBytes(type, *data) != bytes) return std::nullopt;
  return data;
}

Json ValueToJson(const RegistryValue& value) {
  Json json = {{"name", value.name}, {"type", TypeToJson(value.type)}};
  if (std::optional<Json> data = ReadableData(value.type, value.data)) {
    json["data"] = std::move(*data);
  } else {
    json["hex"] = ToHex(value.data);
  }
  return json;
}

Json KeyToJson(const RegistryKeyTree& key) {
  Json json = {{"lastWrite", key.lastWrite}};
  if (!key.className.empty()) json["class"] = key.className;
  if (key.security) json["security"] = ToHex(*key.security);
  if (!key.values.empty()) {
    Json& values = json["values"] = Json::array();
    for (const RegistryValue& value : key.values) values.push_back(ValueToJson(value));
  }
  Json keys = Json::object();
  for (const RegistryKeyTree& subkey : key.subkeys) {
    if (!subkey.isVolatile) keys[subkey.name] = KeyToJson(subkey);
  }
  if (!keys.empty()) json["keys"] = std::move(keys);
  return json;
}

std::string Text(const Json& json, const char* what) {
  if (!json.is_string()) throw Malformed(std::string(what) + " must be a string");
  return json.get<std::string>();
}

RegistryValue ValueFromJson(const Json& json) {
  if (!json.is_object()) throw Malformed("a value must be an object");
  RegistryValue value;
  bool typed = false, filled = false;
  for (const auto& [member, item] : json.items()) {
    if (member == "name") {
      value.name = Text(item, "a value name");
    } else if (member == "type") {
      value.type = TypeFromJson(item);
      typed = true;
    } else if (member != "data" && member != "hex") {
      throw Malformed("unknown value member \"" + member + "\"");
    }
  }
  if (!typed) throw Malformed("value \"" + value.name + "\" has no type");
  try {
    if (json.contains("data")) {
      value.data = DataBytes(value.type, json.at("data"));
      filled = true;
    }
    if (json.contains("hex")) {
      if (filled) throw Malformed("both \"data\" and \"hex\"");
      value.data = FromHex(json.at("hex"));
      filled = true;
    }
    if (!filled) throw Malformed("neither \"data\" nor \"hex\"");
  } catch (const Malformed& e) {
    throw Malformed("value \"" + value.name + "\": " + e.what());
  }
  return value;
}

void KeyFromJson(const Json& json, RegistryKeyTree& key) {
  if (!json.is_object()) throw Malformed("a key must be an object");
  for (const auto& [member, item] : json.items()) {
    if (member == "lastWrite") {
      key.lastWrite = Number(item, UINT64_MAX);
    } else if (member == "class") {
      key.className = Text(item, "a class name");
    } else if (member == "security") {
      key.security = FromHex(item);
    } else if (member == "values") {
      if (!item.is_array()) throw Malformed("\"values\" must be a list");
      for (const Json& value : item) key.values.push_back(ValueFromJson(value));
    } else if (member == "keys") {
      if (!item.is_object()) throw Malformed("\"keys\" must be an object");
      for (const auto& [name, subkeyJson] : item.items()) {
        RegistryKeyTree& subkey = key.subkeys.emplace_back();
        subkey.name = name;
        try {
          KeyFromJson(subkeyJson, subkey);
        } catch (const Malformed& e) {
          throw Malformed(name + "\\" + e.what());
        }
      }
    } else {
      throw Malformed("unknown key member \"" + member + "\"");
    }
  }
}

}  // namespace

bool ReadRegistryFile(const std::filesystem::path& file, RegistryKeyTree& root, std::string& error) {
  root = RegistryKeyTree{};
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return true;
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = file.string() + ": cannot read";
    return false;
  }
  try {
    KeyFromJson(Json::parse(in), root);
  } catch (const std::exception& e) {  // parse errors and Malformed alike
    error = file.string() + ": " + e.what();
    return false;
  }
  return true;
}

bool WriteRegistryFile(const std::filesystem::path& file, const RegistryKeyTree& root,
                       std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  // A name of this process's own, so that two processes on one machine never share it.
  std::filesystem::path temporary = file;
  temporary += "." + std::to_string(getpid()) + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << KeyToJson(root).dump(2) << "\n";
    out.close();
    if (!out) {
      error = temporary.string() + ": cannot write";
      std::filesystem::remove(temporary, ec);
      return false;
    }
  }
  std::filesystem::rename(temporary, file, ec);
  if (ec) {
    error = file.string() + ": " + ec.message();
    std::filesystem::remove(temporary, ec);
    return false;
  }
  return true;
}

}  // namespace emu
