// Names that look like paths or hold what paths may not ("/", "\", "..",
// control characters, more than 255 characters) are copied as names and
// nothing else: the folder, subject and attachment names of the copy equal
// the source's exactly as pypff reads them, and the only thing a conversion
// adds to the disk is its one output file — by the engine's own steps and by
// quillmar-cli. A new store is only ever created as a new file: never
// through an existing file or a symbolic link, dangling or not.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/convert/store_copy.h"
#include "pst/io/file.h"
#include "pst/messaging/store_creator.h"
#include "pst/messaging/store_writer.h"
#include "pst/messaging/tags.h"
#include "pst/messaging/text.h"
#include "pst/testing/status_matchers.h"

namespace pst::convert {
namespace {

namespace fs = std::filesystem;
using ltp::MakeTag;
using messaging::PropertyInput;

constexpr uint32_t kCodepage = 1252;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteAll(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// `count` characters taken in turn from `cycle` (each one UTF-8 character).
std::string Characters(const std::vector<std::string>& cycle, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += cycle[i % cycle.size()];
  return out;
}

// Every character is in code page 1252, so either format holds each name
// exactly; `absolute` is a path into the test's own folder.
std::vector<std::string> UnsafeNames(const std::string& absolute) {
  std::vector<std::string> names = {
      "a/b", "a\\b", "..", ".", "../../etc/passwd", "..\\..\\Windows\\win.ini", "C:\\Windows\\x",
      "a/../../b", "/", "\\", "//server/share/x", absolute, absolute + "/deeper",
      "\x01", "ctl\x01mid", "tab\there", "line\nbreak", "cr\rreturn", "del\x7f", "esc\x1b[31mred",
      "\x1f\x02\x03 end", "CON", "nul.txt", "trailing dot.", "trailing space ", "*?<>|\":",
      "\xC3\xA9t\xC3\xA9/\xE2\x82\xAC\\..",  // "été/€\.."
  };
  for (size_t n : {256, 300, 1000}) {
    names.push_back(std::string(n, 'n'));
    names.push_back(Characters({"\xC3\xA9", "/", "\xE2\x82\xAC", "\\", "\xC3\xBC", ".", "."}, n));
  }
  return names;
}

Bytes Int32(uint32_t v) {
  Bytes b(4);
  EncodeFixed32(b.data(), v);
  return b;
}

// A string property as the format keeps text: UTF-16LE, or code page 1252.
PropertyInput String(ndb::Format format, uint16_t id, const std::string& utf8) {
  const Bytes utf16 = messaging::Utf8ToUtf16Le(utf8);
  if (format == ndb::Format::kUnicode) return PropertyInput::Value(MakeTag(id, ltp::kPtypString), utf16);
  auto encoded = messaging::EncodeCodepage(utf16, kCodepage);
  EXPECT_TRUE(encoded.ok() && encoded->replaced == 0) << utf8;
  return PropertyInput::Value(MakeTag(id, ltp::kPtypString8), encoded.ok() ? encoded->bytes : Bytes());
}

// A message with `name` as its subject and one attachment with `name` as
// its file name, long file name and display name.
messaging::MessageInput NamedMessage(ndb::Format format, const std::string& name) {
  messaging::MessageInput m;
  m.properties.push_back(String(format, messaging::kPidMessageClass, "IPM.Note"));
  m.properties.push_back(String(format, messaging::kPidSubject, name));
  m.properties.push_back(PropertyInput::Value(
      MakeTag(messaging::kPidMessageCodepage, ltp::kPtypInteger32), Int32(kCodepage)));
  m.properties.push_back(PropertyInput::Value(
      MakeTag(messaging::kPidMessageFlags, ltp::kPtypInteger32), Int32(0x11)));
  messaging::AttachmentInput a;
  const std::string content = "attachment bytes";
  a.properties.push_back(PropertyInput::Value(MakeTag(messaging::kPidAttachMethod, ltp::kPtypInteger32), Int32(1)));
  a.properties.push_back(String(format, messaging::kPidAttachFilename, name));
  a.properties.push_back(String(format, messaging::kPidAttachLongFilename, name));
  a.properties.push_back(String(format, messaging::kPidDisplayName, name));
  a.properties.push_back(PropertyInput::Value(
      MakeTag(messaging::kPidAttachSize, ltp::kPtypInteger32), Int32(static_cast<uint32_t>(content.size()))));
  a.properties.push_back(PropertyInput::Value(MakeTag(messaging::kPidAttachDataBinary, ltp::kPtypBinary),
                                              Bytes(content.begin(), content.end())));
  m.attachments.push_back(std::move(a));
  return m;
}

// What the pypff listing below prints for a folder tree: one line per
// folder ("F"), message ("M") and attachment name ("A"), every name as the
// hex of its UTF-8 text, folders by their path of names from the top folder.
class Listing {
 public:
  static std::string Key(const std::vector<std::string>& folders) {
    std::string key = "TOP";
    for (const auto& f : folders) {
      key += '/';
      key += HexOf(f);
    }
    return key;
  }
  void Folder(const std::vector<std::string>& path) { lines_.insert("F " + Key(path)); }
  void Message(const std::vector<std::string>& path, const std::string& subject) {
    const std::string prefix = Key(path) + " " + HexOf(subject);
    lines_.insert("M " + prefix);
    for (const char* tag : {"3001", "3704", "3707"}) lines_.insert("A " + prefix + " " + tag + " " + HexOf(subject));
  }
  std::string Text() const {
    std::string text;
    for (const auto& line : lines_) text += line + "\n";
    return text;
  }

 private:
  static std::string HexOf(const std::string& s) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    }
    return out;
  }
  std::set<std::string> lines_;
};

// Lists the names under "Top of Personal Folders" as pypff reads them, raw:
// PtypString as UTF-16LE, PtypString8 as code page 1252, nothing trimmed.
constexpr char kOracleScript[] = R"PY(
import sys, pypff

def text(entry):
    data = entry.data or b''
    if entry.value_type == 0x1f:
        return data.decode('utf-16-le').encode('utf-8').hex()
    if entry.value_type == 0x1e:
        return data.decode('cp1252').encode('utf-8').hex()
    return 'type-%x' % entry.value_type

def props(item, ids):
    found = {}
    for r in range(item.number_of_record_sets):
        rs = item.get_record_set(r)
        for i in range(rs.number_of_entries):
            e = rs.get_entry(i)
            if e.entry_type in ids:
                found[e.entry_type] = text(e)
    return found

def walk(folder, key, lines):
    for m in range(folder.number_of_sub_messages):
        message = folder.get_sub_message(m)
        subject = props(message, {0x37}).get(0x37, '-')
        lines.append('M %s %s' % (key, subject))
        for a in range(message.number_of_attachments):
            names = props(message.get_attachment(a), {0x3001, 0x3704, 0x3707})
            for tag, value in names.items():
                lines.append('A %s %s %04x %s' % (key, subject, tag, value))
    for k in range(folder.number_of_sub_folders):
        sub = folder.get_sub_folder(k)
        sub_key = key + '/' + props(sub, {0x3001}).get(0x3001, '-')
        lines.append('F ' + sub_key)
        walk(sub, sub_key, lines)

f = pypff.file()
f.open(sys.argv[1])
root = f.get_root_folder()
tops = [root.get_sub_folder(i) for i in range(root.number_of_sub_folders)]
tops = [t for t in tops if props(t, {0x3001}).get(0x3001) == 'Top of Personal Folders'.encode().hex()]
lines = []
if len(tops) == 1:
    walk(tops[0], 'TOP', lines)
else:
    lines.append('no single top folder')
for line in sorted(set(lines)):
    print(line)
)PY";

// Files and links below `root` (never following a link), with each regular
// file's size and contents and each link's target.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> entries;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const fs::file_status st = e.symlink_status();
    std::string what;
    if (fs::is_symlink(st)) {
      what = "link " + fs::read_symlink(e.path()).string();
    } else if (fs::is_directory(st)) {
      what = "folder";
    } else if (fs::is_regular_file(st)) {
      what = "file " + std::to_string(std::hash<std::string>()(ReadAll(e.path())));
    } else {
      what = "other";
    }
    entries[fs::relative(e.path(), root).string()] = what;
  }
  return entries;
}

// Entries of `after` that `before` lacks or holds otherwise.
std::vector<std::string> Changes(const std::map<std::string, std::string>& before,
                                 const std::map<std::string, std::string>& after) {
  std::vector<std::string> changed;
  for (const auto& [path, what] : after) {
    auto it = before.find(path);
    if (it == before.end() || it->second != what) changed.push_back(path);
  }
  for (const auto& [path, what] : before) {
    if (!after.count(path)) changed.push_back(path + " (gone)");
  }
  return changed;
}

class UnsafeNamesTest : public ::testing::TestWithParam<ndb::Format> {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quillmar-names-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    base_ = tmpl;
    // Deep enough that "../../x" from any folder below stays inside base_.
    work_ = base_ / "d1" / "d2" / "d3" / "d4";
    for (const char* sub : {"source", "out", "cwd"}) fs::create_directories(work_ / sub);
    names_ = UnsafeNames((base_ / "escaped").string());
    source_ = (work_ / "source" / "names.pst").string();
    ASSERT_NO_FATAL_FAILURE(WriteSource(GetParam()));
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  // A store whose top folder holds one folder per name (each with a message
  // and attachment of that name), a chain of nested folders with such names,
  // and a message of its own.
  void WriteSource(ndb::Format format) {
    messaging::StoreOptions options;
    options.format = format;
    options.codepage = kCodepage;
    ASSERT_OK(messaging::CreateStore(source_, options));
    auto file = io::OpenReadWrite(source_);
    ASSERT_OK(file);
    auto writer = messaging::StoreWriter::Open(std::shared_ptr<io::WritableFile>(std::move(file).value()));
    ASSERT_OK(writer);
    const ndb::Nid top = *(*writer)->store().IpmSubtreeNid();
    auto update = (*writer)->Begin();
    ASSERT_OK(update);
    expected_.Folder({messaging::kDeletedItems});
    auto add_folder = [&](ndb::Nid parent, const std::vector<std::string>& path) -> ndb::Nid {
      auto folder = (*update)->CreateFolder(parent, {String(format, messaging::kPidDisplayName, path.back()),
                                                     String(format, messaging::kPidContainerClass, "IPF.Note")});
      EXPECT_OK(folder);
      if (!folder.ok()) return 0;
      EXPECT_TRUE((*update)->CreateMessage(*folder, NamedMessage(format, path.back()), false).ok());
      expected_.Folder(path);
      expected_.Message(path, path.back());
      return *folder;
    };
    for (const std::string& name : names_) add_folder(top, {name});
    const std::vector<std::string> chain = {"..", "../../etc/passwd", "a/b", "\x01", std::string(300, 'z')};
    ndb::Nid parent = top;
    for (size_t depth = 1; depth <= chain.size(); ++depth) {
      parent = add_folder(parent, {chain.begin(), chain.begin() + static_cast<ptrdiff_t>(depth)});
    }
    ASSERT_OK((*update)->CreateMessage(top, NamedMessage(format, "../top/\x01"), false));
    expected_.Message({}, "../top/\x01");
    ASSERT_OK((*update)->Commit());
  }

  static std::string Output(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    ::pclose(pipe);
    return out;
  }

  static bool PypffAvailable() {
    return Output("/usr/bin/python3 -c 'import pypff; print(1)' 2>/dev/null") == "1\n";
  }

  // The names of a store as pypff reads them.
  std::string OracleListing(const std::string& path) const {
    const fs::path script = base_ / "names_oracle.py";
    if (!fs::exists(script)) WriteAll(script, kOracleScript);
    return Output("/usr/bin/python3 '" + script.string() + "' '" + path + "' 2>&1");
  }

  // The source and the copy both list exactly the names written.
  void ExpectNamesKept(const std::string& output) {
    if (!PypffAvailable()) GTEST_SKIP() << "pypff is not available";
    const std::string expected = expected_.Text();
    EXPECT_EQ(OracleListing(source_), expected) << "the source is not as written";
    EXPECT_EQ(OracleListing(output), expected);
  }

  fs::path base_;
  fs::path work_;
  std::vector<std::string> names_;
  std::string source_;
  Listing expected_;
};

ndb::Format OtherFormat(ndb::Format f) {
  return f == ndb::Format::kAnsi ? ndb::Format::kUnicode : ndb::Format::kAnsi;
}

// Runs in `folder` as the working folder, so that a name used as a relative
// path would land inside the test's tree.
class WorkingFolder {
 public:
  explicit WorkingFolder(const fs::path& folder) : previous_(fs::current_path()) { fs::current_path(folder); }
  ~WorkingFolder() { fs::current_path(previous_); }

 private:
  fs::path previous_;
};

// The conversion's steps as the command-line and desktop programs take them.
void ConvertWithEngine(const std::string& source_path, const std::string& output_path, ndb::Format format) {
  auto source = messaging::Store::OpenPath(source_path);
  ASSERT_OK(source);
  (*source)->set_default_codepage(kCodepage);
  messaging::StoreOptions options;
  options.format = format;
  options.codepage = kCodepage;
  ASSERT_OK(messaging::CreateStore(output_path, options));
  auto file = io::OpenReadWrite(output_path);
  ASSERT_OK(file);
  auto writer = messaging::StoreWriter::Open(std::shared_ptr<io::WritableFile>(std::move(file).value()));
  ASSERT_OK(writer);
  const ndb::Nid target_top = *(*writer)->store().IpmSubtreeNid();
  ASSERT_OK(DeleteSubfolders(**writer, target_top));

  const ndb::Nid source_top = *(*source)->IpmSubtreeNid();
  CopyOptions copy;
  copy.default_codepage = kCodepage;
  CopyReport report;
  std::map<ndb::Nid, ndb::Nid> folder_map;
  auto top = (*source)->OpenFolder(source_top);
  ASSERT_OK(top);
  auto children = top->SubfolderNids();
  ASSERT_OK(children);
  for (ndb::Nid child : *children) {
    auto copied = CopyFolderTree(**source, child, **writer, target_top, copy, &report, &folder_map);
    EXPECT_OK(copied);
  }
  EXPECT_OK(CopyFolderContents(**source, source_top, **writer, target_top, copy, &report));
  EXPECT_OK(EnsureWastebasket(**writer));
  for (const auto& f : report.failures) ADD_FAILURE() << f;
  for (const auto& d : report.dropped_properties) ADD_FAILURE() << "left out: " << d;
  EXPECT_EQ(report.strings.characters_replaced, 0u);
}

TEST_P(UnsafeNamesTest, EngineCopiesNamesUnchangedAndWritesOnlyItsOutput) {
  const auto before = Snapshot(base_);
  const fs::path output = work_ / "out" / "converted.pst";
  {
    WorkingFolder in(work_ / "cwd");
    ASSERT_NO_FATAL_FAILURE(ConvertWithEngine(source_, output.string(), OtherFormat(GetParam())));
  }
  EXPECT_EQ(Changes(before, Snapshot(base_)),
            std::vector<std::string>{fs::relative(output, base_).string()});
  ExpectNamesKept(output.string());
}

TEST_P(UnsafeNamesTest, CliCopiesNamesUnchangedAndWritesOnlyItsOutput) {
  const std::string cli = std::string(QUILLMAR_BIN_DIR) + "/quillmar-cli";
  ASSERT_TRUE(fs::exists(cli)) << cli << " is not built";
  const fs::path out = work_ / "out";
  const auto before = Snapshot(base_);
  const fs::path log = base_ / "cli.log";
  const int status = std::system(("cd '" + (work_ / "cwd").string() + "' && '" + cli + "' convert '" +
                                  source_ + "' -o '" + out.string() + "' > '" + log.string() + "' 2>&1")
                                     .c_str());
  const std::string printed = ReadAll(log);
  fs::remove(log);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << printed;
  // Names are printed with their control characters spelled out: none may
  // reach the terminal (an ESC could steer it, a newline split a line).
  for (char c : printed) {
    const auto u = static_cast<unsigned char>(c);
    EXPECT_FALSE((u < 0x20 && c != '\n') || u == 0x7F) << "raw control character " << int(u) << " printed";
  }
  EXPECT_NE(printed.find("\\x1B"), std::string::npos) << printed;

  std::vector<fs::path> made;
  for (const auto& e : fs::directory_iterator(out)) made.push_back(e.path());
  ASSERT_EQ(made.size(), 1u) << printed;
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(made[0])));
  EXPECT_EQ(made[0].extension(), ".pst");
  EXPECT_EQ(Changes(before, Snapshot(base_)), std::vector<std::string>{fs::relative(made[0], base_).string()});
  ExpectNamesKept(made[0].string());
}

INSTANTIATE_TEST_SUITE_P(BothFormats, UnsafeNamesTest,
                         ::testing::Values(ndb::Format::kAnsi, ndb::Format::kUnicode),
                         [](const auto& info) {
                           return std::string(info.param == ndb::Format::kAnsi ? "FromAnsi" : "FromUnicode");
                         });

// What may already stand at an output's name, and what it points at.
class ExistingDestinationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quillmar-excl-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    base_ = tmpl;
    fs::create_directories(base_ / "chosen");
    fs::create_directories(base_ / "elsewhere");
    WriteAll(base_ / "elsewhere" / "target.txt", "someone else's file");
    WriteAll(Dest("file.pst"), "the user's own file");
    fs::create_symlink(base_ / "elsewhere" / "target.txt", Dest("link.pst"));
    fs::create_symlink(base_ / "elsewhere" / "absent.pst", Dest("dangling.pst"));
    fs::create_symlink(base_ / "elsewhere", Dest("folder-link.pst"));
    fs::create_directory(Dest("folder.pst"));
    before_ = Snapshot(base_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }
  std::string Dest(const std::string& name) const { return (base_ / "chosen" / name).string(); }

  static constexpr const char* kNames[] = {"file.pst", "link.pst", "dangling.pst", "folder-link.pst",
                                           "folder.pst"};
  fs::path base_;
  std::map<std::string, std::string> before_;
};

TEST_F(ExistingDestinationTest, NewStoreIsNeverWrittenThroughWhatIsThere) {
  for (ndb::Format format : {ndb::Format::kAnsi, ndb::Format::kUnicode}) {
    messaging::StoreOptions options;
    options.format = format;
    for (const char* name : kNames) {
      Status s = messaging::CreateStore(Dest(name), options);
      EXPECT_FALSE(s.ok()) << name;
    }
  }
  // Nothing changed, nothing was created or removed, here or where the links point.
  EXPECT_EQ(Changes(before_, Snapshot(base_)), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(base_ / "elsewhere" / "absent.pst"));
}

TEST_F(ExistingDestinationTest, ReopeningForWritingRefusesALinkAtTheName) {
  // The programs reopen their new output by name; a link swapped in for it
  // must not be written through.
  for (const char* name : {"link.pst", "dangling.pst", "folder-link.pst"}) {
    auto file = io::OpenReadWrite(Dest(name));
    EXPECT_FALSE(file.ok()) << name;
  }
  EXPECT_EQ(Changes(before_, Snapshot(base_)), std::vector<std::string>{});
}

}  // namespace
}  // namespace pst::convert
