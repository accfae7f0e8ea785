#include "pst/convert/codepage_policy.h"

#include <algorithm>
#include <string>

#include "pst/messaging/codepage_guess.h"
#include "pst/messaging/property_access.h"
#include "pst/messaging/tags.h"
#include "pst/messaging/text.h"
#include "pst/messaging/walk.h"

namespace pst::convert {
namespace {

// Windows code pages tried when nothing better is known: the single-byte
// ones first (text that one of them holds is in its script; the East Asian
// code pages also hold Latin, Greek and Cyrillic letters, but are not their
// home), Western first; among the East Asian ones Japanese before Chinese,
// as Japanese text (with kana) also fits GBK but not the reverse.
constexpr uint32_t kCommonCodepages[] = {1252, 1250, 1251, 1253, 1254, 1257, 1255,
                                         1256, 874,  1258, 932,  949,  936,  950};

bool IsDoubleByte(uint32_t codepage) {
  return codepage == 932 || codepage == 936 || codepage == 949 || codepage == 950;
}

// Folders whose names are looked at when choosing the names' code page.
constexpr size_t kMaxFolders = 4096;

}  // namespace

bool IsAnsiCodepage(uint32_t codepage) {
  switch (codepage) {
    case 874: case 932: case 936: case 949: case 950:
    case 1250: case 1251: case 1252: case 1253: case 1254: case 1255: case 1256: case 1257: case 1258:
      return true;
    default:
      return false;
  }
}

void TextProfile::AddUtf16Le(ByteSpan text) {
  const size_t units = text.size() / 2;
  for (size_t i = 0; i < units; ++i) {
    i += messaging::LeadingAsciiUnits(text.subspan(2 * i));
    if (i == units) break;
    const uint16_t u = static_cast<uint16_t>(text[2 * i] | (text[2 * i + 1] << 8));
    if (u < 0x80) continue;
    any_non_ascii_ = true;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      const uint16_t next = static_cast<uint16_t>(text[2 * i + 2] | (text[2 * i + 3] << 8));
      if (next >= 0xDC00 && next <= 0xDFFF) {
        ++astral_;
        ++i;
        continue;
      }
    }
    if (!seen_.test(u)) {
      seen_.set(u);
      distinct_.push_back(u);
    }
  }
}

Status TextProfile::AddUtf16Le(const ltp::ValueStream& text) {
  const uint64_t size = text.size() & ~uint64_t{1};
  Bytes piece;
  for (uint64_t at = 0; at < size;) {
    piece.resize(static_cast<size_t>(std::min<uint64_t>(64 * 1024, size - at)));
    PST_RETURN_IF_ERROR(text.Read(at, piece));
    size_t n = piece.size();
    // A high surrogate at the end waits for its partner in the next piece.
    if (at + n < size && (piece[n - 1] & 0xFC) == 0xD8) n -= 2;
    AddUtf16Le(ByteSpan(piece).first(n));
    at += n;
  }
  return Status::Ok();
}

size_t TextProfile::LostIn(uint32_t codepage) const {
  if (ascii_only()) return 0;
  // Each distinct character once, each followed by a space so that a
  // double-byte code page cannot pair it with its neighbour.
  Bytes text;
  text.reserve(4 * distinct_.size());
  for (const uint16_t u : distinct_) {
    text.push_back(static_cast<uint8_t>(u));
    text.push_back(static_cast<uint8_t>(u >> 8));
    text.push_back(' ');
    text.push_back(0);
  }
  auto encoded = messaging::EncodeCodepage(text, codepage);
  if (!encoded.ok()) return SIZE_MAX;
  return encoded->replaced + astral_;
}

uint32_t ChooseCodepageFor(const TextProfile& text, const std::vector<uint32_t>& preferred) {
  std::vector<uint32_t> candidates;
  for (uint32_t cp : preferred) {
    if (IsAnsiCodepage(cp)) candidates.push_back(cp);
  }
  candidates.insert(candidates.end(), std::begin(kCommonCodepages), std::end(kCommonCodepages));
  if (text.ascii_only()) return candidates.front();
  uint32_t best = candidates.front();
  size_t best_lost = SIZE_MAX;
  for (uint32_t cp : candidates) {
    const size_t lost = text.LostIn(cp);
    if (lost == 0) return cp;
    if (lost < best_lost) best = cp, best_lost = lost;
  }
  return best;
}

uint32_t DeclaredCodepage(const ltp::PropertyContext& properties) {
  // The message's own code page speaks for its strings even when it names
  // one they cannot be in; only without it does the Internet code page.
  for (uint16_t id : {messaging::kPidMessageCodepage, messaging::kPidInternetCodepage}) {
    auto cp = messaging::GetInt32(properties, id);
    if (!cp.ok() || !cp->has_value() || **cp <= 0) continue;
    const uint32_t windows = messaging::WindowsCodepageFor(static_cast<uint32_t>(**cp));
    return IsAnsiCodepage(windows) ? windows : 0;
  }
  return 0;
}

ObjectCodepage ChooseObjectCodepage(const ltp::PropertyContext& properties, const TextProfile& text,
                                    uint32_t names_codepage) {
  const uint32_t declared = DeclaredCodepage(properties);
  if (declared != 0 && text.LostIn(declared) == 0) return {declared, false};
  // What the object says first; then the single-byte code pages; then, of
  // the East Asian ones, the store's own.
  std::vector<uint32_t> preferred;
  if (declared != 0) preferred.push_back(declared);
  for (uint32_t cp : kCommonCodepages) {
    if (!IsDoubleByte(cp)) preferred.push_back(cp);
  }
  preferred.push_back(names_codepage);
  const uint32_t chosen = ChooseCodepageFor(text, preferred);
  return {chosen, chosen != declared};
}

uint32_t ChooseNamesCodepage(const messaging::Store& store, std::optional<uint32_t> user_choice) {
  if (user_choice) return *user_choice;
  if (!store.is_unicode()) {
    auto recorded = messaging::GetInt32(store.properties(), messaging::kPidCodePageId);
    if (recorded.ok() && recorded->has_value() && IsAnsiCodepage(static_cast<uint32_t>(**recorded))) {
      return static_cast<uint32_t>(**recorded);
    }
  }
  const uint32_t voted = messaging::GuessStoreCodepage(store, 0);
  const uint32_t fallback = IsAnsiCodepage(voted) ? voted : messaging::kDefaultCodepage;
  if (!store.is_unicode()) return fallback;

  // A Unicode store's names are exact: the code page must hold them all.
  TextProfile names;
  size_t folders = 0;
  messaging::WalkOptions options;
  options.include_start = true;
  (void)messaging::WalkFolders(
      store, ndb::kNidRootFolder,
      [&](const messaging::Folder& folder, const std::vector<std::string>&) {
        if (++folders > kMaxFolders) return Status::Cancelled("enough folders seen");
        auto name = folder.DisplayName();
        if (name.ok()) names.AddUtf16Le(messaging::Utf8ToUtf16Le(*name));
        return Status::Ok();
      },
      nullptr, options);
  auto display = store.DisplayName();
  if (display.ok()) names.AddUtf16Le(messaging::Utf8ToUtf16Le(*display));
  return ChooseCodepageFor(names, {fallback});
}

}  // namespace pst::convert
