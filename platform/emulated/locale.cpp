// The user's locale settings (machine.json "locale") and the UUID generator.
#include <cstring>

#include "platform/emulated/guid_text.h"
#include "platform/emulated/machine.h"
#include "platform/seam.h"
#include "platform/text.h"

namespace win {

int GetLocaleInfoW(LCID locale, LCTYPE type, std::string& data) {
  data.clear();
  if (locale != LOCALE_USER_DEFAULT && locale != LOCALE_SYSTEM_DEFAULT) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const nlohmann::json& config = emu::Machine::Get().Config();
  const nlohmann::json settings = config.value("locale", nlohmann::json::object());
  switch (type) {
    case LOCALE_SDECIMAL: data = settings.value("decimal_separator", std::string(".")); break;
    case LOCALE_STHOUSAND: data = settings.value("thousands_separator", std::string(",")); break;
    default:
      SetLastError(ERROR_INVALID_FLAGS);
      return 0;
  }
  return static_cast<int>(Utf8ToUtf16(data).size() + 1);
}

RPC_STATUS UuidCreate(UUID* uuid) {
  if (uuid == nullptr) return ERROR_INVALID_PARAMETER;
  *uuid = emu::NewGuid();
  return RPC_S_OK;
}

}  // namespace win
