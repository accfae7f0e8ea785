#include "pst/convert/conversion.h"

#include <algorithm>
#include <filesystem>

#include "pst/base/hex.h"
#include "pst/check/check.h"
#include "pst/convert/codepage_policy.h"
#include "pst/convert/output_file.h"
#include "pst/convert/salvage.h"
#include "pst/convert/store_copy.h"
#include "pst/io/file.h"

namespace pst::convert {
namespace {

// Failures after which the output may be damaged and must be checked.
bool IsWriteFailure(const Status& s) {
  return s.code() == Status::Code::kIOError || s.code() == Status::Code::kOutOfSpace;
}

bool HoldsNoMail(const messaging::Folder& folder) {
  auto contents = folder.OpenContentsTable();
  auto associated = folder.OpenAssociatedContentsTable();
  return contents.ok() && associated.ok() && contents->row_count() == 0 && associated->row_count() == 0;
}

}  // namespace

bool IsSoundStore(const std::string& path) {
  auto file = io::OpenReadOnly(path);
  if (!file.ok()) return false;
  check::CheckOptions options;
  return check::CheckStore(**file, options).sound();
}

ndb::Format DefaultOutputFormat(ndb::Format source) {
  return source == ndb::Format::kUnicode ? ndb::Format::kAnsi : ndb::Format::kUnicode;
}

ndb::WriteOptions OutputWriteOptions(ndb::Format format, uint64_t max_file_size) {
  ndb::WriteOptions options;
  if (format == ndb::Format::kAnsi) options.max_file_size = ndb::kAnsiMaxFileSize;
  if (max_file_size != 0) options.max_file_size = std::min(options.max_file_size, max_file_size);
  return options;
}

uint32_t UseNamesCodepage(messaging::Store& source, std::optional<uint32_t> user_choice) {
  const uint32_t codepage = ChooseNamesCodepage(source, user_choice);
  source.set_default_codepage(codepage);
  return codepage;
}

Conversion::Conversion(const messaging::Store& source, ConversionOptions options) : options_(std::move(options)) {
  report_.names_codepage = source.default_codepage();
}

CopyOptions Conversion::CopyOptionsFor(ndb::Format) const {
  CopyOptions copy;
  copy.default_codepage = report_.names_codepage;
  copy.progress = options_.progress;
  copy.progress_bytes = options_.progress_bytes;
  copy.salvage = options_.salvage;
  return copy;
}

Status Conversion::PrepareTarget(const messaging::Store& source, messaging::StoreWriter& target) {
  if (target_prepared_) return Status::Ok();
  // The password goes in before any mail does, so even an unfinished output
  // is protected.
  PST_RETURN_IF_ERROR(CarryPassword(source, target));
  if (target.format() == ndb::Format::kAnsi) {
    PST_RETURN_IF_ERROR(RecordNamesCodepage(target, report_.names_codepage));
  }
  target_prepared_ = true;
  return Status::Ok();
}

namespace {

// Adds one copy's report to another.
void AddReport(const CopyReport& part, CopyReport* to) {
  CopyReport& total = *to;
  total.done.folders += part.done.folders;
  total.done.messages += part.done.messages;
  total.done.attachments += part.done.attachments;
  total.done.bytes += part.done.bytes;
  total.fai_messages += part.fai_messages;
  total.embedded_messages += part.embedded_messages;
  total.strings.strings_converted += part.strings.strings_converted;
  total.strings.characters_replaced += part.strings.characters_replaced;
  total.strings.named_properties_mapped += part.strings.named_properties_mapped;
  total.objects_declared += part.objects_declared;
  auto append = [](std::vector<std::string>& to, const std::vector<std::string>& from) {
    for (const std::string& entry : from) {
      if (to.size() < CopyReport::kMaxListed) to.push_back(entry);
    }
  };
  auto append_all = [](auto& to, const auto& from) { to.insert(to.end(), from.begin(), from.end()); };
  // Objects left out and properties dropped are listed whole: each one is mail lost.
  append_all(total.failures, part.failures);
  append_all(total.dropped_properties, part.dropped_properties);
  append(total.replacements, part.replacements);
  append(total.codepages_declared, part.codepages_declared);
  // Salvage notes are listed whole too: each says where mail may be wrong or missing.
  append_all(total.recovered_with_damage, part.recovered_with_damage);
  append_all(total.unreadable, part.unreadable);
  total.messages_recovered_with_damage += part.messages_recovered_with_damage;
  total.messages_unreadable += part.messages_unreadable;
  for (const MessagesLeftOut& l : part.left_out) {
    // Messages of one folder passed over one by one make one entry.
    if (!total.left_out.empty() && total.left_out.back().folder == l.folder &&
        total.left_out.back().folder_copied == l.folder_copied) {
      total.left_out.back().messages += l.messages;
      total.left_out.back().fai_messages += l.fai_messages;
    } else {
      total.left_out.push_back(l);
    }
  }
  for (const ContinuationFolder& c : part.continued) {
    auto earlier = std::find_if(total.continued.rbegin(), total.continued.rend(), [&](const ContinuationFolder& t) {
      return t.name == c.name && t.folder == c.folder;
    });
    if (c.resumed && earlier != total.continued.rend()) {
      earlier->messages += c.messages;
      earlier->subfolders += c.subfolders;
    } else {
      total.continued.push_back(c);
      total.continued.back().resumed = false;
    }
  }
}

// In a full output, a message that does not fit is passed over; after this
// many in a row the rest of the copy is left out.
constexpr int kMaxMissesInARow = 4;

}  // namespace

void Conversion::Add(const CopyReport& part) {
  AddReport(part, &report_.copied);
  listed_messages_.InsertAll(part.listed_messages);
  folder_map_.insert(part.folder_map.begin(), part.folder_map.end());
  copied_anywhere_.insert(part.folder_map.begin(), part.folder_map.end());
  for (ndb::Nid folder : part.folders_left_out) copied_anywhere_.emplace(folder, 0);
}

void Conversion::Record(const std::string& what, const Status& why) {
  switch (why.code()) {
    case Status::Code::kCancelled:
      report_.cancelled = true;
      return;
    case Status::Code::kSizeLimit:
      report_.size_limit_reached = true;
      break;
    default:
      report_.write_failed = report_.write_failed || IsWriteFailure(why);
      break;
  }
  report_.folders_not_copied.push_back({what, why});
}

Result<CopyReport> Conversion::CopyFolder(const messaging::Store& source, ndb::Nid folder_nid,
                                          messaging::StoreWriter& target, ndb::Nid target_parent) {
  auto opened = source.OpenFolder(folder_nid);
  if (!opened.ok()) {
    // A folder that cannot be read is named by its id; what it held is
    // found again by RecoverOrphans.
    Record("folder " + Hex(folder_nid), opened.status());
    return opened.status();
  }
  const messaging::Folder& folder = *opened;
  // A search folder lists mail other folders hold; it is not copied itself.
  if (folder.is_search_folder()) return CopyReport();
  const std::string name = folder.DisplayName().value_or(Hex(folder_nid));
  Status prepared = PrepareTarget(source, target);
  if (!prepared.ok()) {
    Record(name, prepared);
    return prepared;
  }
  TreeCopy tree(source, folder_nid, /*mail_only=*/false, CopyOptionsFor(target.format()), options_.commit_limits);
  return Fill(source, tree, name, target, target_parent);
}

Result<CopyReport> Conversion::CopyFolderMail(const messaging::Store& source, ndb::Nid folder_nid,
                                              messaging::StoreWriter& target, ndb::Nid target_folder) {
  auto opened = source.OpenFolder(folder_nid);
  if (!opened.ok()) {
    Record("mail of the folder " + Hex(folder_nid), opened.status());
    return opened.status();
  }
  const messaging::Folder& folder = *opened;
  if (folder.is_search_folder() || HoldsNoMail(folder)) return CopyReport();
  const std::string what = "mail of the folder \"" + folder.DisplayName().value_or(Hex(folder_nid)) + "\"";
  Status prepared = PrepareTarget(source, target);
  if (!prepared.ok()) {
    Record(what, prepared);
    return prepared;
  }
  TreeCopy tree(source, folder_nid, /*mail_only=*/true, CopyOptionsFor(target.format()), options_.commit_limits);
  return Fill(source, tree, what, target, target_folder);
}

Result<CopyReport> Conversion::Fill(const messaging::Store& source, TreeCopy& tree, const std::string& what,
                                    messaging::StoreWriter& first_target, ndb::Nid first_parent) {
  messaging::StoreWriter* target = &first_target;
  CopyReport own;
  int misses = 0;
  Status s;
  tree.StartTarget(*target, first_parent);
  for (;;) {
    s = PrepareTarget(source, *target);
    if (s.ok()) s = tree.CopyInto(folder_map_);
    if (tree.wrote_into_target()) target_written_ = true;
    CopyReport part = tree.TakeReport();
    const bool progressed = part.done.messages != 0;
    Add(part);
    AddReport(part, &own);
    if (!s.IsSizeLimit()) break;
    report_.size_limit_reached = true;
    if (next_output_ && target_written_) {
      auto next = next_output_();
      if (!next.ok()) {
        s = next.status();
        break;
      }
      target = next->first;
      tree.StartTarget(*target, next->second);
      folder_map_.clear();
      target_prepared_ = false;
      target_written_ = false;
      continue;
    }
    // What does not fit here is passed over (with a next output: it does
    // not fit even into an empty one).
    misses = progressed ? 1 : misses + 1;
    if (!next_output_ && misses >= kMaxMissesInARow) {
      tree.LeaveRest();
    } else {
      tree.SkipNext();
    }
    if (tree.done()) {
      part = tree.TakeReport();
      Add(part);
      AddReport(part, &own);
      s = Status::Ok();
      break;
    }
  }
  listed_messages_.Absorb(tree.TakeListedMessages());
  if (s.ok()) return own;
  if (s.code() == Status::Code::kCancelled && !next_output_ && tree.top_copy() != 0) {
    // Nothing of a cancelled folder stays in a store the caller keeps.
    (void)DeleteFolder(*target, tree.top_copy());
    ForgetDeletedCopies(target->store());
  }
  Record(what, s);
  return s;
}

Result<CopyReport> Conversion::RecoverOrphans(const messaging::Store& source, ndb::Nid source_top,
                                  messaging::StoreWriter& first_target, ndb::Nid first_top) {
  messaging::StoreWriter* target = &first_target;
  ndb::Nid target_top = first_top;
  CopyReport part;
  auto recovered = pst::convert::RecoverOrphans(source, source_top, *target, target_top,
                                                CopyOptionsFor(target->format()), copied_anywhere_, listed_messages_,
                                                &part);
  if (!recovered.ok() && recovered.status().IsSizeLimit() && next_output_ && target_written_) {
    // One commit that does not fit a full output goes into the next one.
    auto next = next_output_();
    if (next.ok()) {
      target = next->first;
      target_top = next->second;
      folder_map_.clear();
      target_prepared_ = false;
      target_written_ = false;
      Status prepared = PrepareTarget(source, *target);
      recovered = prepared.ok() ? pst::convert::RecoverOrphans(source, source_top, *target, target_top,
                                                               CopyOptionsFor(target->format()), copied_anywhere_,
                                                               listed_messages_, &part)
                                : Result<ndb::Nid>(prepared);
    } else {
      recovered = next.status();
    }
  }
  if (!recovered.ok()) {
    Record(kRecoveredItemsName, recovered.status());
    return recovered.status();
  }
  if (*recovered != 0) target_written_ = true;
  Add(part);
  return part;
}

void Conversion::ForgetDeletedCopies(const messaging::Store& target) {
  std::erase_if(folder_map_, [&](const auto& entry) { return !target.database().FindNode(entry.second).ok(); });
}

}  // namespace pst::convert
