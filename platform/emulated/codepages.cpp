#include "platform/emulated/codepages.h"

#include <iconv.h>

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/text.h"

namespace emu {

namespace {

// Windows code page numbers and glibc's names for the same tables.
const char* IconvName(UINT codePage) {
  switch (codePage) {
    case 437: return "IBM437";
    case 850: return "IBM850";
    case 852: return "IBM852";
    case 866: return "IBM866";
    case 874: return "CP874";
    case 1250: return "CP1250";
    case 1251: return "CP1251";
    case 1252: return "CP1252";
    case 1253: return "CP1253";
    case 1254: return "CP1254";
    case 1255: return "CP1255";
    case 1256: return "CP1256";
    case 1257: return "CP1257";
    case 1258: return "CP1258";
    case 20127: return "ASCII";
    case 28591: return "ISO-8859-1";
    default: return nullptr;
  }
}

// One byte <-> one code point; bytes the table leaves undefined map to nothing.
struct SingleByteTable {
  std::array<char32_t, 256> toUnicode{};
  std::array<bool, 256> defined{};
  std::unordered_map<char32_t, unsigned char> fromUnicode;
};

std::unique_ptr<SingleByteTable> BuildTable(const char* name) {
  iconv_t cd = iconv_open("UTF-32LE", name);
  if (cd == reinterpret_cast<iconv_t>(-1)) return nullptr;
  auto table = std::make_unique<SingleByteTable>();
  for (int b = 0; b < 256; ++b) {
    char in = static_cast<char>(b);
    unsigned char out[8] = {};
    char* inp = &in;
    char* outp = reinterpret_cast<char*>(out);
    size_t inLeft = 1, outLeft = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &inp, &inLeft, &outp, &outLeft) != static_cast<size_t>(-1) &&
        sizeof out - outLeft == 4) {
      char32_t cp = out[0] | (out[1] << 8) | (out[2] << 16) | (static_cast<char32_t>(out[3]) << 24);
      table->toUnicode[b] = cp;
      table->defined[b] = true;
      table->fromUnicode.emplace(cp, static_cast<unsigned char>(b));
    }
  }
  iconv_close(cd);
  return table;
}

const SingleByteTable* TableFor(UINT codePage) {
  static std::mutex mutex;
  static std::map<UINT, std::unique_ptr<SingleByteTable>> tables;
  const char* name = IconvName(codePage);
  if (!name) return nullptr;
  std::lock_guard lock(mutex);
  auto& slot = tables[codePage];
  if (!slot) slot = BuildTable(name);
  return slot.get();
}

}  // namespace

bool IsKnownCodePage(UINT codePage) {
  return codePage == CP_UTF8 || TableFor(codePage) != nullptr;
}

std::optional<std::string> DecodeCodePage(UINT codePage, std::string_view bytes) {
  if (codePage == CP_UTF8) return win::Utf16ToUtf8(win::Utf8ToUtf16(bytes));
  const SingleByteTable* table = TableFor(codePage);
  if (!table) return std::nullopt;
  std::string out;
  for (unsigned char b : bytes) {
    // Windows maps an undefined byte to the code point of the same value.
    win::AppendUtf8(out, table->defined[b] ? table->toUnicode[b] : b);
  }
  return out;
}

std::optional<std::string> EncodeCodePage(UINT codePage, std::string_view utf8, char defaultChar,
                                          bool* usedDefault) {
  if (usedDefault) *usedDefault = false;
  if (codePage == CP_UTF8) return win::Utf16ToUtf8(win::Utf8ToUtf16(utf8));
  const SingleByteTable* table = TableFor(codePage);
  if (!table) return std::nullopt;
  std::string out;
  for (char32_t cp : win::Utf8ToCodePoints(utf8)) {
    auto it = table->fromUnicode.find(cp);
    if (it != table->fromUnicode.end()) {
      out.push_back(static_cast<char>(it->second));
    } else {
      out.push_back(defaultChar);
      if (usedDefault) *usedDefault = true;
    }
  }
  return out;
}

}  // namespace emu
