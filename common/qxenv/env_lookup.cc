// Variable lookup: the process-environment source of the store.
#include <qxenv.h>
#include <qxplatform/environment.h>
#include <qxplatform/system.h>
#include <qxplatform/text.h>

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace qx::env {
namespace {

// Every value ever handed out, per name. Callers keep the returned pointers for
// the life of the process, so a value is never freed or moved: a changed
// variable appends its new value. Only a change adds an entry, so the list of a
// name grows with the number of distinct settings the process made, not with the
// number of lookups.
class ValueCache {
 public:
  const char* Intern(const std::string& name, const std::string& value) {
    std::lock_guard lock(mutex_);
    std::deque<std::string>& values = values_[name];
    if (values.empty() || values.back() != value) values.push_back(value);
    return values.back().c_str();
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::deque<std::string>, std::less<>> values_;
};

ValueCache& Cache() {
  static ValueCache* cache = new ValueCache;  // never destroyed: pointers outlive exit handlers
  return *cache;
}

std::optional<std::string> MachineName() {
  char name[256];
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return std::nullopt;
  return std::string(name, size);
}

// The value of a name from the process environment, then (for COMPUTERNAME) the
// machine name. Empty texts do not count as values.
const char* Resolve(const char* name) {
  if (name == nullptr || *name == '\0') return nullptr;
  std::optional<std::string> value = platform::GetEnv(name);
  if ((!value || value->empty()) &&
      platform::EqualsNoCase<char>(name, std::string_view("COMPUTERNAME")))
    value = MachineName();
  if (!value || value->empty()) return nullptr;
  return Cache().Intern(name, *value);
}

}  // namespace
}  // namespace qx::env

const char* QXgetenv(const char* name) {
  return qx::env::Resolve(name);
}

const char* QXgetopt(const char* name) {
  return qx::env::Resolve(name);
}

int QXgetversion(void) {
  return 2;
}
