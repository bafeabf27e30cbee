// Message lookup and formatting.
#include "catalog.h"

#include <pthread.h>
#include <qxplatform/system.h>
#include <qxplatform/text.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "catalog_env.h"
#include "catalog_language.h"

namespace qx::comn {
namespace {

using Kind = FormatArg::Kind;

std::atomic<bool> g_debug_suffix{false};

// A message the calling thread found lately. It is found the same way again while
// the folder list is the same, no QX_init_file was called and the search that
// found its file is younger than kSearchLifetime.
struct RecentMessage {
  uint32_t id = 0;
  MessagePtr msg;
  std::shared_ptr<const MappedCatalog> catalog;
  uint64_t env_version = 0;
  uint64_t search_generation = 0;
  std::chrono::steady_clock::time_point expires;
};

// Recent messages per thread, by identifier: a lookup that finds its message here
// takes no lock, allocates nothing and searches nothing.
constexpr size_t kRecentMessages = 16;

// Everything a thread keeps for its lookups, in one thread-local object: each
// one costs a look-up of its own.
struct ThreadLookups {
  CatalogEnvCache env;
  // The file the calling thread looked up last; QX_get_facility and QX_get_msg
  // work on it. Holding it keeps the mapping alive while the thread may use it.
  std::shared_ptr<const MappedCatalog> current;
  std::array<RecentMessage, kRecentMessages> recent;

  RecentMessage& Recent(uint32_t id) { return recent[((id >> 3) ^ (id >> 16)) % kRecentMessages]; }

  ~ThreadLookups();
};
thread_local ThreadLookups t_lookups;

// The thread's object, found through a plain pointer: reaching t_lookups itself
// runs its guard for construction. The library keeps the default (dynamic) model
// for every thread-local variable: a library with any initial-exec variable must
// get its whole thread-local block from the loader's small static reserve, and a
// program that opens it later (dlopen) then fails for want of room.
thread_local ThreadLookups* t_lookups_at = nullptr;
thread_local bool t_lookups_gone = false;

ThreadLookups::~ThreadLookups() {
  t_lookups_at = nullptr;
  t_lookups_gone = true;
}

// Once the thread's object is gone (a destructor of another thread-local object
// reports while the thread ends), one made on the heap serves the thread's last
// lookups. The C library runs the destructors of thread-specific values after
// those of thread-local objects: this key's frees it.
pthread_key_t LateLookupsKey() {
  static const pthread_key_t key = [] {
    pthread_key_t k;
    if (::pthread_key_create(&k, [](void* late) { delete static_cast<ThreadLookups*>(late); }) != 0)
      std::abort();
    return k;
  }();
  return key;
}

ThreadLookups& Lookups() {
  ThreadLookups* at = t_lookups_at;
  if (at != nullptr) return *at;
  if (t_lookups_gone) {
    at = new ThreadLookups;
    ::pthread_setspecific(LateLookupsKey(), at);
  } else {
    at = &t_lookups;
  }
  t_lookups_at = at;
  return *at;
}

void SetDebugSuffix(bool on) {
  // Written only when it changes: every lookup of every thread passes here.
  if (g_debug_suffix.load(std::memory_order_relaxed) != on)
    g_debug_suffix.store(on, std::memory_order_relaxed);
}

// Facility 100, 0 and the negative facilities have no message file.
bool HasFile(int facility) {
  return facility > 0 && facility != 100;
}

// The base name of the file that holds a facility (REQUIRES: HasFile) for the
// user's language code `code` ("" when none). All facilities from 1 to 99 share
// one file.
std::string FileBaseName(int facility, const std::string& code) {
  std::string digits = facility < 100 ? "001" : std::to_string(facility);
  return code.empty() ? "FAC" + digits : "F" + digits + code;
}

std::string FileNotFound(const MessageId& m, const std::string& base) {
  return "Facility #" + std::to_string(m.facility) + ", Severity Level '" +
         SeverityName(m.severity) + "', Message File '" + base + "' NOT FOUND";
}

std::string MessageNotFound(const MessageId& m) {
  return "Facility #" + std::to_string(m.facility) + ", Severity Level '" +
         SeverityName(m.severity) + "', Message #" + std::to_string(m.number) + " NOT FOUND";
}

std::string CannotOpen(const MessageId& m) {
  return "Facility #" + std::to_string(m.facility) + ", Severity Level '" +
         SeverityName(m.severity) + "', Message #" + std::to_string(m.number) +
         ", cannot open the data";
}

// The conversions of a stored text, one per output position.
std::vector<ValueKind> PositionKinds(std::string_view text, bool wide) {
  std::vector<ValueKind> kinds;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    platform::Conversion c;
    size_t n = platform::ParseConversion(text.substr(i + 1), &c);
    if (n == 0) continue;
    if (c.width_arg) kinds.push_back({Kind::kInt, false});
    if (c.precision_arg) kinds.push_back({Kind::kInt, false});
    Kind k = platform::ConsumedKind(c, wide);
    using L = platform::Conversion::Length;
    bool is64 = c.length == L::kL || c.length == L::kLL || c.length == L::kJ || c.length == L::kZ ||
                c.length == L::kT || c.length == L::kI64;
    if (k != Kind::kNone) kinds.push_back({k, is64 && (k == Kind::kInt || k == Kind::kUInt)});
    i += n;
  }
  return kinds;
}

FormatArg ZeroOf(Kind k) {
  switch (k) {
    case Kind::kUInt:
      return FormatArg::UInt(0);
    case Kind::kDouble:
      return FormatArg::Double(0);
    case Kind::kString:
      return FormatArg::Str(nullptr);
    case Kind::kWString:
      return FormatArg::WStr(nullptr);
    case Kind::kPointer:
      return FormatArg::Ptr(nullptr);
    default:
      return FormatArg::Int(0);
  }
}

// The kind each caller value is read as: that of the first output position that
// takes it.
ValueKindList KindsOfValues(const CatalogMessage& msg, bool wide) {
  std::vector<ValueKind> positions = PositionKinds(msg.text, wide);
  ValueKindList kinds{};
  std::array<bool, kMessageValues> seen{};
  for (size_t p = 0; p < kMessageValues && p < positions.size(); ++p) {
    uint8_t v = msg.order[p];
    if (seen[v]) continue;
    seen[v] = true;
    kinds[v] = positions[p];
  }
  return kinds;
}

}  // namespace

MessageId SplitMessageId(uint32_t id) {
  MessageId m;
  m.facility = int32_t(id & ~0x08008000u) >> 16;
  m.number = (id >> 3) & 0xFFFu;
  m.severity = id & 7u;
  return m;
}

const char* SeverityName(uint32_t severity) {
  static const char* const kNames[8] = {"WARNING", "SUCCESS", "ERROR", "INFORMATIONAL",
                                        "FATAL",   "5",       "6",     "7"};
  return kNames[severity & 7u];
}

bool DebugSuffixOn() {
  return g_debug_suffix.load(std::memory_order_relaxed);
}

void CutUtf8(std::string* text, size_t max) {
  if (text->size() <= max) return;
  size_t cut = max;
  while (cut > 0 && (static_cast<unsigned char>((*text)[cut]) & 0xC0) == 0x80) --cut;
  text->resize(cut);
}

// Reads message `id` from a validated file; nullptr when it is not there or its
// text does not carry the identifier's severity.
MessagePtr ReadMessage(const CatalogView& view, const MessageId& m) {
  std::optional<size_t> record = view.FindFacility(uint32_t(m.facility));
  if (!record) return nullptr;
  std::optional<MessageEntry> entry = view.FindMessage(*record, m.number);
  if (!entry) return nullptr;
  std::optional<std::string_view> text = view.TextAt(entry->text_offset);
  if (!text || SeverityMismatch(*text, m.severity)) return nullptr;
  auto msg = std::make_shared<CatalogMessage>();
  msg->facility_name = std::string(view.FacilityName(*record));
  msg->text = std::string(*text);
  msg->format = platform::PrintfFormat("%" + msg->facility_name, msg->text);
  for (size_t i = 0; i < kMessageValues; ++i) msg->order[i] = uint8_t(i);
  // An order list that begins with the end byte leaves the values in call order;
  // a byte outside 1-12 leaves its position as it is.
  for (size_t i = 0; i < kMessageValues && entry->order[i] != kOrderEnd; ++i) {
    uint8_t b = entry->order[i];
    if (b >= 1 && b <= kMessageValues) msg->order[i] = uint8_t(b - 1);
  }
  msg->narrow_kinds = KindsOfValues(*msg, false);
  msg->wide_kinds = KindsOfValues(*msg, true);
  return msg;
}

namespace {

// FindMessage for a message the thread has not found lately: searches the
// folders (or takes a remembered search) and keeps the answer in `recent`.
[[gnu::noinline]] const CatalogMessage* SearchMessage(uint32_t id, ThreadLookups& thread,
                                                      const CatalogEnv& env, RecentMessage& recent,
                                                      std::string* failure) {
  MessageId m = SplitMessageId(id);
  if (!HasFile(m.facility)) {
    *failure = FileNotFound(m, {});
    return nullptr;
  }
  SetDebugSuffix(env.debug);
  // Taken before the language code and the search: a QX_init_file meanwhile makes
  // the answer count as older.
  uint64_t generation = SearchGeneration();
  // Asked only when there is a file to search for.
  UserLanguage language = CatalogLanguage();
  std::string base = FileBaseName(m.facility, language.code);
  CatalogSearch search =
      FindCatalog(env.dpath ? std::string_view(env.dpath) : DefaultCatalogFolder(), base);
  if (!search.found) {
    *failure = FileNotFound(m, base);
    return nullptr;
  }
  if (!search.catalog) {
    *failure = CannotOpen(m);
    return nullptr;
  }
  if (thread.current != search.catalog) thread.current = search.catalog;
  MessagePtr found = search.catalog->Prepared(id);
  if (!found) {
    found = ReadMessage(search.catalog->view(), m);
    if (!found) {
      *failure = MessageNotFound(m);
      return nullptr;
    }
    search.catalog->Remember(id, found);
  }
  recent.id = id;
  recent.msg = std::move(found);
  recent.catalog = std::move(search.catalog);
  recent.env_version = env.version;
  recent.search_generation = generation;
  // On the coarse clock, which lags by about a tick: the answer is not trusted
  // longer than kSearchLifetime after the older of the two things it rests on,
  // the folder search and the language code.
  recent.expires =
      std::min(search.searched, language.read) + kSearchLifetime - platform::CoarseClockLag();
  return recent.msg.get();
}

}  // namespace

const CatalogMessage* FindMessage(uint32_t id, std::string* failure) {
  ThreadLookups& thread = Lookups();
  const CatalogEnv& env = thread.env.Get();
  RecentMessage& recent = thread.Recent(id);
  if (recent.msg && recent.id == id && recent.env_version == env.version &&
      recent.search_generation == SearchGeneration() &&
      platform::CoarseSteadyNow() < recent.expires) {
    SetDebugSuffix(env.debug);
    if (thread.current != recent.catalog) thread.current = recent.catalog;
    return recent.msg.get();
  }
  return SearchMessage(id, thread, env, recent, failure);
}

bool SeverityMismatch(std::string_view text, uint32_t severity) {
  char letter = SeverityName(severity)[0];
  if (!((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z'))) return false;
  // An empty text has no severity letter: it cannot match.
  return text.size() < 2 || text[1] != letter;
}

MessageValues ReadValues(const ValueKindList& kinds, size_t count, va_list ap) {
  if (count > kMessageValues) count = kMessageValues;
  // Read from a copy: the caller's list stays where it is.
  va_list copy;
  va_copy(copy, ap);
  MessageValues values;
  for (size_t k = 0; k < kMessageValues; ++k) {
    const ValueKind& kind = kinds[k];
    if (k >= count) {
      values[k] = ZeroOf(kind.kind);
      continue;
    }
    switch (kind.kind) {
      case Kind::kInt:
      case Kind::kUInt: {
        // A 64-bit integer is read as a pointer (which is 64-bit) and converted back.
        int64_t v = kind.is64 ? int64_t(reinterpret_cast<uintptr_t>(va_arg(copy, const void*)))
                    : kind.kind == Kind::kUInt ? int64_t(va_arg(copy, unsigned))
                                               : int64_t(va_arg(copy, int));
        values[k] = kind.kind == Kind::kUInt ? FormatArg::UInt(uint64_t(v)) : FormatArg::Int(v);
        break;
      }
      case Kind::kDouble:
        values[k] = FormatArg::Double(va_arg(copy, double));
        break;
      case Kind::kString:
        values[k] = FormatArg::Str(va_arg(copy, const char*));
        break;
      case Kind::kWString:
        values[k] = FormatArg::WStr(va_arg(copy, const char16_t*));
        break;
      case Kind::kPointer:
        values[k] = FormatArg::Ptr(va_arg(copy, const void*));
        break;
      default:
        values[k] = FormatArg{};
        break;
    }
  }
  va_end(copy);
  return values;
}

size_t FormatMessageTo(const CatalogMessage& msg, const PositionalValues& values, char* out,
                       size_t width) {
  size_t n = msg.format.FormatTo(values.span(), out, width);
  // Cut to width - 1 characters, never inside a UTF-8 character.
  if (n > width - 1) {
    n = width - 1;
    while (n > 0 && (static_cast<unsigned char>(out[n]) & 0xC0) == 0x80) --n;
  }
  return n;
}

std::string FormatMessage(const CatalogMessage& msg, const MessageValues* values, bool wide,
                          size_t width) {
  if (values != nullptr && !wide && width <= kLongWidth) {
    char text[kLongWidth];
    PositionalValues positional(msg, [&](size_t v) { return (*values)[v]; });
    return std::string(text, FormatMessageTo(msg, positional, text, width));
  }
  std::string out = "%" + msg.facility_name;
  if (values == nullptr) {
    out += msg.text;
  } else {
    std::array<FormatArg, kMessageValues> args;
    for (size_t p = 0; p < kMessageValues; ++p) args[p] = (*values)[msg.order[p]];
    std::optional<std::string> text;
    if (wide) {
      if (auto w = platform::Utf8ToUtf16(msg.text))
        text = platform::Utf16ToUtf8(platform::FormatPrintfW(*w, args));
    }
    // Narrow formatting reads each string value by its own kind, so it also serves
    // a wide text that would not convert.
    if (!text) text = platform::FormatPrintf(msg.text, args);
    out += *text;
  }
  CutUtf8(&out, width - 1);
  return out;
}

bool ProduceMessage(uint32_t id, size_t count, va_list* ap, bool wide, size_t width,
                    std::string* out) {
  const CatalogMessage* msg = FindMessage(id, out);
  if (msg == nullptr) {
    CutUtf8(out, width - 1);
    return false;
  }
  MessageValues values;
  const ValueKindList& kinds = ValueKinds(*msg, wide);
  if (ap != nullptr) {
    values = ReadValues(kinds, count, *ap);
  } else {
    for (size_t k = 0; k < kMessageValues; ++k) values[k] = ZeroOf(kinds[k].kind);
  }
  *out = FormatMessage(*msg, &values, wide, width);
  return true;
}

std::string CurrentFacilityName(int facility) {
  const std::shared_ptr<const MappedCatalog>& current = Lookups().current;
  if (!current || facility <= 0) return {};
  std::optional<size_t> record = current->view().FindFacility(uint32_t(facility));
  return record ? std::string(current->view().FacilityName(*record)) : std::string();
}

const std::shared_ptr<const MappedCatalog>& CurrentCatalog() {
  return Lookups().current;
}

}  // namespace qx::comn
