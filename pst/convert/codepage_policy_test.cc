// Code pages through whole conversions: names in the script of the store's
// language, every message's strings in the code page its label names, and
// Unicode -> ANSI -> Unicode giving back all that one code page could hold.
#include "pst/convert/codepage_policy.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "pst/base/coding.h"
#include "pst/convert/conversion.h"
#include "pst/io/file.h"
#include "pst/messaging/property_access.h"
#include "pst/messaging/store_creator.h"
#include "pst/messaging/store_writer.h"
#include "pst/messaging/tags.h"
#include "pst/messaging/text.h"
#include "pst/messaging/walk.h"
#include "pst/testing/samples.h"
#include "pst/testing/status_matchers.h"

namespace pst::convert {
namespace {

namespace fs = std::filesystem;
using messaging::PropertyInput;

TEST(ChooseNamesCodepage, FollowsTheLanguageOfTheStore) {
  // ANSI stores by what their messages say; Unicode stores also by what
  // their folder names need (the Russian store holds no message at all).
  for (const auto& [name, expected] : std::vector<std::pair<std::string, uint32_t>>{
           {"ansi-cp932-japanese.pst", 932},
           {"ansi-contacts97-2002.pst", 932},
           {"ansi-pstsdk-sample2.pst", 1252},
           {"unicode-russian-folders-empty.pst", 1251},
           {"unicode-hello-cjk-hangul.pst", 932},
           {"unicode-tika-testpst-french-2mb.pst", 1252},
           {"unicode-enron-13mb.pst", 1252}}) {
    SCOPED_TRACE(name);
    auto store = messaging::Store::OpenPath(test::SamplePath(name));
    ASSERT_OK(store);
    EXPECT_EQ(ChooseNamesCodepage(**store, std::nullopt), expected);
    EXPECT_EQ(ChooseNamesCodepage(**store, 1250u), 1250u);
  }
}

// --- Whole conversions of stores made for the case ----------------------

PropertyInput Text(uint16_t id, const std::string& utf8) {
  return PropertyInput::Value(ltp::MakeTag(id, ltp::kPtypString), messaging::Utf8ToUtf16Le(utf8));
}
PropertyInput Int(uint16_t id, uint32_t value) {
  Bytes bytes(4);
  EncodeFixed32(bytes.data(), value);
  return PropertyInput::Value(ltp::MakeTag(id, ltp::kPtypInteger32), std::move(bytes));
}

struct Mail {
  std::string subject;
  std::optional<uint32_t> message_codepage;
};

class CodepageConversionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("quillmar-codepage-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A Unicode store holding one folder per name, each with the mail given.
  std::string MakeUnicodeStore(const std::vector<std::string>& folders, const std::vector<Mail>& mail) {
    const std::string path = (dir_ / ("source" + std::to_string(++stores_) + ".pst")).string();
    messaging::StoreOptions options;
    options.format = ndb::Format::kUnicode;
    EXPECT_OK(messaging::CreateStore(path, options));
    auto file = io::OpenReadWrite(path);
    auto writer = messaging::StoreWriter::Open(std::shared_ptr<io::WritableFile>(std::move(file).value()));
    EXPECT_OK(writer);
    auto update = (*writer)->Begin();
    const ndb::Nid top = *(*writer)->store().IpmSubtreeNid();
    for (const std::string& name : folders) {
      auto folder = (*update)->CreateFolder(top, {Text(messaging::kPidDisplayName, name)});
      EXPECT_OK(folder);
      for (const Mail& m : mail) {
        messaging::MessageInput input;
        input.properties.push_back(Text(messaging::kPidMessageClass, "IPM.Note"));
        input.properties.push_back(Text(messaging::kPidSubject, m.subject));
        input.properties.push_back(Text(messaging::kPidBody, m.subject + " body"));
        if (m.message_codepage) input.properties.push_back(Int(messaging::kPidMessageCodepage, *m.message_codepage));
        EXPECT_OK((*update)->CreateMessage(*folder, input, false));
      }
    }
    EXPECT_OK((*update)->Commit());
    return path;
  }

  NewStoreResult Convert(const std::string& source_path, ndb::Format to, const std::string& name) {
    auto source = messaging::Store::OpenPath(source_path);
    EXPECT_OK(source);
    UseNamesCodepage(**source, std::nullopt);
    auto result = ConvertToNewStore(
        **source, to, [&](int n) { return (dir_ / (name + std::to_string(stores_) + "-" + std::to_string(n) + ".pst")).string(); },
        {});
    EXPECT_OK(result);
    EXPECT_FALSE(result->path.empty()) << result->failure.ToString();
    return std::move(result).value();
  }

  fs::path dir_;
  int stores_ = 0;
};

// What an output holds: folder name -> (subject -> (label, subject bytes)).
struct MessageSeen {
  std::optional<int32_t> label;  // PidTagMessageCodepage
  Bytes subject;                 // as stored
};
using Listing = std::map<std::string, std::map<std::string, MessageSeen>>;

Listing Read(const std::string& path) {
  Listing listing;
  auto store = messaging::Store::OpenPath(path);
  EXPECT_OK(store);
  UseNamesCodepage(**store, std::nullopt);
  auto top = (*store)->OpenFolder(*(*store)->IpmSubtreeNid());
  for (ndb::Nid nid : top->SubfolderNids().value_or({})) {
    auto folder = (*store)->OpenFolder(nid);
    const std::string name = folder->DisplayName().value_or("?");
    for (ndb::Nid id : folder->MessageNids().value_or({})) {
      auto message = (*store)->OpenMessage(id);
      const auto* entry = message->properties().Find(messaging::kPidSubject);
      if (!entry) continue;
      MessageSeen seen;
      seen.label = messaging::GetInt32(message->properties(), messaging::kPidMessageCodepage).value_or(std::nullopt);
      seen.subject = message->properties().ReadValue(*entry).value_or(Bytes());
      const std::string subject = messaging::GetString(message->properties(), messaging::kPidSubject,
                                                       message->codepage()).value_or(std::nullopt).value_or("?");
      listing[name][subject] = seen;
    }
  }
  return listing;
}

Bytes Encoded(const std::string& utf8, uint32_t codepage) {
  return messaging::EncodeCodepage(messaging::Utf8ToUtf16Le(utf8), codepage)->bytes;
}

TEST_F(CodepageConversionTest, NamesAndMailEachInTheirOwnCodePageBothWays) {
  const std::vector<Mail> mail = {
      {"Résumé café", 1252u},      // declares a code page that holds it
      {"Привет из Москвы", 65001u},  // declares UTF-8, which no 8-bit string is in
      {"Grüße aus Köln", std::nullopt},  // declares nothing
  };
  for (const auto& [folder_name, names_codepage] : std::vector<std::pair<std::string, uint32_t>>{
           {"Входящие", 1251}, {"削除済みアイテム", 932}, {"已删除邮件", 936}}) {
    SCOPED_TRACE(folder_name);
    const std::string source = MakeUnicodeStore({folder_name, "Archive"}, mail);
    const NewStoreResult ansi = Convert(source, ndb::Format::kAnsi, "ansi");
    EXPECT_EQ(ansi.report.names_codepage, names_codepage);
    EXPECT_EQ(ansi.report.copied.strings.characters_replaced, 0u);
    EXPECT_EQ(ansi.report.copied.objects_declared, 4u);  // the UTF-8 and the undeclared one, in two folders
    ASSERT_FALSE(ansi.report.copied.codepages_declared.empty());
    EXPECT_NE(ansi.report.copied.codepages_declared[0].find("declared 65001"), std::string::npos)
        << ansi.report.copied.codepages_declared[0];

    // The output records its names' code page, and every label matches the bytes.
    {
      auto store = messaging::Store::OpenPath(ansi.path);
      ASSERT_OK(store);
      EXPECT_EQ(messaging::GetInt32((*store)->properties(), messaging::kPidCodePageId).value_or(std::nullopt),
                static_cast<int32_t>(names_codepage));
    }
    const Listing listing = Read(ansi.path);
    ASSERT_EQ(listing.count(folder_name), 1u);
    const auto& messages = listing.at(folder_name);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages.at("Résumé café").label, 1252);
    EXPECT_EQ(messages.at("Résumé café").subject, Encoded("Résumé café", 1252));
    EXPECT_EQ(messages.at("Привет из Москвы").label, 1251);
    EXPECT_EQ(messages.at("Привет из Москвы").subject, Encoded("Привет из Москвы", 1251));
    EXPECT_EQ(messages.at("Grüße aus Köln").label, 1252);
    EXPECT_EQ(messages.at("Grüße aus Köln").subject, Encoded("Grüße aus Köln", 1252));

    // Back to Unicode with the defaults: every name and subject as it was.
    const NewStoreResult unicode = Convert(ansi.path, ndb::Format::kUnicode, "back");
    EXPECT_EQ(unicode.report.names_codepage, names_codepage);
    const Listing back = Read(unicode.path);
    ASSERT_EQ(back.count(folder_name), 1u);
    ASSERT_EQ(back.count("Archive"), 1u);
    for (const Mail& m : mail) EXPECT_EQ(back.at(folder_name).count(m.subject), 1u) << m.subject;
  }
}

TEST_F(CodepageConversionTest, TextNoCodePageHoldsIsReplacedAndReported) {
  // Cyrillic and Thai in one subject: no Windows code page has both.
  const std::string source = MakeUnicodeStore({"Inbox"}, {{"Привет สวัสดี", 1251u}});
  const NewStoreResult ansi = Convert(source, ndb::Format::kAnsi, "ansi");
  EXPECT_GT(ansi.report.copied.strings.characters_replaced, 0u);
  ASSERT_FALSE(ansi.report.copied.replacements.empty());
  EXPECT_NE(ansi.report.copied.replacements[0].find("Inbox"), std::string::npos);
  EXPECT_NE(ansi.report.copied.replacements[0].find("code page 1251"), std::string::npos)
      << ansi.report.copied.replacements[0];
  EXPECT_EQ(ansi.report.copied.objects_declared, 0u);  // 1251 loses least: the label stays
}

// Wherever a character outside ASCII falls, at the start, inside or at the
// end of the stretches of ASCII that are read several units at once.
TEST(TextProfile, FindsEachCharacterBeyondAsciiWhereverItStands) {
  for (size_t at = 0; at < 11; ++at) {
    std::string text(11, 'a');
    text.replace(at, 1, "\xD0\x96");  // U+0416, Cyrillic
    TextProfile profile;
    profile.AddUtf16Le(messaging::Utf8ToUtf16Le(text));
    EXPECT_FALSE(profile.ascii_only()) << at;
    EXPECT_EQ(profile.LostIn(1252), 1u) << at;
    EXPECT_EQ(profile.LostIn(1251), 0u) << at;
  }
  TextProfile ascii;
  ascii.AddUtf16Le(messaging::Utf8ToUtf16Le("thirteen ASCI"));
  EXPECT_TRUE(ascii.ascii_only());
  TextProfile astral;
  astral.AddUtf16Le(messaging::Utf8ToUtf16Le("abcd\xF0\x9F\x98\x80"));
  EXPECT_FALSE(astral.ascii_only());
}

TEST(IsAnsiCodepage, AcceptsOnlyWhatAnAnsiStoreCanHold) {
  for (uint32_t cp : {874u, 932u, 936u, 949u, 950u, 1250u, 1252u, 1258u}) EXPECT_TRUE(IsAnsiCodepage(cp)) << cp;
  for (uint32_t cp : {0u, 437u, 1200u, 1259u, 20127u, 50220u, 54936u, 65001u}) EXPECT_FALSE(IsAnsiCodepage(cp)) << cp;
}

}  // namespace
}  // namespace pst::convert
