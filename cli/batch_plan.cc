#include "cli/batch_plan.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>

namespace quillmar::cli {
namespace {

namespace fs = std::filesystem;

bool IsStoreName(const fs::path& path) {
  std::string ext = path.extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".pst" || ext == ".ost";
}

bool SameFolder(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return fs::equivalent(a, b, ec);
}

pst::Status AddFolder(const fs::path& root, const fs::path& skip_dir, std::vector<BatchItem>* out) {
  std::error_code ec;
  fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
  if (ec) return pst::Status::IOError("cannot read the folder " + root.string() + ": " + ec.message());
  std::vector<BatchItem> found;
  for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) return pst::Status::IOError("cannot read below " + root.string() + ": " + ec.message());
    const fs::directory_entry& entry = *it;
    std::error_code type_ec;
    if (entry.is_directory(type_ec)) {
      if (!skip_dir.empty() && SameFolder(entry.path(), skip_dir)) it.disable_recursion_pending();
      continue;
    }
    if (!IsStoreName(entry.path()) || !entry.is_regular_file(type_ec)) continue;
    found.push_back({entry.path().string(), fs::relative(entry.path(), root).generic_string(), {}});
  }
  std::sort(found.begin(), found.end(), [](const BatchItem& a, const BatchItem& b) { return a.relative < b.relative; });
  out->insert(out->end(), found.begin(), found.end());
  return pst::Status::Ok();
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

pst::Result<std::vector<BatchItem>> FindStores(const std::vector<std::string>& sources, const std::string& skip_dir) {
  std::vector<BatchItem> items;
  for (const std::string& source : sources) {
    std::error_code ec;
    const fs::file_status status = fs::status(source, ec);
    if (status.type() == fs::file_type::not_found) return pst::Status::InvalidArgument(source + " does not exist");
    if (ec) return pst::Status::InvalidArgument("cannot use " + source + ": " + ec.message());
    if (fs::is_directory(status)) {
      if (!skip_dir.empty() && SameFolder(source, skip_dir)) {
        return pst::Status::InvalidArgument("the output folder " + skip_dir + " is also a source folder");
      }
      PST_RETURN_IF_ERROR(AddFolder(source, skip_dir, &items));
    } else {
      items.push_back({source, fs::path(source).filename().generic_string(), {}});
    }
  }
  // Stems shared within a folder keep their extension, so that no two
  // outputs meet (case is ignored: the output may lie on such a disk).
  std::map<std::string, int> stems;
  auto stem_of = [](const BatchItem& item) {
    const fs::path rel(item.relative);
    return (rel.parent_path() / rel.stem()).generic_string();
  };
  for (const BatchItem& item : items) ++stems[Lower(stem_of(item))];
  std::map<std::string, const BatchItem*> outputs;
  for (BatchItem& item : items) {
    item.output_stem = stems[Lower(stem_of(item))] > 1 ? item.relative : stem_of(item);
    auto [where, added] = outputs.emplace(Lower(item.output_stem), &item);
    if (!added) {
      return pst::Status::InvalidArgument("both " + where->second->source + " and " + item.source +
                                          " would be written to the same output; convert them separately");
    }
  }
  return items;
}

std::string BatchOutputPath(const std::string& dir, const BatchItem& item, pst::ndb::Format format) {
  const char* suffix = format == pst::ndb::Format::kAnsi ? "-ansi.pst" : "-unicode.pst";
  return (fs::path(dir) / fs::path(item.output_stem + suffix)).string();
}

uint64_t StableHash(std::string_view text) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

bool InShard(const BatchItem& item, const Shard& shard) {
  return StableHash(item.relative) % shard.count == shard.index - 1;
}

}  // namespace quillmar::cli
