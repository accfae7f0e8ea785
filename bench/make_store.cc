// make_store: writes a realistic store of about a given size in either
// format, for scale tests and benchmarks:
//   - a nested folder tree (mail, calendar, contacts and tasks folders, an
//     archive four levels deep, names in several scripts);
//   - mail in ten languages, each kept in its Windows code page in an ANSI
//     store (1250 ... 1254, 932, 936, 949): plain bodies, HTML bodies in the
//     message's charset, RTF bodies (\ansicpg, \'xx escapes), transport
//     headers, senders and recipients;
//   - appointments, contacts and tasks;
//   - attachments from 1 KB to --max-attachment (20 MB), most of them small
//     with a long tail; the run always holds one of exactly 1 KB and one of
//     exactly the maximum; embedded messages two levels deep;
//   - named properties: numeric ones from the common, appointment, contact
//     and task property sets, string-named ones from the public-strings and
//     Internet-headers sets and from an add-in's own GUID, in several types.
// Attachment bytes are generated as they are written, so memory stays small
// whatever the size. Deterministic for a given --seed.
//
// Extras for the memory and scale benchmarks, added after the mail above:
//   --big-body CHARS       one message in Inbox whose plain body is CHARS
//                          characters long (Western text with accents,
//                          streamed as it is written);
//   --bulk-messages N      a folder "Bulk" of N small messages;
//   --folders N            N empty folders under "Many folders", created in
//                          one update (its time is printed).
//
// usage: make_store --format ansi|unicode --size BYTES[K|M|G] [--seed N]
//                   [--max-attachment BYTES] [--big-body CHARS]
//                   [--bulk-messages N] [--folders N] OUT.pst
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_args.h"
#include "pst/base/coding.h"
#include "pst/io/file.h"
#include "pst/messaging/store_creator.h"
#include "pst/messaging/store_writer.h"
#include "pst/messaging/tags.h"
#include "pst/messaging/text.h"

namespace {

using pst::Bytes;
using pst::ltp::MakeTag;
using pst::messaging::Guid;
using pst::messaging::MessageInput;
using pst::messaging::PropertyInput;
namespace ltp = pst::ltp;


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
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
  bool Chance(double p) { return Unit() < p; }
  // Log-uniform in [lo, hi): as many files of 1-2 KB as of 1-2 MB per octave.
  uint64_t LogUniform(uint64_t lo, uint64_t hi) {
    return static_cast<uint64_t>(static_cast<double>(lo) * std::pow(static_cast<double>(hi) / lo, Unit()));
  }

 private:
  uint64_t state_;
};

// Text in one language, and the code page, HTML charset and RTF \fcharset
// that hold it. Every string here must fit its code page (checked when used).
struct Language {
  uint32_t codepage;
  const char* charset;
  int rtf_charset;
  int weight;  // share of the mail in this language
  const char* subjects[3];
  const char* sentences[3];
  const char* names[3];
  const char* file_stem;
};

const Language kLanguages[] = {
    {1252, "windows-1252", 0, 30,
     {"Quarterly report and budget review", "Re: Shipment delayed until Friday", "Minutes of Tuesday's meeting"},
     {"Please find the figures for the third quarter attached", "The shipment left the warehouse this morning",
      "Let me know if the new schedule works for you"},
     {"Alice Martin", "Bob Nguyen", "Grace O'Neil"}, "Report"},
    {1252, "windows-1252", 0, 12,
     {"Réunion de l'équipe : ordre du jour", "Devis révisé pour le chantier", "Félicitations à toute l'équipe !"},
     {"Voici le compte rendu de la réunion de jeudi", "Le devis révisé tient compte des remarques de François",
      "Nous prévoyons une livraison à la fin du mois"},
     {"Chloé Dubois", "François Lefèvre", "Hélène Girard"}, "Compte rendu"},
    {1252, "windows-1252", 0, 12,
     {"Grüße aus München – Terminbestätigung", "Änderung der Öffnungszeiten", "Rechnung für Bestellung Nr. 4711"},
     {"Vielen Dank für Ihre schnelle Rückmeldung", "Die Lieferung erfolgt voraussichtlich nächste Woche",
      "Bitte prüfen Sie die beigefügten Unterlagen"},
     {"Frank Müller", "Jürgen Weiß", "Sabine Groß"}, "Übersicht"},
    {1250, "windows-1250", 238, 6,
     {"Spotkanie zespołu w środę", "Faktura za usługi – październik", "Prośba o zatwierdzenie wniosku"},
     {"Dziękuję za szybką odpowiedź", "Przesyłam poprawioną wersję dokumentu",
      "Proszę o potwierdzenie terminu spotkania"},
     {"Łukasz Wójcik", "Zofia Kowalczyk", "Paweł Żak"}, "Sprawozdanie"},
    {1251, "windows-1251", 204, 10,
     {"Отчёт о продажах за месяц", "Согласование договора поставки", "Приглашение на совещание"},
     {"Высылаю обновлённую версию отчёта", "Прошу подтвердить получение письма",
      "Встреча перенесена на следующую неделю"},
     {"Дмитрий Иванов", "Ольга Смирнова", "Сергей Павлов"}, "Отчёт"},
    {1253, "windows-1253", 161, 4,
     {"Προσφορά για το νέο έργο", "Πρόγραμμα συναντήσεων", "Ευχαριστούμε για την παραγγελία"},
     {"Σας στέλνω την ενημερωμένη προσφορά", "Η συνάντηση θα γίνει την Πέμπτη", "Παρακαλώ επιβεβαιώστε την παραλαβή"},
     {"Νίκος Παπαδόπουλος", "Μαρία Γεωργίου", "Ελένη Δημητρίου"}, "Προσφορά"},
    {1254, "windows-1254", 162, 4,
     {"Toplantı notları ve görev dağılımı", "Sipariş onayı – Şubat", "Yıllık değerlendirme görüşmesi"},
     {"Ekteki belgeleri inceleyebilir misiniz", "Teslimat önümüzdeki hafta yapılacak", "Görüşmek üzere, iyi çalışmalar"},
     {"Ayşe Yılmaz", "Mehmet Öztürk", "Gülşen Çelik"}, "Rapor"},
    {932, "shift_jis", 128, 8,
     {"会議の議事録について", "見積書送付のお知らせ", "来週の出張予定"},
     {"添付の資料をご確認ください", "よろしくお願いいたします", "納期について改めてご連絡します"},
     {"田中 恵美", "佐藤 健", "鈴木 花子"}, "議事録"},
    {936, "gb2312", 134, 6,
     {"关于下周会议的安排", "季度销售报告", "合同草案请审阅"},
     {"请查收附件中的报告", "会议改到星期四下午三点", "如有问题请随时联系我"},
     {"王伟", "李娜", "张敏"}, "报告"},
    {949, "ks_c_5601-1987", 129, 4,
     {"주간 업무 보고", "회의 일정 변경 안내", "견적서 송부"},
     {"첨부 파일을 확인해 주세요", "회의는 목요일 오후로 변경되었습니다", "감사합니다"},
     {"김민준", "이서연", "박지훈"}, "보고서"},
};

struct FileKind {
  const char* extension;
  const char* mime;
};
const FileKind kFileKinds[] = {{".pdf", "application/pdf"},
                               {".docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
                               {".xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
                               {".jpg", "image/jpeg"},
                               {".png", "image/png"},
                               {".zip", "application/zip"},
                               {".txt", "text/plain"}};

constexpr Guid MakeGuid(uint32_t d1, uint16_t d2, uint16_t d3, uint64_t d4) {
  return {static_cast<uint8_t>(d1), static_cast<uint8_t>(d1 >> 8), static_cast<uint8_t>(d1 >> 16),
          static_cast<uint8_t>(d1 >> 24), static_cast<uint8_t>(d2), static_cast<uint8_t>(d2 >> 8),
          static_cast<uint8_t>(d3), static_cast<uint8_t>(d3 >> 8), static_cast<uint8_t>(d4 >> 56),
          static_cast<uint8_t>(d4 >> 48), static_cast<uint8_t>(d4 >> 40), static_cast<uint8_t>(d4 >> 32),
          static_cast<uint8_t>(d4 >> 24), static_cast<uint8_t>(d4 >> 16), static_cast<uint8_t>(d4 >> 8),
          static_cast<uint8_t>(d4)};
}
constexpr uint64_t kMapiTail = 0xC000000000000046ull;
const Guid kPsetidAppointment = MakeGuid(0x00062002, 0, 0, kMapiTail);
const Guid kPsetidTask = MakeGuid(0x00062003, 0, 0, kMapiTail);
const Guid kPsetidAddress = MakeGuid(0x00062004, 0, 0, kMapiTail);
const Guid kPsetidCommon = MakeGuid(0x00062008, 0, 0, kMapiTail);
const Guid kPsInternetHeaders = MakeGuid(0x00020386, 0, 0, kMapiTail);
const Guid kAddInGuid = MakeGuid(0x4F2E8A17, 0x9C3B, 0x4D51, 0xA6E27B1C0D9E5F42ull);  // an add-in's own set

// The named properties the generator sets, in one table so each update can
// resolve them all at once.
enum Named {
  kKeywords, kXMailer, kProjectCode, kScore, kReminderSet, kReminderDelta, kFlagRequest, kLocation, kStart, kEnd,
  kBusyStatus, kAllDay, kEmail1Name, kEmail1Type, kEmail1Address, kFileUnder, kTaskStatus, kPercentComplete,
  kTaskDueDate, kTaskComplete, kNamedCount
};

std::vector<pst::messaging::NamedProperty> NamedDefinitions() {
  auto lid = [](const Guid& guid, uint32_t id) {
    pst::messaging::NamedProperty p;
    p.guid = guid;
    p.lid = id;
    return p;
  };
  auto name = [](const Guid& guid, const char* s) {
    pst::messaging::NamedProperty p;
    p.guid = guid;
    p.is_string = true;
    p.name_utf16 = pst::messaging::Utf8ToUtf16Le(s);
    return p;
  };
  return {name(pst::messaging::kPsPublicStrings, "Keywords"), name(kPsInternetHeaders, "x-mailer"),
          name(kAddInGuid, "ProjectCode"), name(kAddInGuid, "Score"),
          lid(kPsetidCommon, 0x8503), lid(kPsetidCommon, 0x8501), lid(kPsetidCommon, 0x8530),
          lid(kPsetidAppointment, 0x8208), lid(kPsetidAppointment, 0x820D), lid(kPsetidAppointment, 0x820E),
          lid(kPsetidAppointment, 0x8205), lid(kPsetidAppointment, 0x8215),
          lid(kPsetidAddress, 0x8080), lid(kPsetidAddress, 0x8082), lid(kPsetidAddress, 0x8083),
          lid(kPsetidAddress, 0x8005),
          lid(kPsetidTask, 0x8101), lid(kPsetidTask, 0x8102), lid(kPsetidTask, 0x8105), lid(kPsetidTask, 0x811C)};
}

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
Bytes Double(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, 8);
  return Int64(bits);
}
Bytes Bool(bool v) { return Bytes{static_cast<uint8_t>(v ? 1 : 0)}; }

enum class Kind { kNote, kAppointment, kContact, kTask };

struct Stats {
  uint64_t messages[4] = {};
  uint64_t attachments = 0, embedded = 0, files = 0, attachment_bytes = 0;
  uint64_t smallest = UINT64_MAX, largest = 0;
};

class Generator {
 public:
  Generator(pst::messaging::StoreWriter& writer, bool unicode, uint64_t seed, uint64_t max_attachment)
      : writer_(writer), unicode_(unicode), random_(seed), max_attachment_(max_attachment) {}

  pst::Status Run(uint64_t target_size, const std::string& path);
  pst::Status AddBigBody(uint64_t chars);
  pst::Status AddBulkFolder(uint64_t messages);
  pst::Status AddManyFolders(uint64_t count);

 private:
  struct FolderPlan {
    int parent;  // index into the list, -1 for the top of the tree
    const char* name;
    Kind kind;
  };

  // 8-bit text in a code page; a character the code page lacks is a fault
  // in the tables above, not something to paper over.
  Bytes Encode(const std::string& utf8, uint32_t codepage) {
    auto encoded = pst::messaging::EncodeCodepage(pst::messaging::Utf8ToUtf16Le(utf8), codepage);
    if (!encoded.ok() || encoded->replaced != 0) {
      std::fprintf(stderr, "make_store: \"%.60s\" does not fit code page %u\n", utf8.c_str(), codepage);
      std::exit(1);
    }
    return std::move(encoded->bytes);
  }
  // A string in the store's string type; in an ANSI store, in `codepage`.
  Bytes StringBytes(const std::string& utf8, uint32_t codepage) {
    return unicode_ ? pst::messaging::Utf8ToUtf16Le(utf8) : Encode(utf8, codepage);
  }
  uint16_t StringType() const { return unicode_ ? ltp::kPtypString : ltp::kPtypString8; }
  PropertyInput String(uint16_t id, const std::string& utf8, uint32_t codepage = 1252) {
    return PropertyInput::Value(MakeTag(id, StringType()), StringBytes(utf8, codepage));
  }
  PropertyInput Value(uint16_t id, uint16_t type, Bytes data) {
    return PropertyInput::Value(MakeTag(id, type), std::move(data));
  }
  uint16_t Id(Named n) const { return named_ids_[n]; }

  const Language& PickLanguage() {
    int total = 0;
    for (const auto& l : kLanguages) total += l.weight;
    int pick = static_cast<int>(random_.Below(total));
    for (const auto& l : kLanguages) {
      if ((pick -= l.weight) < 0) return l;
    }
    return kLanguages[0];
  }
  const char* Pick(const char* const (&list)[3]) { return list[random_.Below(3)]; }
  uint64_t Time() { return 131900000000000000ull + random_.Below(1600000000000000ull); }  // 2018-2023

  std::string Paragraphs(size_t bytes, const Language& lang);
  static std::string Rtf(const Bytes& encoded, const Language& lang);
  void AddBodies(MessageInput& m, const Language& lang, size_t body_bytes, bool html, bool rtf);
  void AddRecipients(MessageInput& m, const Language& lang, size_t count);
  void AddAttachments(MessageInput& m, const Language& lang, int depth);
  uint64_t AttachmentSize();
  MessageInput Note(const Language& lang, int depth, bool received);
  MessageInput Appointment(const Language& lang);
  MessageInput Contact(const Language& lang);
  MessageInput Task(const Language& lang);
  pst::Status MakeFolders(std::vector<std::pair<pst::ndb::Nid, Kind>>* folders);
  pst::Result<pst::ndb::Nid> TopFolder(pst::messaging::StoreUpdate& update, const char* name);

  pst::messaging::StoreWriter& writer_;
  bool unicode_;
  Random random_;
  uint64_t max_attachment_;
  uint16_t named_ids_[kNamedCount] = {};
  Stats stats_;
};

std::string Generator::Paragraphs(size_t bytes, const Language& lang) {
  std::string out;
  while (out.size() < bytes) {
    out += Pick(lang.sentences);
    out += ' ';
    out += std::to_string(random_.Below(100000));
    out += random_.Below(6) == 0 ? ".\r\n\r\n" : ". ";
  }
  return out;
}

// An RTF body as Outlook writes one: the text in the code page, bytes above
// 0x7F as \'xx, in the compressed-RTF container's uncompressed form ("MELA").
std::string Generator::Rtf(const Bytes& encoded, const Language& lang) {
  std::string rtf = "{\\rtf1\\ansi\\ansicpg" + std::to_string(lang.codepage) +
                    "\\deff0{\\fonttbl{\\f0\\fswiss\\fcharset" + std::to_string(lang.rtf_charset) +
                    " Arial;}}\\viewkind4\\uc1\\pard\\f0\\fs20 ";
  static const char kHex[] = "0123456789abcdef";
  for (uint8_t c : encoded) {
    if (c == '\n') {
      rtf += "\\par\r\n";
    } else if (c == '\r') {
      continue;
    } else if (c == '\\' || c == '{' || c == '}') {
      rtf += '\\';
      rtf += static_cast<char>(c);
    } else if (c >= 0x80) {
      rtf += "\\'";
      rtf += kHex[c >> 4];
      rtf += kHex[c & 15];
    } else {
      rtf += static_cast<char>(c);
    }
  }
  rtf += "\\par\r\n}";
  return rtf;
}

void Generator::AddBodies(MessageInput& m, const Language& lang, size_t body_bytes, bool html, bool rtf) {
  const std::string body = Paragraphs(body_bytes, lang);
  m.properties.push_back(String(pst::messaging::kPidBody, body, lang.codepage));
  if (html) {
    std::string h = std::string("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=") +
                    lang.charset + "\"></head><body><p>";
    for (char c : body) h += c == '\n' ? std::string("</p>\r\n<p>") : std::string(1, c);
    h += "</p></body></html>";
    m.properties.push_back(Value(pst::messaging::kPidHtml, ltp::kPtypBinary, Encode(h, lang.codepage)));
    m.properties.push_back(Value(pst::messaging::kPidInternetCodepage, ltp::kPtypInteger32, Int32(lang.codepage)));
  }
  if (rtf) {
    size_t cut = std::min<size_t>(body.size(), 8000);
    while (cut < body.size() && (static_cast<uint8_t>(body[cut]) & 0xC0) == 0x80) --cut;  // whole characters
    const std::string text = Rtf(Encode(body.substr(0, cut), lang.codepage), lang);
    Bytes blob(16);
    pst::EncodeFixed32(blob.data(), static_cast<uint32_t>(text.size() + 12));
    pst::EncodeFixed32(blob.data() + 4, static_cast<uint32_t>(text.size()));
    pst::EncodeFixed32(blob.data() + 8, 0x414C454D);  // "MELA": stored uncompressed, CRC 0
    blob.insert(blob.end(), text.begin(), text.end());
    m.properties.push_back(Value(pst::messaging::kPidRtfCompressed, ltp::kPtypBinary, std::move(blob)));
    m.properties.push_back(Value(0x0E1F, ltp::kPtypBoolean, Bool(!html)));  // PidTagRtfInSync
  }
}

void Generator::AddRecipients(MessageInput& m, const Language& lang, size_t count) {
  std::string display_to;
  for (size_t i = 0; i < count; ++i) {
    const std::string name = random_.Below(3) ? Pick(lang.names) : Pick(kLanguages[0].names);
    const std::string address = "user" + std::to_string(random_.Below(5000)) + "@example.com";
    const uint32_t type = i == 0 ? 1 : (random_.Below(4) ? 1 : 2);  // To, else Cc
    if (type == 1) display_to += (display_to.empty() ? "" : "; ") + name;
    auto cell = [&](uint16_t id, const std::string& v) {
      return ltp::PropValue{MakeTag(id, StringType()), StringBytes(v, lang.codepage)};
    };
    m.recipients.push_back({{MakeTag(pst::messaging::kPidRecipientType, ltp::kPtypInteger32), Int32(type)},
                            cell(pst::messaging::kPidDisplayName, name), cell(pst::messaging::kPidAddressType, "SMTP"),
                            cell(pst::messaging::kPidEmailAddress, address), cell(0x39FE, address),  // SMTP address
                            {MakeTag(0x0FFE, ltp::kPtypInteger32), Int32(6)},                     // object type: user
                            {MakeTag(0x3900, ltp::kPtypInteger32), Int32(0)}});                   // display type
  }
  m.properties.push_back(String(0x0E04, display_to, lang.codepage));  // PidTagDisplayTo
}

// Most attachments are small, some are large: 60% 1-64 KB, 30% 64 KB-1 MB,
// 9% 1-5 MB, 1% 5 MB up to the maximum. The first two of a run are exactly
// 1 KB and exactly the maximum, so every store spans the whole range.
uint64_t Generator::AttachmentSize() {
  const uint64_t n = stats_.files++;
  if (n == 0) return std::min<uint64_t>(1024, max_attachment_);
  if (n == 1) return max_attachment_;
  const double u = random_.Unit();
  uint64_t size = u < 0.60   ? random_.LogUniform(1 << 10, 64 << 10)
                  : u < 0.90 ? random_.LogUniform(64 << 10, 1 << 20)
                  : u < 0.99 ? random_.LogUniform(1 << 20, 5 << 20)
                             : random_.LogUniform(5 << 20, max_attachment_ + 1);
  return std::clamp<uint64_t>(size, 1024, max_attachment_);
}

void Generator::AddAttachments(MessageInput& m, const Language& lang, int depth) {
  const size_t count = random_.Below(4) == 0 ? 1 + random_.Below(3) : 0;  // a quarter of the mail
  for (size_t i = 0; i < count; ++i) {
    pst::messaging::AttachmentInput a;
    const bool embed = depth < 2 && random_.Below(10) == 0;
    a.properties.push_back(Value(pst::messaging::kPidAttachMethod, ltp::kPtypInteger32, Int32(embed ? 5 : 1)));
    a.properties.push_back(Value(0x370B, ltp::kPtypInteger32, Int32(0xFFFFFFFF)));  // rendering position
    ++stats_.attachments;
    if (embed) {
      ++stats_.embedded;
      a.properties.push_back(String(pst::messaging::kPidDisplayName, Pick(lang.subjects), lang.codepage));
      a.embedded = std::make_unique<MessageInput>(Note(lang, depth + 1, true));
      m.attachments.push_back(std::move(a));
      continue;
    }
    const uint64_t size = AttachmentSize();
    stats_.attachment_bytes += size;
    stats_.smallest = std::min(stats_.smallest, size);
    stats_.largest = std::max(stats_.largest, size);
    const FileKind& kind = kFileKinds[random_.Below(std::size(kFileKinds))];
    const std::string number = std::to_string(random_.Below(1000));
    const std::string long_name = (random_.Below(2) ? lang.file_stem : "Attachment") + (" " + number) + kind.extension;
    std::string short_name = "ATT" + number + kind.extension;
    if (short_name.size() > 12) short_name.resize(12);
    a.properties.push_back(String(pst::messaging::kPidAttachFilename, short_name, lang.codepage));
    a.properties.push_back(String(pst::messaging::kPidAttachLongFilename, long_name, lang.codepage));
    a.properties.push_back(String(0x3703, kind.extension, lang.codepage));  // PidTagAttachExtension
    a.properties.push_back(String(0x370E, kind.mime, lang.codepage));       // PidTagAttachMimeTag
    a.properties.push_back(Value(pst::messaging::kPidAttachSize, ltp::kPtypInteger32,
                                 Int32(static_cast<uint32_t>(size + 400))));
    const uint64_t seed = random_.Next();
    a.properties.push_back(PropertyInput::Stream(
        MakeTag(pst::messaging::kPidAttachDataBinary, ltp::kPtypBinary), size,
        [seed](uint64_t offset, std::span<uint8_t> out) -> pst::Status {
          // Incompressible bytes, a pure function of the offset.
          uint64_t word_index = ~0ull, word = 0;
          for (size_t i = 0; i < out.size(); ++i) {
            const uint64_t pos = offset + i;
            if ((pos >> 3) != word_index) word = SplitMix(seed ^ (word_index = pos >> 3));
            out[i] = static_cast<uint8_t>(word >> (8 * (pos & 7)));
          }
          return pst::Status::Ok();
        }));
    m.attachments.push_back(std::move(a));
  }
}

MessageInput Generator::Note(const Language& lang, int depth, bool received) {
  MessageInput m;
  const uint32_t cp = lang.codepage;
  const std::string sender = Pick(lang.names);
  const uint64_t time = Time();
  m.properties.push_back(String(pst::messaging::kPidMessageClass, "IPM.Note"));
  m.properties.push_back(String(pst::messaging::kPidSubject, Pick(lang.subjects), cp));
  m.properties.push_back(String(pst::messaging::kPidSenderName, sender, cp));
  m.properties.push_back(String(0x0042, sender, cp));  // PidTagSentRepresentingName
  m.properties.push_back(String(0x0C1E, "SMTP"));      // PidTagSenderAddressType
  m.properties.push_back(String(0x0C1F, "sender" + std::to_string(random_.Below(500)) + "@example.org"));
  m.properties.push_back(Value(pst::messaging::kPidMessageCodepage, ltp::kPtypInteger32, Int32(cp)));
  m.properties.push_back(Value(0x0017, ltp::kPtypInteger32, Int32(random_.Below(10) == 0 ? 2 : 1)));  // importance
  m.properties.push_back(Value(0x0039, ltp::kPtypTime, Int64(time - 30000000)));  // PidTagClientSubmitTime
  m.properties.push_back(Value(0x0E06, ltp::kPtypTime, Int64(time)));             // PidTagMessageDeliveryTime
  m.properties.push_back(Value(0x3007, ltp::kPtypTime, Int64(time)));
  m.properties.push_back(Value(0x3008, ltp::kPtypTime, Int64(time + 600000000)));
  const std::string message_id = "<" + std::to_string(random_.Next()) + "@mail.example.org>";
  m.properties.push_back(String(0x1035, message_id));  // PidTagInternetMessageId
  if (received && random_.Below(2)) {
    const std::string headers = "Received: from mx" + std::to_string(random_.Below(9)) +
                                ".example.org by mail.example.com; Tue, 7 Mar 2023 09:12:44 +0100\r\n"
                                "Message-ID: " + message_id + "\r\nMIME-Version: 1.0\r\n"
                                "Content-Type: text/plain; charset=" + lang.charset + "\r\n";
    m.properties.push_back(String(0x007D, headers));  // PidTagTransportMessageHeaders
  }
  AddBodies(m, lang, random_.LogUniform(500, 40000), random_.Below(10) < 6, random_.Below(10) < 3);
  AddRecipients(m, lang, 1 + random_.Below(5));
  AddAttachments(m, lang, depth);
  if (depth == 0) {  // named properties, on top-level messages
    if (random_.Below(4) == 0) {
      const Bytes word = StringBytes(Pick(lang.subjects), cp);
      const Bytes red = StringBytes("Important", cp);
      Bytes list(12);
      pst::EncodeFixed32(list.data(), 2);
      pst::EncodeFixed32(list.data() + 4, 12);
      pst::EncodeFixed32(list.data() + 8, static_cast<uint32_t>(12 + red.size()));
      list.insert(list.end(), red.begin(), red.end());
      list.insert(list.end(), word.begin(), word.end());
      m.properties.push_back(
          Value(Id(kKeywords), unicode_ ? ltp::kPtypMultipleString : ltp::kPtypMultipleString8, std::move(list)));
    }
    if (received && random_.Below(3) == 0) {
      m.properties.push_back(String(Id(kXMailer), random_.Below(2) ? "Microsoft Outlook 16.0" : "Thunderbird 115.3"));
    }
    if (random_.Below(10) == 0) {
      m.properties.push_back(String(Id(kProjectCode), "PRJ-" + std::to_string(random_.Below(900) + 100)));
      m.properties.push_back(Value(Id(kScore), ltp::kPtypInteger32, Int32(static_cast<uint32_t>(random_.Below(100)))));
    }
    if (random_.Below(10) == 0) {  // flagged for follow-up
      m.properties.push_back(Value(Id(kReminderSet), ltp::kPtypBoolean, Bool(true)));
      m.properties.push_back(Value(Id(kReminderDelta), ltp::kPtypInteger32, Int32(15)));
      m.properties.push_back(String(Id(kFlagRequest), "Follow up"));
    }
  }
  uint32_t flags = (random_.Below(3) ? 0x1 : 0x0) | (m.attachments.empty() ? 0 : 0x10);  // read, has attachments
  if (!received) flags = 0x1;
  m.properties.push_back(Value(pst::messaging::kPidMessageFlags, ltp::kPtypInteger32, Int32(flags)));
  return m;
}

MessageInput Generator::Appointment(const Language& lang) {
  MessageInput m;
  const uint64_t start = Time() / 36000000000ull * 36000000000ull;  // on the hour
  const bool all_day = random_.Below(8) == 0;
  const uint64_t end = start + (all_day ? 864000000000ull : 18000000000ull * (1 + random_.Below(4)));
  m.properties.push_back(String(pst::messaging::kPidMessageClass, "IPM.Appointment"));
  m.properties.push_back(String(pst::messaging::kPidSubject, Pick(lang.subjects), lang.codepage));
  m.properties.push_back(Value(pst::messaging::kPidMessageCodepage, ltp::kPtypInteger32, Int32(lang.codepage)));
  m.properties.push_back(Value(pst::messaging::kPidMessageFlags, ltp::kPtypInteger32, Int32(1)));
  m.properties.push_back(Value(0x3007, ltp::kPtypTime, Int64(start - 864000000000ull)));
  m.properties.push_back(String(Id(kLocation), "Room " + std::to_string(100 + random_.Below(400)), lang.codepage));
  m.properties.push_back(Value(Id(kStart), ltp::kPtypTime, Int64(start)));
  m.properties.push_back(Value(Id(kEnd), ltp::kPtypTime, Int64(end)));
  m.properties.push_back(Value(Id(kBusyStatus), ltp::kPtypInteger32, Int32(all_day ? 0 : 2)));
  m.properties.push_back(Value(Id(kAllDay), ltp::kPtypBoolean, Bool(all_day)));
  m.properties.push_back(Value(Id(kReminderSet), ltp::kPtypBoolean, Bool(!all_day)));
  m.properties.push_back(Value(Id(kReminderDelta), ltp::kPtypInteger32, Int32(15)));
  AddBodies(m, lang, random_.LogUniform(100, 4000), false, random_.Below(2));
  if (random_.Below(2)) AddRecipients(m, lang, 1 + random_.Below(6));
  if (random_.Below(10) == 0) AddAttachments(m, lang, 0);
  return m;
}

MessageInput Generator::Contact(const Language& lang) {
  MessageInput m;
  const std::string name = Pick(lang.names);
  const size_t space = name.find(' ');
  const std::string given = space == std::string::npos ? name : name.substr(0, space);
  const std::string surname = space == std::string::npos ? "" : name.substr(space + 1);
  const std::string address = "contact" + std::to_string(random_.Below(10000)) + "@example.net";
  m.properties.push_back(String(pst::messaging::kPidMessageClass, "IPM.Contact"));
  m.properties.push_back(String(pst::messaging::kPidSubject, name, lang.codepage));
  m.properties.push_back(String(pst::messaging::kPidDisplayName, name, lang.codepage));
  m.properties.push_back(String(0x3A06, given, lang.codepage));    // PidTagGivenName
  m.properties.push_back(String(0x3A11, surname, lang.codepage));  // PidTagSurname
  m.properties.push_back(String(0x3A16, "Example Ltd", lang.codepage));
  m.properties.push_back(Value(pst::messaging::kPidMessageCodepage, ltp::kPtypInteger32, Int32(lang.codepage)));
  m.properties.push_back(Value(pst::messaging::kPidMessageFlags, ltp::kPtypInteger32, Int32(1)));
  m.properties.push_back(String(Id(kEmail1Name), name + " (" + address + ")", lang.codepage));
  m.properties.push_back(String(Id(kEmail1Type), "SMTP"));
  m.properties.push_back(String(Id(kEmail1Address), address));
  m.properties.push_back(String(Id(kFileUnder), surname.empty() ? name : surname + ", " + given, lang.codepage));
  if (random_.Below(3) == 0) AddBodies(m, lang, random_.LogUniform(50, 1000), false, false);
  return m;
}

MessageInput Generator::Task(const Language& lang) {
  MessageInput m;
  const uint32_t status = static_cast<uint32_t>(random_.Below(3));
  const double percent = status == 0 ? 0.0 : status == 2 ? 1.0 : 0.25 * (1 + random_.Below(3));
  m.properties.push_back(String(pst::messaging::kPidMessageClass, "IPM.Task"));
  m.properties.push_back(String(pst::messaging::kPidSubject, Pick(lang.subjects), lang.codepage));
  m.properties.push_back(Value(pst::messaging::kPidMessageCodepage, ltp::kPtypInteger32, Int32(lang.codepage)));
  m.properties.push_back(Value(pst::messaging::kPidMessageFlags, ltp::kPtypInteger32, Int32(1)));
  m.properties.push_back(Value(Id(kTaskStatus), ltp::kPtypInteger32, Int32(status)));
  m.properties.push_back(Value(Id(kPercentComplete), ltp::kPtypFloating64, Double(percent)));
  m.properties.push_back(Value(Id(kTaskDueDate), ltp::kPtypTime, Int64(Time())));
  m.properties.push_back(Value(Id(kTaskComplete), ltp::kPtypBoolean, Bool(status == 2)));
  AddBodies(m, lang, random_.LogUniform(100, 3000), false, false);
  return m;
}

pst::Status Generator::MakeFolders(std::vector<std::pair<pst::ndb::Nid, Kind>>* folders) {
  // Folder names carry no code page: an ANSI store keeps them in the one its
  // reader assumes, so its names stay within Western European (1252).
  std::vector<FolderPlan> plans = {
      {-1, "Inbox", Kind::kNote},      {-1, "Sent Items", Kind::kNote},  {-1, "Calendar", Kind::kAppointment},
      {-1, "Contacts", Kind::kContact}, {-1, "Tasks", Kind::kTask},      {-1, "Newsletters", Kind::kNote},
      {-1, "Archive", Kind::kNote},     {-1, "Projects", Kind::kNote},   {-1, "Customers", Kind::kNote}};
  const int archive = 6, projects = 7, customers = 8;
  static const char* kYears[] = {"2019", "2020", "2021", "2022", "2023"};
  static const char* kQuarters[] = {"Q1", "Q2", "Q3", "Q4"};
  for (const char* year : kYears) {
    plans.push_back({archive, year, Kind::kNote});
    const int y = static_cast<int>(plans.size()) - 1;
    for (const char* quarter : kQuarters) plans.push_back({y, quarter, Kind::kNote});
  }
  plans.push_back({projects, "Alpha", Kind::kNote});
  plans.push_back({static_cast<int>(plans.size()) - 1, "Design", Kind::kNote});
  plans.push_back({static_cast<int>(plans.size()) - 1, "Reviews", Kind::kNote});
  plans.push_back({projects, "Béta – Übersicht", Kind::kNote});
  if (unicode_) {
    for (const char* name : {"Клиенты", "顧客", "Πελάτες", "Customers UK"}) plans.push_back({customers, name, Kind::kNote});
  } else {
    for (const char* name : {"Clients France", "Kunden Österreich", "Customers UK"}) {
      plans.push_back({customers, name, Kind::kNote});
    }
  }
  static const char* kClasses[] = {"IPF.Note", "IPF.Appointment", "IPF.Contact", "IPF.Task"};
  PST_ASSIGN_OR_RETURN(pst::ndb::Nid top, writer_.store().IpmSubtreeNid());
  PST_ASSIGN_OR_RETURN(auto update, writer_.Begin());
  std::vector<pst::ndb::Nid> nids;
  for (const FolderPlan& plan : plans) {
    const pst::ndb::Nid parent = plan.parent < 0 ? top : nids[plan.parent];
    PST_ASSIGN_OR_RETURN(pst::ndb::Nid nid,
                         update->CreateFolder(parent, {String(pst::messaging::kPidDisplayName, plan.name),
                                                       String(pst::messaging::kPidContainerClass,
                                                              kClasses[static_cast<int>(plan.kind)])}));
    nids.push_back(nid);
    folders->push_back({nid, plan.kind});
  }
  return update->Commit();
}

pst::Status Generator::Run(uint64_t target_size, const std::string& path) {
  std::vector<std::pair<pst::ndb::Nid, Kind>> folders;
  PST_RETURN_IF_ERROR(MakeFolders(&folders));
  std::vector<pst::ndb::Nid> by_kind[4];
  for (const auto& [nid, kind] : folders) by_kind[static_cast<int>(kind)].push_back(nid);
  const auto definitions = NamedDefinitions();
  bool full = false;
  while (!full) {
    PST_ASSIGN_OR_RETURN(auto update, writer_.Begin());
    for (int n = 0; n < kNamedCount; ++n) {
      PST_ASSIGN_OR_RETURN(named_ids_[n], update->NamedPropertyId(definitions[n]));
    }
    for (int i = 0; i < 25 && !full; ++i) {
      const Language& lang = PickLanguage();
      const uint64_t roll = random_.Below(100);
      const Kind kind = roll < 85 ? Kind::kNote : roll < 91 ? Kind::kAppointment : roll < 96 ? Kind::kContact : Kind::kTask;
      const auto& targets = by_kind[static_cast<int>(kind)];
      const pst::ndb::Nid folder = targets[random_.Below(targets.size())];
      MessageInput message = kind == Kind::kNote          ? Note(lang, 0, folder != by_kind[0][1])  // not Sent Items
                             : kind == Kind::kAppointment ? Appointment(lang)
                             : kind == Kind::kContact     ? Contact(lang)
                                                          : Task(lang);
      PST_RETURN_IF_ERROR(update->CreateMessage(folder, message, false).status());
      ++stats_.messages[static_cast<int>(kind)];
      full = std::filesystem::file_size(path) >= target_size;
    }
    PST_RETURN_IF_ERROR(update->Commit());
  }
  const auto& s = stats_;
  std::fprintf(stderr,
               "%llu messages (%llu mail, %llu appointments, %llu contacts, %llu tasks) in %zu folders; "
               "%llu attachments (%llu embedded messages), %llu attachment bytes, sizes %llu..%llu; "
               "%d named properties\n",
               static_cast<unsigned long long>(s.messages[0] + s.messages[1] + s.messages[2] + s.messages[3]),
               static_cast<unsigned long long>(s.messages[0]), static_cast<unsigned long long>(s.messages[1]),
               static_cast<unsigned long long>(s.messages[2]), static_cast<unsigned long long>(s.messages[3]),
               folders.size(), static_cast<unsigned long long>(s.attachments),
               static_cast<unsigned long long>(s.embedded), static_cast<unsigned long long>(s.attachment_bytes),
               static_cast<unsigned long long>(s.smallest == UINT64_MAX ? 0 : s.smallest),
               static_cast<unsigned long long>(s.largest), static_cast<int>(kNamedCount));
  return pst::Status::Ok();
}

// A new folder under the top of the tree.
pst::Result<pst::ndb::Nid> Generator::TopFolder(pst::messaging::StoreUpdate& update, const char* name) {
  PST_ASSIGN_OR_RETURN(pst::ndb::Nid top, writer_.store().IpmSubtreeNid());
  return update.CreateFolder(top, {String(pst::messaging::kPidDisplayName, name),
                                   String(pst::messaging::kPidContainerClass, "IPF.Note")});
}

// The body is a line of Western text repeated, generated at the offset asked
// for, so no copy of it is ever held.
pst::Status Generator::AddBigBody(uint64_t chars) {
  const std::u16string line = u"Zeile für Zeile: café, naïve, Ærøskøbing — 12 € ; ";
  const uint64_t unit = unicode_ ? 2 : 1;
  auto source = [line, unit](uint64_t offset, std::span<uint8_t> out) -> pst::Status {
    for (size_t i = 0; i < out.size(); ++i) {
      const uint64_t at = offset + i;
      const char16_t c = line[(at / unit) % line.size()];
      uint8_t b = static_cast<uint8_t>(c);  // the accents above are Latin-1, as in 1252 ...
      if (c == u'—') b = 0x97;              // ... but these two
      if (c == u'€') b = 0x80;
      out[i] = unit == 2 ? static_cast<uint8_t>(at % 2 == 0 ? c & 0xFF : c >> 8) : b;
    }
    return pst::Status::Ok();
  };
  PST_ASSIGN_OR_RETURN(auto update, writer_.Begin());
  PST_ASSIGN_OR_RETURN(pst::ndb::Nid folder, TopFolder(*update, "Big body"));
  MessageInput m;
  m.properties.push_back(String(pst::messaging::kPidMessageClass, "IPM.Note"));
  m.properties.push_back(String(pst::messaging::kPidSubject, "A body of " + std::to_string(chars) + " characters"));
  m.properties.push_back(Value(pst::messaging::kPidMessageCodepage, ltp::kPtypInteger32, Int32(1252)));
  m.properties.push_back(Value(pst::messaging::kPidMessageFlags, ltp::kPtypInteger32, Int32(1)));
  m.properties.push_back(PropertyInput::Stream(MakeTag(pst::messaging::kPidBody, StringType()), chars * unit, source));
  PST_RETURN_IF_ERROR(update->CreateMessage(folder, m, false).status());
  PST_RETURN_IF_ERROR(update->Commit());
  std::fprintf(stderr, "a message of a %llu-character body in \"Big body\"\n", static_cast<unsigned long long>(chars));
  return pst::Status::Ok();
}

pst::Status Generator::AddBulkFolder(uint64_t messages) {
  constexpr uint64_t kPerUpdate = 5000;
  pst::ndb::Nid folder = 0;
  for (uint64_t done = 0; done < messages || folder == 0;) {
    PST_ASSIGN_OR_RETURN(auto update, writer_.Begin());
    if (folder == 0) {
      PST_ASSIGN_OR_RETURN(folder, TopFolder(*update, "Bulk"));
    }
    for (uint64_t end = std::min(messages, done + kPerUpdate); done < end; ++done) {
      MessageInput m;
      m.properties.push_back(String(pst::messaging::kPidMessageClass, "IPM.Note"));
      m.properties.push_back(String(pst::messaging::kPidSubject, "Bulk message " + std::to_string(done + 1)));
      m.properties.push_back(String(pst::messaging::kPidSenderName, "Grüße aus München"));
      m.properties.push_back(Value(0x0E06, ltp::kPtypTime, Int64(Time())));
      m.properties.push_back(Value(pst::messaging::kPidMessageFlags, ltp::kPtypInteger32, Int32(1)));
      m.properties.push_back(String(pst::messaging::kPidBody, Paragraphs(200, kLanguages[0])));
      PST_RETURN_IF_ERROR(update->CreateMessage(folder, m, false).status());
    }
    PST_RETURN_IF_ERROR(update->Commit());
  }
  std::fprintf(stderr, "%llu small messages in \"Bulk\"\n", static_cast<unsigned long long>(messages));
  return pst::Status::Ok();
}

pst::Status Generator::AddManyFolders(uint64_t count) {
  const auto start = std::chrono::steady_clock::now();
  PST_ASSIGN_OR_RETURN(auto update, writer_.Begin());
  PST_ASSIGN_OR_RETURN(pst::ndb::Nid parent, TopFolder(*update, "Many folders"));
  for (uint64_t i = 0; i < count; ++i) {
    PST_RETURN_IF_ERROR(update->CreateFolder(parent, {String(pst::messaging::kPidDisplayName,
                                                             "Folder " + std::to_string(i + 1)),
                                                      String(pst::messaging::kPidContainerClass, "IPF.Note")})
                            .status());
  }
  const auto created = std::chrono::steady_clock::now();
  PST_RETURN_IF_ERROR(update->Commit());
  const auto committed = std::chrono::steady_clock::now();
  std::fprintf(stderr, "%llu folders in one update: created in %.2f s, committed in %.2f s\n",
               static_cast<unsigned long long>(count), std::chrono::duration<double>(created - start).count(),
               std::chrono::duration<double>(committed - created).count());
  return pst::Status::Ok();
}

// BYTES with an optional K, M or G suffix (binary units); 0 when it is not one.
uint64_t ParseSize(const std::string& text) {
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || !(v > 0)) return 0;
  switch (*end) {
    case 'K': case 'k': v *= 1024; ++end; break;
    case 'M': case 'm': v *= 1024 * 1024; ++end; break;
    case 'G': case 'g': v *= 1024.0 * 1024 * 1024; ++end; break;
    default: break;
  }
  return *end == '\0' && v < 1e18 ? static_cast<uint64_t>(v) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string format = "unicode", out, size_text, attachment_text;
  uint64_t size = 10 << 20, seed = 1, max_attachment = 20 << 20, big_body = 0, bulk = 0, many_folders = 0;
  bench::Args args(argc, argv, "make_store",
                   "make_store --format ansi|unicode --size BYTES[K|M|G] [--seed N] "
                   "[--max-attachment BYTES[K|M|G] (>= 1K)] [--big-body CHARS] [--bulk-messages N] "
                   "[--folders N] OUT.pst");
  while (!args.done()) {
    if (args.Option("--format", format)) {
      if (format != "ansi" && format != "unicode") args.Refuse("--format is ansi or unicode, not " + format);
    } else if (args.Option("--size", size_text)) {
      if ((size = ParseSize(size_text)) == 0) args.Refuse("--size takes a size such as 512M, not " + size_text);
    } else if (args.Number("--seed", seed)) {
    } else if (args.Number("--big-body", big_body)) {
    } else if (args.Number("--bulk-messages", bulk)) {
    } else if (args.Number("--folders", many_folders)) {
    } else if (args.Option("--max-attachment", attachment_text)) {
      max_attachment = ParseSize(attachment_text);
      if (max_attachment < 1024) args.Refuse("--max-attachment takes a size of at least 1K, not " + attachment_text);
    } else if (out.empty()) {
      out = args.Operand();
    } else {
      args.Refuse("one output file only");
    }
  }
  if (out.empty()) args.Refuse("no output file given");
  // The last message may overshoot the size by one message's worth.
  if (format == "ansi" && size + max_attachment * 4 > pst::ndb::kAnsiMaxFileSize) {
    std::fprintf(stderr, "make_store: an ANSI store cannot grow past %llu bytes; ask for less\n",
                 static_cast<unsigned long long>(pst::ndb::kAnsiMaxFileSize));
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
  if (options.format == pst::ndb::Format::kAnsi) write_options.max_file_size = pst::ndb::kAnsiMaxFileSize;
  auto writer = file.ok() ? pst::messaging::StoreWriter::Open(std::shared_ptr<pst::io::WritableFile>(std::move(file).value()), write_options)
                          : pst::Result<std::unique_ptr<pst::messaging::StoreWriter>>(file.status());
  if (!writer.ok()) {
    std::fprintf(stderr, "make_store: %s\n", writer.status().ToString().c_str());
    return 1;
  }
  Generator generator(**writer, options.format != pst::ndb::Format::kAnsi, seed, max_attachment);
  s = generator.Run(size, out);
  if (s.ok() && big_body > 0) s = generator.AddBigBody(big_body);
  if (s.ok() && bulk > 0) s = generator.AddBulkFolder(bulk);
  if (s.ok() && many_folders > 0) s = generator.AddManyFolders(many_folders);
  if (!s.ok()) {
    std::fprintf(stderr, "make_store: %s\n", s.ToString().c_str());
    return 1;
  }
  return 0;
}
