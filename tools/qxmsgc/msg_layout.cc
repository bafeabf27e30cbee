// Writer of the compiled message file layout.
#include "msg_layout.h"

#include <cstring>

namespace qx::msgc {
namespace {

constexpr size_t kHeaderSize = 160;
constexpr size_t kRecordSize = 20;
constexpr size_t kEntrySize = 20;
constexpr uint8_t kOrderEnd = 0x30;

void Put32(std::string* out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*out)[at + size_t(i)] = char((v >> (8 * i)) & 0xFF);
}

void Append32(std::string* out, uint32_t v) {
  out->append(4, '\0');
  Put32(out, out->size() - 4, v);
}

}  // namespace

std::string BaseNameFor(uint32_t facility) {
  if (facility == 0 || facility == 100 || facility > 0x7FFFFFFF) return {};
  if (facility < 100) return "FAC001";
  return "FAC" + std::to_string(facility);
}

std::string BuildCatalog(const std::vector<SourceFacility>& facilities, const std::string& base) {
  size_t messages = 0;
  for (const SourceFacility& f : facilities) messages += f.messages.size();
  size_t index_end =
      kHeaderSize + facilities.size() * kRecordSize + messages * kEntrySize + kRecordSize;

  std::string out(kHeaderSize, '\0');
  std::memcpy(out.data(), kMagic, sizeof kMagic);
  Put32(&out, 8, kFormatVersion);
  Put32(&out, 12, uint32_t(facilities.size()));
  Put32(&out, 16, uint32_t(messages));
  Put32(&out, 20, uint32_t(index_end));
  std::memcpy(out.data() + 28, base.data(), std::min<size_t>(base.size(), 15));

  std::string texts;
  for (const SourceFacility& f : facilities) {
    char name[12] = {};
    std::memcpy(name, f.name.data(), std::min<size_t>(f.name.size(), 11));
    out.append(name, sizeof name);
    Append32(&out, f.number);
    Append32(&out, uint32_t(f.messages.size()));
    for (const SourceMessage& m : f.messages) {
      Append32(&out, m.number);
      char order[12];
      std::memset(order, 0, sizeof order);
      for (size_t i = 0; i < m.order.size() && i < 12; ++i) order[i] = char(m.order[i]);
      if (m.order.size() < 12) order[m.order.size()] = char(kOrderEnd);
      out.append(order, sizeof order);
      Append32(&out, uint32_t(index_end + texts.size()));
      texts += m.text;
      texts += '\0';
    }
  }
  out.append(12, '\0');
  Append32(&out, 0xFFFFFFFFu);
  Append32(&out, 0);
  out += texts;
  Put32(&out, 24, uint32_t(out.size()));
  return out;
}

}  // namespace qx::msgc
