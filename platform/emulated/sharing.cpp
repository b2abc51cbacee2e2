#include "platform/emulated/sharing.h"

#include <map>
#include <mutex>
#include <vector>

#include "platform/win32_device_types.h"

namespace emu {
namespace {

struct Open {
  DWORD access;
  DWORD share;
};

std::mutex gMutex;
std::map<std::string, std::vector<Open*>> gOpens;

class Token : public ShareToken {
 public:
  Token(std::string object, DWORD access, DWORD share)
      : object_(std::move(object)), open_{access, share} {}
  ~Token() override {
    std::lock_guard lock(gMutex);
    auto& opens = gOpens[object_];
    std::erase(opens, &open_);
    if (opens.empty()) gOpens.erase(object_);
  }
  Open* open() { return &open_; }

 private:
  std::string object_;
  Open open_;
};

// Generic rights map onto the three that sharing looks at.
DWORD Rights(DWORD access) {
  DWORD rights = 0;
  if (access & (GENERIC_READ | GENERIC_ALL | 0x0001 /*FILE_READ_DATA*/)) rights |= FILE_SHARE_READ;
  if (access & (GENERIC_WRITE | GENERIC_ALL | 0x0002 /*FILE_WRITE_DATA*/ | 0x0004 /*APPEND*/)) {
    rights |= FILE_SHARE_WRITE;
  }
  if (access & (DELETE | GENERIC_ALL)) rights |= FILE_SHARE_DELETE;
  return rights;
}

bool Compatible(const Open& existing, DWORD access, DWORD share) {
  const DWORD wanted = Rights(access), held = Rights(existing.access);
  return (wanted & ~existing.share) == 0 && (held & ~share) == 0;
}

}  // namespace

DWORD OpenShared(const std::string& object, DWORD access, DWORD shareMode,
                 std::unique_ptr<ShareToken>& token) {
  token.reset();
  std::lock_guard lock(gMutex);
  auto& opens = gOpens[object];
  for (const Open* existing : opens) {
    if (!Compatible(*existing, access, shareMode)) return ERROR_SHARING_VIOLATION;
  }
  auto created = std::make_unique<Token>(object, access, shareMode);
  opens.push_back(created->open());
  token = std::move(created);
  return ERROR_SUCCESS;
}

std::size_t OpenCount(const std::string& object) {
  std::lock_guard lock(gMutex);
  auto it = gOpens.find(object);
  return it == gOpens.end() ? 0 : it->second.size();
}

}  // namespace emu
