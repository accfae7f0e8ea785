#include "pst/messaging/text.h"

#include <unicode/ucnv.h>
#include <unicode/ustring.h>

#include <bit>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

namespace pst::messaging {
namespace {

// The ICU converter name for a Windows code page number. Most are known to
// ICU as "windows-N" or "cpN"; a few common ones go by their standard names.
std::string IcuNameFor(uint32_t codepage, int attempt) {
  switch (codepage) {
    case 65001: return attempt == 0 ? "UTF-8" : "";
    case 1200: return attempt == 0 ? "UTF-16LE" : "";
    case 1201: return attempt == 0 ? "UTF-16BE" : "";
    case 20127: return attempt == 0 ? "US-ASCII" : "";
    case 20866: return attempt == 0 ? "KOI8-R" : "";
    case 21866: return attempt == 0 ? "KOI8-U" : "";
    case 50220: case 50221: case 50222: return attempt == 0 ? "ISO-2022-JP" : "";
    case 50225: return attempt == 0 ? "ISO-2022-KR" : "";
    case 51932: return attempt == 0 ? "EUC-JP" : "";
    case 51949: return attempt == 0 ? "EUC-KR" : "";
    case 52936: return attempt == 0 ? "HZ-GB-2312" : "";
    case 54936: return attempt == 0 ? "GB18030" : "";
    default: break;
  }
  if (codepage >= 28591 && codepage <= 28605) {
    return attempt == 0 ? "ISO-8859-" + std::to_string(codepage - 28590) : "";
  }
  switch (attempt) {
    case 0: return "windows-" + std::to_string(codepage);
    case 1: return "cp" + std::to_string(codepage);
    case 2: return "ibm-" + std::to_string(codepage);
    default: return "";
  }
}

struct ConverterCloser {
  void operator()(UConverter* c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

Converter OpenConverter(uint32_t codepage) {
  if (codepage == 0) return nullptr;
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::string name = IcuNameFor(codepage, attempt);
    if (name.empty()) break;
    UErrorCode err = U_ZERO_ERROR;
    UConverter* c = ucnv_open(name.c_str(), &err);
    if (U_SUCCESS(err) && c) return Converter(c);
  }
  return nullptr;
}

// Whether every ASCII character is its own single byte in this encoding,
// both ways, so that text of ASCII alone converts by widening or narrowing
// each unit. True of every Windows ANSI code page, and most strings in a
// store are ASCII. Asked of ICU, never assumed; encodings with shift states
// (ISO-2022, HZ, UTF-7), where an ASCII byte can switch the state, are left
// to ICU.
bool AsciiIsItself(UConverter* conv) {
  switch (ucnv_getType(conv)) {
    case UCNV_SBCS: case UCNV_MBCS: case UCNV_LATIN_1: case UCNV_UTF8: case UCNV_US_ASCII:
      break;
    default:
      return false;
  }
  for (UChar c = 0; c < 0x80; ++c) {
    char byte[8];
    UErrorCode err = U_ZERO_ERROR;
    ucnv_reset(conv);
    int32_t n = ucnv_fromUChars(conv, byte, sizeof byte, &c, 1, &err);
    if (U_FAILURE(err) || n != 1 || static_cast<uint8_t>(byte[0]) != c) return false;
    UChar back[4];
    err = U_ZERO_ERROR;
    ucnv_reset(conv);
    n = ucnv_toUChars(conv, back, 4, byte, 1, &err);
    if (U_FAILURE(err) || n != 1 || back[0] != c) return false;
  }
  ucnv_reset(conv);
  return true;
}

struct KeptConverter {
  Converter conv;
  bool ascii_is_itself = false;
};

// A converter for one-shot use on this thread, reset. Opening one looks its
// name up and allocates, and strings are converted by the million: each
// thread keeps those it has opened. Only code pages ICU knows are kept, so
// the values a damaged store declares cannot grow the cache.
KeptConverter* KeptConverterFor(uint32_t codepage) {
  thread_local std::unordered_map<uint32_t, KeptConverter> opened;
  auto it = opened.find(codepage);
  if (it == opened.end()) {
    Converter conv = OpenConverter(codepage);
    if (!conv) return nullptr;
    const bool ascii = AsciiIsItself(conv.get());
    it = opened.emplace(codepage, KeptConverter{std::move(conv), ascii}).first;
  }
  ucnv_reset(it->second.conv.get());
  return &it->second;
}

UConverter* ConverterFor(uint32_t codepage) {
  KeptConverter* kept = KeptConverterFor(codepage);
  return kept ? kept->conv.get() : nullptr;
}

// On a little-endian machine UTF-16LE is the string's own memory: one copy
// instead of a loop over every unit (bodies pass here whole).
constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// How many bytes at the start are ASCII; eight at a time while they last.
size_t LeadingAscii(ByteSpan bytes) {
  size_t i = 0;
  for (uint64_t word; i + 8 <= bytes.size(); i += 8) {
    std::memcpy(&word, bytes.data() + i, 8);
    if (word & 0x8080808080808080u) break;
  }
  while (i < bytes.size() && bytes[i] < 0x80) ++i;
  return i;
}

std::u16string FromLe(ByteSpan utf16le) {
  std::u16string s(utf16le.size() / 2, u'\0');
  if constexpr (kLittleEndian) {
    if (!s.empty()) std::memcpy(s.data(), utf16le.data(), s.size() * 2);
    return s;
  }
  for (size_t i = 0; i < s.size(); ++i) {
    s[i] = static_cast<char16_t>(utf16le[2 * i] | (utf16le[2 * i + 1] << 8));
  }
  return s;
}

Bytes ToLe(const std::u16string& s) {
  Bytes out(s.size() * 2);
  if constexpr (kLittleEndian) {
    if (!s.empty()) std::memcpy(out.data(), s.data(), out.size());
    return out;
  }
  for (size_t i = 0; i < s.size(); ++i) {
    out[2 * i] = static_cast<uint8_t>(s[i]);
    out[2 * i + 1] = static_cast<uint8_t>(s[i] >> 8);
  }
  return out;
}

Status UnsupportedCodepage(uint32_t codepage) {
  return Status::NotSupported("code page " + std::to_string(codepage) + " is not known");
}

// How many bytes at the start the converter lets DecodeToUtf16 widen itself.
size_t AsciiPrefix(const KeptConverter& kept, ByteSpan bytes) {
  return kept.ascii_is_itself ? LeadingAscii(bytes) : 0;
}

// `ascii`: AsciiPrefix(kept, bytes). That much is widened here and only the
// rest goes to ICU: these converters carry nothing from one character to
// the next.
Result<std::u16string> DecodeToUtf16(ByteSpan bytes, KeptConverter& kept, size_t ascii) {
  UConverter* conv = kept.conv.get();
  std::u16string out(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(ascii));
  const ByteSpan rest = bytes.subspan(ascii);
  if (rest.empty()) return out;
  // Each input byte yields at most two UTF-16 units.
  out.resize(ascii + rest.size() * 2 + 2);
  UErrorCode err = U_ZERO_ERROR;
  int32_t n = ucnv_toUChars(conv, reinterpret_cast<UChar*>(out.data() + ascii),
                            static_cast<int32_t>(out.size() - ascii),
                            reinterpret_cast<const char*>(rest.data()),
                            static_cast<int32_t>(rest.size()), &err);
  if (U_FAILURE(err)) return Status::Corruption(std::string("cannot decode text: ") + u_errorName(err));
  out.resize(ascii + static_cast<size_t>(n));
  return out;
}

}  // namespace

std::string Utf16LeToUtf8(ByteSpan utf16le) {
  std::u16string s = FromLe(utf16le);
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

Bytes Utf8ToUtf16Le(std::string_view utf8) {
  std::u16string out(utf8.size() + 1, u'\0');
  int32_t n = 0;
  UErrorCode err = U_ZERO_ERROR;
  u_strFromUTF8WithSub(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()), &n,
                       utf8.data(), static_cast<int32_t>(utf8.size()), 0xFFFD, nullptr, &err);
  if (U_FAILURE(err)) return {};
  out.resize(static_cast<size_t>(n));
  return ToLe(out);
}

uint32_t WindowsCodepageFor(uint32_t codepage) {
  switch (codepage) {
    case 1200: case 1201: case 12000: case 12001: case 65000: case 65001:
      return 0;
    case 50220: case 50221: case 50222: case 51932: case 20932:
      return 932;  // Japanese
    case 50227: case 51936: case 52936: case 20936: case 54936:
      return 936;  // Simplified Chinese
    case 50225: case 51949: case 20949:
      return 949;  // Korean
    case 50229: case 51950: case 20000: case 20002:
      return 950;  // Traditional Chinese
    case 20127: case 28591: case 28605: case 20105: case 20106: case 20107: case 20108:
      return 1252;  // Western
    case 28592:
      return 1250;  // Central European
    case 28595: case 20866: case 21866:
      return 1251;  // Cyrillic
    case 28597:
      return 1253;  // Greek
    case 28593: case 28599:
      return 1254;  // Turkish
    case 28598: case 38598:
      return 1255;  // Hebrew
    case 28596:
      return 1256;  // Arabic
    case 28594: case 28603:
      return 1257;  // Baltic
    case 28601:
      return 874;   // Thai
    default:
      return codepage;
  }
}

bool IsSupportedCodepage(uint32_t codepage) { return ConverterFor(codepage) != nullptr; }

size_t LeadingAsciiUnits(ByteSpan utf16le) {
  const size_t units = utf16le.size() / 2;
  size_t i = 0;
  if constexpr (kLittleEndian) {
    for (uint64_t word; i + 4 <= units; i += 4) {
      std::memcpy(&word, utf16le.data() + 2 * i, 8);
      if (word & 0xFF80FF80FF80FF80u) break;
    }
  }
  while (i < units && utf16le[2 * i] < 0x80 && utf16le[2 * i + 1] == 0) ++i;
  return i;
}

Result<std::string> DecodeCodepage(ByteSpan bytes, uint32_t codepage) {
  KeptConverter* kept = KeptConverterFor(codepage);
  if (!kept) return UnsupportedCodepage(codepage);
  const size_t ascii = AsciiPrefix(*kept, bytes);
  if (ascii == bytes.size()) return std::string(bytes.begin(), bytes.end());
  PST_ASSIGN_OR_RETURN(std::u16string u, DecodeToUtf16(bytes, *kept, ascii));
  Bytes le = ToLe(u);
  return Utf16LeToUtf8(le);
}

Result<Bytes> DecodeCodepageToUtf16Le(ByteSpan bytes, uint32_t codepage) {
  KeptConverter* kept = KeptConverterFor(codepage);
  if (!kept) return UnsupportedCodepage(codepage);
  const size_t ascii = AsciiPrefix(*kept, bytes);
  if (ascii == bytes.size()) {
    Bytes out(bytes.size() * 2, 0);
    for (size_t i = 0; i < bytes.size(); ++i) out[2 * i] = bytes[i];
    return out;
  }
  PST_ASSIGN_OR_RETURN(std::u16string u, DecodeToUtf16(bytes, *kept, ascii));
  return ToLe(u);
}

Result<EncodedText> EncodeCodepage(ByteSpan utf16le, uint32_t codepage) {
  KeptConverter* kept = KeptConverterFor(codepage);
  if (!kept) return UnsupportedCodepage(codepage);
  UConverter* conv = kept->conv.get();
  EncodedText result;
  // Leading ASCII is narrowed here and only the rest goes to ICU: these
  // converters carry nothing from one character to the next.
  const size_t ascii = kept->ascii_is_itself ? LeadingAsciiUnits(utf16le) : 0;
  result.bytes.resize(ascii);
  for (size_t i = 0; i < ascii; ++i) result.bytes[i] = utf16le[2 * i];
  std::u16string s = FromLe(utf16le.subspan(2 * ascii));
  if (s.empty()) return result;
  // Count each unmappable character, then let ICU put in its substitute.
  struct Counter {
    size_t replaced = 0;
  } counter;
  UConverterFromUCallback callback = [](const void* context, UConverterFromUnicodeArgs* args,
                                        const UChar* units, int32_t length, UChar32 code_point,
                                        UConverterCallbackReason reason, UErrorCode* err) {
    if (reason == UCNV_UNASSIGNED || reason == UCNV_ILLEGAL || reason == UCNV_IRREGULAR) {
      ++const_cast<Counter*>(static_cast<const Counter*>(context))->replaced;
    }
    UCNV_FROM_U_CALLBACK_SUBSTITUTE(nullptr, args, units, length, code_point, reason, err);
  };
  UErrorCode err = U_ZERO_ERROR;
  // Windows writes "?" for a character a code page lacks; ICU's own
  // substitute for most code pages is the control character 0x1A.
  ucnv_setSubstChars(conv, "?", 1, &err);
  err = U_ZERO_ERROR;
  ucnv_setFromUCallBack(conv, callback, &counter, nullptr, nullptr, &err);
  if (U_FAILURE(err)) return Status::InvalidArgument("cannot set up text encoding");
  const int32_t max_bytes = UCNV_GET_MAX_BYTES_FOR_STRING(static_cast<int32_t>(s.size()),
                                                          ucnv_getMaxCharSize(conv));
  result.bytes.resize(ascii + static_cast<size_t>(max_bytes) + 1);
  int32_t n = ucnv_fromUChars(conv, reinterpret_cast<char*>(result.bytes.data() + ascii), max_bytes + 1,
                              reinterpret_cast<const UChar*>(s.data()),
                              static_cast<int32_t>(s.size()), &err);
  // The converter is kept for the next string: it must not point at this
  // call's counter once the call is over.
  UErrorCode restored = U_ZERO_ERROR;
  ucnv_setFromUCallBack(conv, UCNV_FROM_U_CALLBACK_SUBSTITUTE, nullptr, nullptr, nullptr, &restored);
  if (U_FAILURE(err)) return Status::InvalidArgument(std::string("cannot encode text: ") + u_errorName(err));
  result.bytes.resize(ascii + static_cast<size_t>(n));
  result.replaced = counter.replaced;
  return result;
}

// ---------------------------------------------------------------------------
// TextPieceConverter

struct TextPieceConverter::State {
  Converter conv;
  bool to_utf16 = false;
  size_t replaced = 0;
  bool odd = false;      // a UTF-16 byte waiting for its partner
  uint8_t odd_byte = 0;
};

TextPieceConverter::TextPieceConverter(std::unique_ptr<State> state) : state_(std::move(state)) {}
TextPieceConverter::TextPieceConverter(TextPieceConverter&&) noexcept = default;
TextPieceConverter& TextPieceConverter::operator=(TextPieceConverter&&) noexcept = default;
TextPieceConverter::~TextPieceConverter() = default;

Result<TextPieceConverter> TextPieceConverter::Open(bool to_utf16, uint32_t codepage) {
  auto state = std::make_unique<State>();
  state->conv = OpenConverter(codepage);
  if (!state->conv) return UnsupportedCodepage(codepage);
  state->to_utf16 = to_utf16;
  if (!to_utf16) {
    // As EncodeCodepage: "?" for what the code page lacks, each one counted.
    UConverterFromUCallback callback = [](const void* context, UConverterFromUnicodeArgs* args,
                                          const UChar* units, int32_t length, UChar32 code_point,
                                          UConverterCallbackReason reason, UErrorCode* err) {
      if (reason == UCNV_UNASSIGNED || reason == UCNV_ILLEGAL || reason == UCNV_IRREGULAR) {
        ++static_cast<State*>(const_cast<void*>(context))->replaced;
      }
      UCNV_FROM_U_CALLBACK_SUBSTITUTE(nullptr, args, units, length, code_point, reason, err);
    };
    UErrorCode err = U_ZERO_ERROR;
    ucnv_setSubstChars(state->conv.get(), "?", 1, &err);
    err = U_ZERO_ERROR;
    ucnv_setFromUCallBack(state->conv.get(), callback, state.get(), nullptr, nullptr, &err);
    if (U_FAILURE(err)) return Status::InvalidArgument("cannot set up text encoding");
  }
  return TextPieceConverter(std::move(state));
}

void TextPieceConverter::Reset() {
  ucnv_reset(state_->conv.get());
  state_->replaced = 0;
  state_->odd = false;
}

size_t TextPieceConverter::replaced() const { return state_->replaced; }

Status TextPieceConverter::Convert(ByteSpan piece, bool last, Bytes* out) {
  State& st = *state_;
  const UBool flush = last ? 1 : 0;
  UErrorCode err = U_ZERO_ERROR;
  if (st.to_utf16) {
    const char* src = reinterpret_cast<const char*>(piece.data());
    const char* const src_end = src + piece.size();
    UChar buffer[4096];
    do {
      UChar* target = buffer;
      err = U_ZERO_ERROR;
      ucnv_toUnicode(st.conv.get(), &target, buffer + 4096, &src, src_end, nullptr, flush, &err);
      for (const UChar* u = buffer; u < target; ++u) {
        out->push_back(static_cast<uint8_t>(*u));
        out->push_back(static_cast<uint8_t>(*u >> 8));
      }
    } while (err == U_BUFFER_OVERFLOW_ERROR);
    if (U_FAILURE(err)) return Status::Corruption(std::string("cannot decode text: ") + u_errorName(err));
    return Status::Ok();
  }
  // UTF-16LE bytes to units, keeping an odd byte for the next piece.
  std::u16string units;
  units.reserve(piece.size() / 2 + 1);
  size_t i = 0;
  if (st.odd && !piece.empty()) {
    units.push_back(static_cast<char16_t>(st.odd_byte | (piece[0] << 8)));
    st.odd = false;
    i = 1;
  }
  for (; i + 1 < piece.size(); i += 2) units.push_back(static_cast<char16_t>(piece[i] | (piece[i + 1] << 8)));
  if (i < piece.size()) {
    st.odd = true;
    st.odd_byte = piece[i];
  }
  if (last) st.odd = false;  // an odd trailing byte cannot be a character
  const UChar* src = reinterpret_cast<const UChar*>(units.data());
  const UChar* const src_end = src + units.size();
  char buffer[8192];
  do {
    char* target = buffer;
    err = U_ZERO_ERROR;
    ucnv_fromUnicode(st.conv.get(), &target, buffer + sizeof buffer, &src, src_end, nullptr, flush, &err);
    out->insert(out->end(), reinterpret_cast<uint8_t*>(buffer), reinterpret_cast<uint8_t*>(target));
  } while (err == U_BUFFER_OVERFLOW_ERROR);
  if (U_FAILURE(err)) return Status::InvalidArgument(std::string("cannot encode text: ") + u_errorName(err));
  return Status::Ok();
}

}  // namespace pst::messaging
