// Dates and times in the user's locale, from the C library's locale data.
#include <langinfo.h>
#include <locale.h>
#include <qxplatform/environment.h>
#include <qxplatform/locale_time.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qx::platform {
namespace {

// The locale name the C library would pick for LC_TIME.
std::string TimeLocaleName() {
  for (const char* var : {"LC_ALL", "LC_TIME", "LANG"}) {
    std::optional<std::string> v = GetEnv(var);
    if (v && !v->empty()) return *v;
  }
  return "C";
}

bool IsTimeConversion(char c) {
  switch (c) {
    case 'H':
    case 'I':
    case 'k':
    case 'l':
    case 'M':
    case 'S':
    case 'T':
    case 'r':
    case 'R':
    case 'p':
    case 'P':
    case 'Z':
    case 'z':
    case 'X':
    case 's':
    case 'c':
      return true;
    default:
      return false;
  }
}

// The conversion letter of a strftime token starting at '%', skipping flags,
// width and the E/O modifiers.
char ConversionLetter(const std::string& word, size_t at) {
  size_t i = at + 1;
  while (i < word.size() && std::string_view("-_0^#EO").find(word[i]) != std::string_view::npos)
    ++i;
  while (i < word.size() && word[i] >= '0' && word[i] <= '9') ++i;
  return i < word.size() ? word[i] : '\0';
}

// The blank-separated words of a picture.
std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  size_t i = 0;
  while (true) {
    i = text.find_first_not_of(" \t\n", i);
    if (i == std::string::npos) return words;
    size_t end = text.find_first_of(" \t\n", i);
    words.push_back(text.substr(i, end == std::string::npos ? std::string::npos : end - i));
    if (end == std::string::npos) return words;
    i = end;
  }
}

std::string LongDatePicture(locale_t loc) {
  const char* full = ::nl_langinfo_l(_DATE_FMT, loc);
  std::string source = full && *full ? full : ::nl_langinfo_l(D_FMT, loc);
  std::string out;
  for (std::string& word : Words(source)) {
    bool keep = true;
    for (size_t i = 0; i < word.size(); ++i) {
      if (word[i] != '%') continue;
      char c = ConversionLetter(word, i);
      if (IsTimeConversion(c)) keep = false;
      if (c == '%') ++i;
    }
    if (!keep) continue;
    // Full day and month names.
    for (size_t i = 0; i + 1 < word.size(); ++i) {
      if (word[i] != '%') continue;
      size_t j = i + 1;
      while (j < word.size() && std::string_view("-_0^#EO").find(word[j]) != std::string_view::npos)
        ++j;
      if (j < word.size() && word[j] == 'a')
        word[j] = 'A';
      else if (j < word.size() && (word[j] == 'b' || word[j] == 'h'))
        word[j] = 'B';
      i = j;
    }
    if (!out.empty()) out += ' ';
    out += word;
  }
  return out.empty() ? std::string("%x") : out;
}

// One locale per name, made once and kept: newlocale loads locale files.
struct UserLocale {
  std::string name;
  locale_t loc;
  std::string long_date;  // picture of the long date
};

class LocaleCache {
 public:
  const UserLocale& Get(const std::string& name) {
    std::lock_guard lock(mutex_);
    for (const auto& l : locales_)
      if (l->name == name) return *l;
    locale_t loc = ::newlocale(LC_TIME_MASK, name.c_str(), static_cast<locale_t>(0));
    if (loc == static_cast<locale_t>(0))
      loc = ::newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
    locales_.push_back(std::make_unique<UserLocale>(UserLocale{name, loc, LongDatePicture(loc)}));
    return *locales_.back();
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<UserLocale>> locales_;
};

// The user's locale, worked out again only when the environment changed: every
// dated message line asks for it.
struct ThreadUser {
  EnvironmentWatch watch{{"LC_ALL", "LC_TIME", "LANG"}};
  const UserLocale* user = nullptr;
  ~ThreadUser() { gone = true; }
  static thread_local bool gone;
};
thread_local bool ThreadUser::gone = false;

const UserLocale& User() {
  static LocaleCache* cache = new LocaleCache;
  // Once the thread's watch is gone (a destructor of another thread-local object
  // asks while the thread ends), the locale is worked out at every call.
  if (ThreadUser::gone) return cache->Get(TimeLocaleName());
  thread_local ThreadUser thread;
  if (thread.user == nullptr || thread.watch.Changed()) {
    thread.watch.Record();
    thread.user = &cache->Get(TimeLocaleName());
  }
  return *thread.user;
}

std::string Format(const char* picture, const std::tm& when, locale_t loc) {
  char buf[256];
  size_t n = ::strftime_l(buf, sizeof buf, picture, &when, loc);
  return std::string(buf, n);
}

}  // namespace

std::string UserLongDatePicture() {
  return User().long_date;
}

const std::string& UserTimeLocaleName() {
  return User().name;
}

std::string FormatUserDate(const std::tm& when, DateForm form) {
  const UserLocale& user = User();
  if (form == DateForm::kShort) return Format(::nl_langinfo_l(D_FMT, user.loc), when, user.loc);
  return Format(user.long_date.c_str(), when, user.loc);
}

std::string FormatUserTime(const std::tm& when) {
  const UserLocale& user = User();
  return Format(::nl_langinfo_l(T_FMT, user.loc), when, user.loc);
}

}  // namespace qx::platform
