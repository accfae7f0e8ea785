// Which code page 8-bit text is read with and written in when a store
// changes format.
//
// An ANSI store keeps text as 8-bit strings. A message, its recipients and
// its attachments say which code page theirs are in: PidTagMessageCodepage,
// or else PidTagInternetCodepage read as the Windows code page of its script
// (Outlook-written Japanese stores declare only 50220, ISO-2022-JP, and keep
// their strings in 932). Folder and store names declare nothing: Outlook
// wrote them in the system's code page. Our own ANSI outputs record the code
// page of their names in the store's PidTagCodePageId, so that converting one
// back reads them right.
//
// Rules, for both directions and both ways of starting a conversion:
//  - names: one code page for the whole output, the one that holds every
//    name (the code page most messages declare if it does, else the first
//    common Windows code page that does, else the one that loses least);
//  - an object's strings go into the code page it declares, if an ANSI
//    string can be written in it and it holds the object's text; else into
//    the first code page that does (single-byte ones first, then the East
//    Asian one of the store's names), or the one that loses least, which is
//    then declared on the object, so that no label contradicts the bytes it
//    describes.
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>
#include <vector>

#include "pst/base/bytes.h"
#include "pst/ltp/property_context.h"
#include "pst/ltp/value_stream.h"
#include "pst/messaging/store.h"

namespace pst::convert {

// The code pages an ANSI store's strings can be written in: the Windows
// code pages of one or two bytes per character (874, 932, 936, 949, 950,
// 1250-1258).
bool IsAnsiCodepage(uint32_t codepage);

// The distinct characters of some text, enough to tell which code pages
// hold all of it without encoding it again for each.
class TextProfile {
 public:
  // Adds UTF-16LE text (an odd trailing byte is ignored).
  void AddUtf16Le(ByteSpan text);
  // Adds UTF-16LE text read from a stream in pieces (for text too large to
  // hold), as if added whole.
  Status AddUtf16Le(const ltp::ValueStream& text);
  bool ascii_only() const { return !any_non_ascii_ && astral_ == 0; }
  // Distinct characters of the text that the code page cannot hold.
  size_t LostIn(uint32_t codepage) const;

 private:
  std::bitset<0x10000> seen_;
  std::vector<uint16_t> distinct_;  // the characters of seen_, as they first came
  bool any_non_ascii_ = false;
  uint64_t astral_ = 0;  // characters outside the BMP: no ANSI code page has them
};

// The first of `preferred`, then of the common Windows code pages, that
// holds the whole text; else the one that loses the fewest characters
// (earlier wins a tie). `preferred` entries that are not ANSI code pages
// are passed over.
uint32_t ChooseCodepageFor(const TextProfile& text, const std::vector<uint32_t>& preferred);

// The code page an object declares for its 8-bit strings, as a Windows code
// page (PidTagMessageCodepage, else PidTagInternetCodepage through its
// script), or 0 when it declares none or one no 8-bit string is written in
// (UTF-8, UTF-16...).
uint32_t DeclaredCodepage(const ltp::PropertyContext& properties);

// Where an object's strings go in an ANSI target.
struct ObjectCodepage {
  uint32_t codepage = 0;
  // The object must be labelled with `codepage` (PidTagMessageCodepage):
  // what it declares now (if anything) says otherwise.
  bool declare = false;
};
ObjectCodepage ChooseObjectCodepage(const ltp::PropertyContext& properties, const TextProfile& text,
                                    uint32_t names_codepage);

// The code page of the store's names. An ANSI store's are read with it: the
// code page it records (PidTagCodePageId), else the one most of its
// messages declare, else 1252. A Unicode store's are written in it when
// converted to ANSI: the one most messages declare if it holds every folder
// name, else as ChooseCodepageFor. `user_choice` wins over both.
uint32_t ChooseNamesCodepage(const messaging::Store& store, std::optional<uint32_t> user_choice);

}  // namespace pst::convert
