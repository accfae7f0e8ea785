// make_store: writes a realistic store of about a given size in either
// format, for scale tests and benchmarks: nested folders; messages with
// plain, HTML and RTF bodies in several languages and code pages;
// recipients; attachments from 1 KB to 20 MB; embedded messages; named
// properties. Attachment bytes are generated as they are written, so memory
// stays small whatever the size.
//
// usage: make_store --format ansi|unicode --size BYTES[K|M|G] [--seed N]
//                   [--max-attachment BYTES] OUT.pst
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "pst/base/coding.h"
#include "pst/io/file.h"
#include "pst/messaging/store_creator.h"
#include "pst/messaging/store_writer.h"
#include "pst/messaging/tags.h"
#include "pst/messaging/text.h"

namespace {

using pst::Bytes;
using pst::ltp::MakeTag;
using pst::messaging::PropertyInput;

uint64_t SplitMix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() { return state_ = SplitMix(state_); }
  uint64_t Below(uint64_t n) { return n ? Next() % n : 0; }

 private:
  uint64_t state_;
};

struct Text {
  const char* utf8;
  uint32_t codepage;  // the code page an ANSI store keeps it in
};

// Sentences in several scripts, each with the code page that holds it.
const Text kSubjects[] = {
    {"Quarterly report and budget review", 1252},
    {"Réunion de l'équipe : ordre du jour", 1252},
    {"Grüße aus München – Terminbestätigung", 1252},
    {"Отчёт о продажах за месяц", 1251},
    {"会議の議事録について", 932},
    {"Προσφορά για το νέο έργο", 1253},
    {"Re: Shipment delayed until Friday", 1252},
};

const char* kNames[] = {"Alice Martin", "Bob Nguyen", "Chloé Dubois", "Dmitri Ivanov", "Emi Tanaka",
                        "Frank Müller", "Grace O'Neil"};

Bytes Int32(uint32_t v) {
  Bytes b(4);
  pst::EncodeFixed32(b.data(), v);
  return b;
}

Bytes Int64(uint64_t v) {
  Bytes b(8);
  pst::EncodeFixed64(b.data(), v);
  return b;
}

class Generator {
 public:
  Generator(pst::messaging::StoreWriter& writer, bool unicode, uint64_t seed, uint64_t max_attachment)
      : writer_(writer), unicode_(unicode), random_(seed), max_attachment_(max_attachment) {}

  // A string property in the store's string type; in an ANSI store the text
  // is kept in its code page.
  PropertyInput String(uint16_t id, const std::string& utf8, uint32_t codepage = 1252) {
    if (unicode_) return PropertyInput::Value(MakeTag(id, pst::ltp::kPtypString), pst::messaging::Utf8ToUtf16Le(utf8));
    auto encoded = pst::messaging::EncodeCodepage(pst::messaging::Utf8ToUtf16Le(utf8), codepage);
    return PropertyInput::Value(MakeTag(id, pst::ltp::kPtypString8), encoded.ok() ? encoded->bytes : Bytes());
  }

  std::string Paragraphs(size_t bytes, const Text& text) {
    std::string out;
    while (out.size() < bytes) {
      out += text.utf8;
      out += ". ";
      out += std::to_string(random_.Next() % 100000);
      out += random_.Below(8) == 0 ? "\r\n\r\n" : " ";
    }
    return out;
  }

  pst::messaging::MessageInput Message(int depth) {
    pst::messaging::MessageInput m;
    const Text& subject = kSubjects[random_.Below(std::size(kSubjects))];
    const uint32_t cp = subject.codepage;
    const std::string sender = kNames[random_.Below(std::size(kNames))];
    const uint64_t time = 132000000000000000ull + random_.Below(30000000000000000ull);
    m.properties.push_back(String(pst::messaging::kPidMessageClass, "IPM.Note"));
    m.properties.push_back(String(pst::messaging::kPidSubject, subject.utf8, cp));
    m.properties.push_back(String(pst::messaging::kPidSenderName, sender, 1252));
    m.properties.push_back(PropertyInput::Value(MakeTag(pst::messaging::kPidMessageCodepage, pst::ltp::kPtypInteger32), Int32(cp)));
    m.properties.push_back(PropertyInput::Value(MakeTag(0x0E06, pst::ltp::kPtypTime), Int64(time)));
    m.properties.push_back(PropertyInput::Value(MakeTag(0x3007, pst::ltp::kPtypTime), Int64(time)));
    m.properties.push_back(PropertyInput::Value(MakeTag(0x3008, pst::ltp::kPtypTime), Int64(time + 600000000)));
    const std::string body = Paragraphs(2000 + random_.Below(48000), subject);
    m.properties.push_back(String(pst::messaging::kPidBody, body, cp));
    if (random_.Below(2)) {
      std::string html = "<html><body><p>" + Paragraphs(1000 + random_.Below(20000), subject) + "</p></body></html>";
      m.properties.push_back(PropertyInput::Value(MakeTag(pst::messaging::kPidHtml, pst::ltp::kPtypBinary),
                                                  Bytes(html.begin(), html.end())));
    }
    if (random_.Below(3) == 0) {
      // Uncompressed RTF in the compressed-RTF container ("MELA").
      std::string rtf = "{\\rtf1\\ansi\\deff0 {\\fonttbl{\\f0 Arial;}}\\f0 " + std::string(kNames[0]) + "\\par}";
      Bytes blob(16);
      pst::EncodeFixed32(blob.data(), static_cast<uint32_t>(rtf.size() + 12));
      pst::EncodeFixed32(blob.data() + 4, static_cast<uint32_t>(rtf.size()));
      pst::EncodeFixed32(blob.data() + 8, 0x414C454D);
      blob.insert(blob.end(), rtf.begin(), rtf.end());
      m.properties.push_back(PropertyInput::Value(MakeTag(pst::messaging::kPidRtfCompressed, pst::ltp::kPtypBinary), blob));
    }
    uint32_t flags = random_.Below(3) ? 0x1 : 0x0;  // most are read
    const size_t recipients = 1 + random_.Below(5);
    for (size_t i = 0; i < recipients; ++i) {
      const std::string name = kNames[random_.Below(std::size(kNames))];
      std::vector<pst::ltp::PropValue> row;
      row.push_back({MakeTag(pst::messaging::kPidRecipientType, pst::ltp::kPtypInteger32), Int32(i == 0 ? 1 : 2)});
      auto add = [&](uint16_t id, const std::string& v) {
        PropertyInput p = String(id, v);
        row.push_back({p.tag, p.data});
      };
      add(pst::messaging::kPidDisplayName, name);
      add(pst::messaging::kPidAddressType, "SMTP");
      add(pst::messaging::kPidEmailAddress, "user" + std::to_string(random_.Below(1000)) + "@example.com");
      m.recipients.push_back(std::move(row));
    }
    const size_t attachments = random_.Below(4) == 0 ? 1 + random_.Below(3) : 0;
    for (size_t i = 0; i < attachments; ++i) {
      pst::messaging::AttachmentInput a;
      const bool embed = depth < 2 && random_.Below(10) == 0;
      a.properties.push_back(PropertyInput::Value(MakeTag(pst::messaging::kPidAttachMethod, pst::ltp::kPtypInteger32),
                                                  Int32(embed ? 5 : 1)));
      a.properties.push_back(PropertyInput::Value(MakeTag(0x370B, pst::ltp::kPtypInteger32), Int32(0xFFFFFFFF)));
      if (embed) {
        a.properties.push_back(String(pst::messaging::kPidDisplayName, "Forwarded message"));
        a.embedded = std::make_unique<pst::messaging::MessageInput>(Message(depth + 1));
      } else {
        // Sizes spread over 1 KB ... max, most of them small.
        const uint64_t exponent = random_.Below(64);
        uint64_t size = 1024ull << (exponent / 4);
        if (size > max_attachment_) size = max_attachment_;
        size += random_.Below(size);
        if (size > max_attachment_) size = max_attachment_;
        const std::string file = "file" + std::to_string(random_.Below(10000)) + ".bin";
        a.properties.push_back(String(pst::messaging::kPidAttachFilename, file));
        a.properties.push_back(String(pst::messaging::kPidAttachLongFilename, file));
        a.properties.push_back(PropertyInput::Value(MakeTag(pst::messaging::kPidAttachSize, pst::ltp::kPtypInteger32),
                                                    Int32(static_cast<uint32_t>(size))));
        const uint64_t seed = random_.Next();
        a.properties.push_back(PropertyInput::Stream(
            MakeTag(pst::messaging::kPidAttachDataBinary, pst::ltp::kPtypBinary), size,
            [seed](uint64_t offset, std::span<uint8_t> out) -> pst::Status {
              for (size_t i = 0; i < out.size(); ++i) {
                const uint64_t pos = offset + i;
                out[i] = static_cast<uint8_t>(SplitMix(seed ^ (pos >> 3)) >> (8 * (pos & 7)));
              }
              return pst::Status::Ok();
            }));
        flags |= 0x10;  // has attachments
      }
      m.attachments.push_back(std::move(a));
    }
    m.properties.push_back(PropertyInput::Value(MakeTag(pst::messaging::kPidMessageFlags, pst::ltp::kPtypInteger32),
                                                Int32(flags)));
    return m;
  }

  pst::Status Run(uint64_t target_size, const std::string& path) {
    PST_ASSIGN_OR_RETURN(pst::ndb::Nid top, writer_.store().IpmSubtreeNid());
    std::vector<pst::ndb::Nid> folders;
    {
      PST_ASSIGN_OR_RETURN(auto update, writer_.Begin());
      const char* names[] = {"Inbox", "Sent Items", "Archive", "Projects", "Newsletters"};
      for (const char* name : names) {
        PST_ASSIGN_OR_RETURN(pst::ndb::Nid f, update->CreateFolder(top, {String(pst::messaging::kPidDisplayName, name)}));
        folders.push_back(f);
      }
      for (const char* year : {"2019", "2020", "2021"}) {
        PST_ASSIGN_OR_RETURN(pst::ndb::Nid f, update->CreateFolder(folders[2], {String(pst::messaging::kPidDisplayName, year)}));
        folders.push_back(f);
        PST_ASSIGN_OR_RETURN(pst::ndb::Nid g, update->CreateFolder(f, {String(pst::messaging::kPidDisplayName, "Клиенты")}));
        folders.push_back(g);
      }
      PST_RETURN_IF_ERROR(update->Commit());
    }
    pst::messaging::NamedProperty keywords;
    keywords.guid = pst::messaging::kPsPublicStrings;
    keywords.is_string = true;
    keywords.name_utf16 = pst::messaging::Utf8ToUtf16Le("Keywords");
    uint64_t messages = 0;
    while (std::filesystem::file_size(path) < target_size) {
      PST_ASSIGN_OR_RETURN(auto update, writer_.Begin());
      PST_ASSIGN_OR_RETURN(uint16_t keywords_id, update->NamedPropertyId(keywords));
      for (int i = 0; i < 25; ++i) {
        auto message = Message(0);
        if (random_.Below(4) == 0) {
          Bytes list(8);
          pst::EncodeFixed32(list.data(), 1);
          pst::EncodeFixed32(list.data() + 4, 8);
          PropertyInput tag = String(0, "Important");
          list.insert(list.end(), tag.data.begin(), tag.data.end());
          message.properties.push_back(PropertyInput::Value(
              MakeTag(keywords_id, unicode_ ? pst::ltp::kPtypMultipleString : pst::ltp::kPtypMultipleString8), list));
        }
        PST_RETURN_IF_ERROR(update->CreateMessage(folders[random_.Below(folders.size())], message, false).status());
        ++messages;
      }
      PST_RETURN_IF_ERROR(update->Commit());
    }
    std::fprintf(stderr, "%llu messages in %zu folders\n", static_cast<unsigned long long>(messages), folders.size());
    return pst::Status::Ok();
  }

 private:
  pst::messaging::StoreWriter& writer_;
  bool unicode_;
  Random random_;
  uint64_t max_attachment_;
};

uint64_t ParseSize(const char* s) {
  char* end = nullptr;
  double v = std::strtod(s, &end);
  switch (*end) {
    case 'K': case 'k': v *= 1024; break;
    case 'M': case 'm': v *= 1024 * 1024; break;
    case 'G': case 'g': v *= 1024.0 * 1024 * 1024; break;
    default: break;
  }
  return static_cast<uint64_t>(v);
}

}  // namespace

int main(int argc, char** argv) {
  std::string format = "unicode", out;
  uint64_t size = 10 << 20, seed = 1, max_attachment = 20 << 20;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--format" && i + 1 < argc) format = argv[++i];
    else if (a == "--size" && i + 1 < argc) size = ParseSize(argv[++i]);
    else if (a == "--seed" && i + 1 < argc) seed = std::strtoull(argv[++i], nullptr, 10);
    else if (a == "--max-attachment" && i + 1 < argc) max_attachment = ParseSize(argv[++i]);
    else out = a;
  }
  if (out.empty() || (format != "ansi" && format != "unicode")) {
    std::fprintf(stderr, "usage: make_store --format ansi|unicode --size BYTES[K|M|G] [--seed N] "
                         "[--max-attachment BYTES] OUT.pst\n");
    return 2;
  }
  pst::messaging::StoreOptions options;
  options.format = format == "ansi" ? pst::ndb::Format::kAnsi : pst::ndb::Format::kUnicode;
  options.display_name = "Generated store";
  pst::Status s = pst::messaging::CreateStore(out, options);
  if (!s.ok()) {
    std::fprintf(stderr, "make_store: %s\n", s.ToString().c_str());
    return 1;
  }
  auto file = pst::io::OpenReadWrite(out);
  pst::ndb::WriteOptions write_options;
  if (options.format == pst::ndb::Format::kAnsi) write_options.max_file_size = 2075149312;
  auto writer = file.ok() ? pst::messaging::StoreWriter::Open(std::shared_ptr<pst::io::WritableFile>(std::move(file).value()), write_options)
                          : pst::Result<std::unique_ptr<pst::messaging::StoreWriter>>(file.status());
  if (!writer.ok()) {
    std::fprintf(stderr, "make_store: %s\n", writer.status().ToString().c_str());
    return 1;
  }
  Generator generator(**writer, options.format != pst::ndb::Format::kAnsi, seed, max_attachment);
  s = generator.Run(size, out);
  if (!s.ok()) {
    std::fprintf(stderr, "make_store: %s\n", s.ToString().c_str());
    return 1;
  }
  return 0;
}
