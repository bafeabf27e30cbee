// The user's language code for catalog file names, with the store's answer kept.
#include "catalog_language.h"

#include <qxplatform/environment.h>
#include <zelapi01.h>

#include <cstdint>
#include <mutex>

#include "catalog_file.h"

namespace qx::comn {
namespace {

// The store's last answer, for the whole process.
struct StoreAnswer {
  std::mutex mutex;  // held while the store is read: one reader at a time
  bool known = false;
  uint64_t generation = 0;  // SearchGeneration() when read
  std::string code;
  std::chrono::steady_clock::time_point read;
};

StoreAnswer& Kept() {
  static StoreAnswer* kept = new StoreAnswer;  // outlives every static destructor
  return *kept;
}

bool VariableSet() {
  return platform::GetEnv(kLanguageVariable).has_value();
}

// QueryUserLanguage's code, "" when it is none.
std::string Ask() {
  char code[4] = {};
  if (!QueryUserLanguage(code)) return {};
  if (code[0] == '\0' || code[0] == ' ') return {};
  return code;
}

}  // namespace

UserLanguage CatalogLanguage() {
  // The variable comes first, and reading it costs little: no need to keep it.
  if (VariableSet()) return {Ask(), std::chrono::steady_clock::now()};
  StoreAnswer& kept = Kept();
  std::lock_guard lock(kept.mutex);
  // Taken before the store is read: QX_init_file meanwhile makes the answer count
  // as older.
  uint64_t generation = SearchGeneration();
  auto now = std::chrono::steady_clock::now();
  if (kept.known && kept.generation == generation && now - kept.read < kSearchLifetime)
    return {kept.code, kept.read};
  std::string code = Ask();
  // Set meanwhile by another thread, the variable answered: not the store's
  // answer to keep.
  if (VariableSet()) return {code, now};
  kept.known = true;
  kept.generation = generation;
  kept.code = code;
  kept.read = now;
  return {code, now};
}

}  // namespace qx::comn
