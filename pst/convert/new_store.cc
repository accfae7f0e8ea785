// ConvertToNewStore: a whole conversion into new files, one or (split) as
// many as the mail needs.
#include <filesystem>
#include <memory>

#include "pst/base/hex.h"
#include "pst/convert/conversion.h"
#include "pst/convert/output_file.h"
#include "pst/convert/store_copy.h"
#include "pst/io/deferred_sync_file.h"
#include "pst/io/file.h"
#include "pst/io/write_behind_file.h"
#include "pst/io/writeback_file.h"

namespace pst::convert {
namespace {

bool IsWriteFailure(const Status& s) {
  return s.code() == Status::Code::kIOError || s.code() == Status::Code::kOutOfSpace;
}

// "dir/Name.pst" -> "dir/Name-part2.pst".
std::string PartName(const std::string& path, int part) {
  const std::string suffix = "-part" + std::to_string(part);
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + suffix;
  return path.substr(0, dot) + suffix + path.substr(dot);
}

// One output file while it is written.
struct Part {
  OutputFile file;
  std::unique_ptr<messaging::StoreWriter> writer;
  ndb::Nid top = 0;
  // The writer's commits do not wait for the disk: the file is unfinished
  // until it is published, and is synced once, before that (with the disk
  // kept busy meanwhile: writeback_file.h).
  std::shared_ptr<io::DeferredSyncFile> sync;
  // Above `sync`: the writes go to the disk on a second thread while the
  // next ones are made; every commit still waits for its own writes.
  std::shared_ptr<io::WriteBehindFile> behind;
};

}  // namespace

Result<NewStoreResult> ConvertToNewStore(messaging::Store& source, ndb::Format format,
                                         const OutputPathCandidate& candidate, ConversionOptions options) {
  PST_ASSIGN_OR_RETURN(ndb::Nid source_top, source.IpmSubtreeNid());
  PST_ASSIGN_OR_RETURN(messaging::Folder top_folder, source.OpenFolder(source_top));
  PST_ASSIGN_OR_RETURN(std::vector<ndb::Nid> children, top_folder.SubfolderNids());

  messaging::StoreOptions store_options;
  store_options.format = format;
  store_options.display_name = "Personal Folders";
  store_options.codepage = source.default_codepage();
  const ndb::WriteOptions write_options = OutputWriteOptions(format, options.max_file_size);
  std::vector<Part> parts;
  auto discard_all = [&parts]() {
    for (Part& part : parts) {
      part.writer.reset();
      DiscardOutputFile(part.file);
    }
  };
  // A new empty output: the first one, or the next part of a split.
  auto create = [&](OutputPathCandidate name) -> Status {
    PST_ASSIGN_OR_RETURN(OutputFile file, CreateOutputFile(std::move(name), store_options));
    std::error_code size_error;
    const uint64_t empty_size = std::filesystem::file_size(file.partial_path, size_error);
    if (!size_error && empty_size > write_options.max_file_size) {
      DiscardOutputFile(file);
      return Status::InvalidArgument("the size limit of " + std::to_string(write_options.max_file_size) +
                                     " bytes is below the size of an empty store (" + std::to_string(empty_size) +
                                     " bytes)");
    }
    parts.push_back(Part{std::move(file), nullptr, 0, nullptr, nullptr});
    return Status::Ok();
  };
  const auto wrap_output = options.wrap_output;
  // Opens the newest part for writing and empties its top folder.
  auto open = [&]() -> Status {
    Part& part = parts.back();
    PST_ASSIGN_OR_RETURN(auto opened, io::OpenReadWrite(part.file.partial_path));
    std::shared_ptr<io::WritableFile> file = std::move(opened);
    if (wrap_output) file = wrap_output(std::move(file));
    part.sync = std::make_shared<io::DeferredSyncFile>(std::make_shared<io::WritebackFile>(std::move(file)));
    part.behind = std::make_shared<io::WriteBehindFile>(part.sync);
    PST_ASSIGN_OR_RETURN(part.writer, messaging::StoreWriter::Open(part.behind, write_options));
    PST_ASSIGN_OR_RETURN(part.top, part.writer->store().IpmSubtreeNid());
    return DeleteSubfolders(*part.writer, part.top);
  };
  PST_RETURN_IF_ERROR(create(candidate));

  NewStoreResult result;
  const auto folder_done = options.folder_done;
  const bool split = options.split;
  Conversion conversion(source, std::move(options));
  ConversionReport& report = conversion.report();
  if (format == ndb::Format::kAnsi || write_options.max_file_size != ndb::WriteOptions().max_file_size) {
    report.size_limit = write_options.max_file_size;
  }
  Status sync_failure;
  auto finish_part = [&](Part& part) {
    Status wastebasket = EnsureWastebasket(*part.writer);
    if (!wastebasket.ok()) report.folders_not_copied.push_back({"Deleted Items", wastebasket});
    part.writer.reset();
    Status synced = part.behind->Flush();
    if (synced.ok()) synced = part.sync->SyncNow();
    if (!synced.ok() && sync_failure.ok()) sync_failure = synced;
    part.behind.reset();
    part.sync.reset();  // closes the file
  };
  if (split) {
    conversion.set_next_output([&]() -> Result<std::pair<messaging::StoreWriter*, ndb::Nid>> {
      finish_part(parts.back());
      const int number = static_cast<int>(parts.size()) + 1;
      const int first = parts.front().file.number;
      PST_RETURN_IF_ERROR(create([&candidate, first, number](int n) { return PartName(candidate(first + n - 1), number); }));
      PST_RETURN_IF_ERROR(open());
      return std::make_pair(parts.back().writer.get(), parts.back().top);
    });
  }

  Status failure = [&]() -> Status {
    PST_RETURN_IF_ERROR(open());
    for (ndb::Nid child : children) {
      auto copied = conversion.CopyFolder(source, child, *parts.back().writer, parts.back().top);
      if (report.cancelled) return Status::Ok();
      if (folder_done) {
        auto folder = source.OpenFolder(child);
        folder_done(folder.ok() ? folder->DisplayName().value_or(Hex(child)) : Hex(child), copied.status());
      }
    }
    (void)conversion.CopyFolderMail(source, source_top, *parts.back().writer, parts.back().top);
    if (report.cancelled) return Status::Ok();
    (void)conversion.RecoverOrphans(source, source_top, *parts.back().writer, parts.back().top);
    if (report.cancelled) return Status::Ok();
    finish_part(parts.back());
    return Status::Ok();
  }();
  for (Part& part : parts) {  // every file is closed here
    part.writer.reset();
    part.behind.reset();
    part.sync.reset();
  }

  result.report = conversion.report();
  result.partial_path = parts.back().file.partial_path;
  if (!failure.ok() || report.cancelled) {
    discard_all();
    result.failure = failure.ok() ? Status::Cancelled("the conversion was cancelled") : failure;
    return result;
  }
  if (!sync_failure.ok()) {
    // What was written may not be on the disk: nothing of it is kept.
    discard_all();
    result.failure = Status::IOError("the output could not be written to the disk: " + sync_failure.ToString());
    return result;
  }
  if (report.write_failed) {
    // An output the disk cut short holds less than the source: it never
    // gets a finished-looking name. What was written stays under its
    // ".partial" name when it is a sound store, else it is removed.
    bool sound = true;
    for (const Part& part : parts) sound = sound && IsSoundStore(part.file.partial_path);
    if (!sound) {
      discard_all();
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
  for (Part& part : parts) {
    auto published = PublishOutputFile(part.file);
    if (!published.ok()) {
      result.failure = published.status();
      result.partial_path = part.file.partial_path;
      return result;
    }
    result.parts.push_back(*published);
  }
  result.path = result.parts.front();
  return result;
}

}  // namespace pst::convert
