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

void Conversion::Add(const CopyReport& part) {
  CopyReport& total = report_.copied;
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
  // Objects left out and properties dropped are listed whole: each one is mail lost.
  total.failures.insert(total.failures.end(), part.failures.begin(), part.failures.end());
  total.dropped_properties.insert(total.dropped_properties.end(), part.dropped_properties.begin(),
                                  part.dropped_properties.end());
  append(total.replacements, part.replacements);
  append(total.codepages_declared, part.codepages_declared);
  // Salvage notes are listed whole too: each says where mail may be wrong or missing.
  total.recovered_with_damage.insert(total.recovered_with_damage.end(), part.recovered_with_damage.begin(),
                                     part.recovered_with_damage.end());
  total.unreadable.insert(total.unreadable.end(), part.unreadable.begin(), part.unreadable.end());
  total.messages_recovered_with_damage += part.messages_recovered_with_damage;
  total.messages_unreadable += part.messages_unreadable;
  listed_messages_.insert(part.listed_messages.begin(), part.listed_messages.end());
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
  CopyReport part;
  auto copied = CopyFolderTree(source, folder_nid, target, target_parent, CopyOptionsFor(target.format()), &part,
                               &folder_map_);
  if (!copied.ok()) {
    Record(name, copied.status());
    return copied.status();
  }
  Add(part);
  return part;
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
  CopyReport part;
  Status copied = CopyFolderContents(source, folder_nid, target, target_folder, CopyOptionsFor(target.format()),
                                     &part);
  if (!copied.ok()) {
    Record(what, copied);
    return copied;
  }
  Add(part);
  return part;
}

Result<CopyReport> Conversion::RecoverOrphans(const messaging::Store& source, ndb::Nid source_top,
                                  messaging::StoreWriter& target, ndb::Nid target_top) {
  CopyReport part;
  auto recovered = pst::convert::RecoverOrphans(source, source_top, target, target_top,
                                                CopyOptionsFor(target.format()), folder_map_, listed_messages_,
                                                &part);
  if (!recovered.ok()) {
    Record(kRecoveredItemsName, recovered.status());
    return recovered.status();
  }
  Add(part);
  return part;
}

void Conversion::ForgetDeletedCopies(const messaging::Store& target) {
  std::erase_if(folder_map_, [&](const auto& entry) { return !target.database().FindNode(entry.second).ok(); });
}

Result<NewStoreResult> ConvertToNewStore(messaging::Store& source, ndb::Format format,
                                         const OutputPathCandidate& candidate, ConversionOptions options) {
  PST_ASSIGN_OR_RETURN(ndb::Nid source_top, source.IpmSubtreeNid());
  PST_ASSIGN_OR_RETURN(messaging::Folder top_folder, source.OpenFolder(source_top));
  PST_ASSIGN_OR_RETURN(std::vector<ndb::Nid> children, top_folder.SubfolderNids());

  messaging::StoreOptions store_options;
  store_options.format = format;
  store_options.display_name = "Personal Folders";
  store_options.codepage = source.default_codepage();
  PST_ASSIGN_OR_RETURN(OutputFile output, CreateOutputFile(candidate, store_options));

  NewStoreResult result;
  result.partial_path = output.partial_path;
  const ndb::WriteOptions write_options = OutputWriteOptions(format, options.max_file_size);
  std::error_code size_error;
  const uint64_t empty_size = std::filesystem::file_size(output.partial_path, size_error);
  if (!size_error && empty_size > write_options.max_file_size) {
    DiscardOutputFile(output);
    return Status::InvalidArgument("the size limit of " + std::to_string(write_options.max_file_size) +
                                   " bytes is below the size of an empty store (" + std::to_string(empty_size) +
                                   " bytes)");
  }
  const auto folder_done = options.folder_done;
  Conversion conversion(source, std::move(options));
  ConversionReport& report = conversion.report();
  if (format == ndb::Format::kAnsi || write_options.max_file_size != ndb::WriteOptions().max_file_size) {
    report.size_limit = write_options.max_file_size;
  }

  Status failure = [&]() -> Status {
    PST_ASSIGN_OR_RETURN(auto file, io::OpenReadWrite(output.partial_path));
    PST_ASSIGN_OR_RETURN(auto writer, messaging::StoreWriter::Open(
                                          std::shared_ptr<io::WritableFile>(std::move(file)), write_options));
    PST_ASSIGN_OR_RETURN(ndb::Nid target_top, writer->store().IpmSubtreeNid());
    PST_RETURN_IF_ERROR(DeleteSubfolders(*writer, target_top));
    for (ndb::Nid child : children) {
      auto copied = conversion.CopyFolder(source, child, *writer, target_top);
      if (report.cancelled) return Status::Ok();
      if (folder_done) {
        auto folder = source.OpenFolder(child);
        folder_done(folder.ok() ? folder->DisplayName().value_or(Hex(child)) : Hex(child), copied.status());
      }
    }
    (void)conversion.CopyFolderMail(source, source_top, *writer, target_top);
    if (report.cancelled) return Status::Ok();
    (void)conversion.RecoverOrphans(source, source_top, *writer, target_top);
    if (report.cancelled) return Status::Ok();
    Status wastebasket = EnsureWastebasket(*writer);
    if (!wastebasket.ok()) conversion.report().folders_not_copied.push_back({"Deleted Items", wastebasket});
    return Status::Ok();
  }();  // the writer closes the file here

  result.report = conversion.report();
  if (!failure.ok() || report.cancelled) {
    DiscardOutputFile(output);
    result.failure = failure.ok() ? Status::Cancelled("the conversion was cancelled") : failure;
    return result;
  }
  if (report.write_failed) {
    // An output the disk cut short holds less than the source: it never
    // gets a finished-looking name. What was written stays under its
    // ".partial" name when it is a sound store, else it is removed.
    if (!IsSoundStore(output.partial_path)) {
      DiscardOutputFile(output);
      result.failure = Status::Corruption("writing the output failed and what was written is not a sound store");
      return result;
    }
    result.failure = Status::OutOfSpace("writing the output failed");
    for (const FolderNotCopied& folder : report.folders_not_copied) {
      if (IsWriteFailure(folder.why)) {
        result.failure = folder.why;
        break;
      }
    }
    return result;
  }
  auto published = PublishOutputFile(output);
  if (!published.ok()) {
    result.failure = published.status();
    return result;
  }
  result.path = *published;
  return result;
}

}  // namespace pst::convert
