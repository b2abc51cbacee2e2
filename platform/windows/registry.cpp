// Registry keys and values on the real API. Value data pass through as Win32 stores them.
#include "platform/seam.h"
#include "platform/windows/wide.h"

namespace win {
namespace {

// Longest key name and value name that the registry allows, plus the terminator.
constexpr DWORD kMaxKeyName = 255 + 1;
constexpr DWORD kMaxValueName = 16383 + 1;

// Opening or creating a key with an empty path may hand back the predefined root itself.
bool IsPredefined(HKEY key) {
  const auto value = reinterpret_cast<ULONG_PTR>(key);
  return value >= reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT) &&
         value <= reinterpret_cast<ULONG_PTR>(HKEY_CURRENT_USER_LOCAL_SETTINGS);
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY key, std::string_view subKey, DWORD options, REGSAM access,
                      RegKey& result) {
  HKEY opened = nullptr;
  LSTATUS status = ::RegOpenKeyExW(key, detail::Wide(subKey).c_str(), options, access, &opened);
  result.reset(status == ERROR_SUCCESS ? opened : nullptr);
  return status;
}

LSTATUS RegCreateKeyExW(HKEY key, std::string_view subKey, DWORD reserved, DWORD options,
                        REGSAM access, const SECURITY_ATTRIBUTES* security, RegKey& result,
                        DWORD* disposition) {
  HKEY created = nullptr;
  LSTATUS status = ::RegCreateKeyExW(key, detail::Wide(subKey).c_str(), reserved, nullptr, options,
                                     access, const_cast<SECURITY_ATTRIBUTES*>(security), &created,
                                     disposition);
  result.reset(status == ERROR_SUCCESS ? created : nullptr);
  return status;
}

LSTATUS RegQueryValueExW(HKEY key, std::string_view valueName, DWORD* type, BYTE* data,
                         DWORD* dataSize) {
  return ::RegQueryValueExW(key, detail::Wide(valueName).c_str(), nullptr, type, data, dataSize);
}

LSTATUS RegSetValueExW(HKEY key, std::string_view valueName, DWORD reserved, DWORD type,
                       const BYTE* data, DWORD dataSize) {
  return ::RegSetValueExW(key, detail::Wide(valueName).c_str(), reserved, type, data, dataSize);
}

LSTATUS RegDeleteValueW(HKEY key, std::string_view valueName) {
  return ::RegDeleteValueW(key, detail::Wide(valueName).c_str());
}

LSTATUS RegDeleteKeyW(HKEY key, std::string_view subKey) {
  return ::RegDeleteKeyW(key, detail::Wide(subKey).c_str());
}

LSTATUS RegDeleteTreeW(HKEY key, std::string_view subKey) {
  // Only a null path means "this key's contents"; an empty string is not the same request.
  if (subKey.empty()) return ::RegDeleteTreeW(key, nullptr);
  return ::RegDeleteTreeW(key, detail::Wide(subKey).c_str());
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, std::string& name) {
  name.clear();
  wchar_t buffer[kMaxKeyName];
  DWORD length = kMaxKeyName;
  LSTATUS status =
      ::RegEnumKeyExW(key, index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
  if (status == ERROR_SUCCESS) name = detail::Narrow(std::wstring_view(buffer, length));
  return status;
}

LSTATUS RegEnumValueW(HKEY key, DWORD index, std::string& name, DWORD* type, BYTE* data,
                      DWORD* dataSize) {
  name.clear();
  std::wstring buffer(kMaxValueName, L'\0');
  DWORD length = kMaxValueName;
  LSTATUS status =
      ::RegEnumValueW(key, index, buffer.data(), &length, nullptr, type, data, dataSize);
  if (status == ERROR_SUCCESS) name = detail::Narrow(std::wstring_view(buffer.data(), length));
  return status;
}

LSTATUS RegCloseKey(HKEY key) {
  // A predefined root belongs to the whole process and stays open.
  if (IsPredefined(key)) return ERROR_SUCCESS;
  return ::RegCloseKey(key);
}

}  // namespace win
