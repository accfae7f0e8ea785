// One conversion: what copying a store into a store of the other format
// means, whether quillmar-cli runs it into a new file or the session runs it
// folder by folder into a store the tool attached. Everything that decides
// what the output holds lives here:
//  - code pages (codepage_policy.h): the source reads its 8-bit names with
//    the code page UseNamesCodepage chooses, an ANSI output records the one
//    its names are written in, and every object's strings match its label;
//  - the size limit: an ANSI output never grows past the format's ceiling or
//    a smaller limit the caller sets; copies are committed in bounded pieces
//    (tree_copy.h), so a folder that does not fit whole is copied as far as
//    it fits and what is left out is listed per folder; with a next output
//    (ConvertToNewStore's split) the copy goes on there instead;
//  - a folder copy whose table is full gets continuation folders beside it;
//  - the password of a protected source protects the output before any mail
//    reaches it;
//  - special-folder roles follow the copies;
//  - the report: what was copied, what was not and why, what was left out,
//    where characters were replaced and which objects were labelled anew.
// ConvertToNewStore adds the rest of a whole run: the output is made under a
// ".partial" name that is given its final name only when the run is over, an
// output whose writing failed is kept only if it is still a sound store, and
// a cancelled run leaves nothing behind.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pst/base/id_set.h"
#include "pst/base/result.h"
#include "pst/convert/folder_copier.h"
#include "pst/convert/tree_copy.h"
#include "pst/io/file.h"
#include "pst/messaging/store.h"
#include "pst/messaging/store_writer.h"
#include "pst/ndb/transaction.h"

namespace pst::convert {

struct ConversionOptions {
  // The code page of names and of strings that declare none, when the user
  // chooses it (it must be an ANSI code page: IsAnsiCodepage).
  std::optional<uint32_t> codepage;
  // An output may not grow past this many bytes (0: only the format's own
  // ceiling, kAnsiMaxFileSize for ANSI).
  uint64_t max_file_size = 0;
  ProgressCallback progress;
  uint64_t progress_bytes = 1 << 20;
  // Copy what can still be read from a damaged source (CopyOptions::salvage).
  bool salvage = true;
  // Told after each top-level folder ConvertToNewStore copied (or could not).
  std::function<void(const std::string& name, const Status& outcome)> folder_done;
  // How much one commit of a copy may hold.
  CommitLimits commit_limits;
  // ConvertToNewStore: when an output is full, go on in a new one (the
  // candidate's name with "-part2", "-part3"... before its extension).
  bool split = false;
  // ConvertToNewStore: wraps each output file as it is opened for writing
  // (tests hand in a file that fails).
  std::function<std::shared_ptr<io::WritableFile>(std::shared_ptr<io::WritableFile>)> wrap_output;
};

// The format a store of `source` format is converted into when the user
// does not say: ANSI becomes Unicode, Unicode becomes ANSI, and an offline
// store (4 KiB pages) becomes a Unicode personal-folders store.
ndb::Format DefaultOutputFormat(ndb::Format source);

// How a store of `format` is opened for writing as a conversion's output.
ndb::WriteOptions OutputWriteOptions(ndb::Format format, uint64_t max_file_size);

// True when the store at `path` opens and `check` finds it sound: after a
// failed write, an output is kept only then.
bool IsSoundStore(const std::string& path);

// Chooses the code page of the source's names (ChooseNamesCodepage) and
// makes the source read its 8-bit strings that declare none with it.
uint32_t UseNamesCodepage(messaging::Store& source, std::optional<uint32_t> user_choice);

struct FolderNotCopied {
  std::string name;
  Status why;  // kSizeLimit, kOutOfSpace, kIOError, kCorruption...
};

struct ConversionReport {
  uint32_t names_codepage = 0;
  // Everything copied, summed over the folders (with what was left out).
  CopyReport copied;
  std::vector<FolderNotCopied> folders_not_copied;
  bool size_limit_reached = false;
  uint64_t size_limit = 0;  // the output's limit, when it has one
  bool write_failed = false;  // the disk was full or failed a write
  bool cancelled = false;

  // True when every folder, message and property went into the output as
  // the source holds it (nothing was read through damage).
  bool complete() const {
    return folders_not_copied.empty() && copied.left_out.empty() && copied.failures.empty() &&
           copied.dropped_properties.empty() &&
           copied.recovered_with_damage.empty() && copied.unreadable.empty() && !write_failed && !cancelled;
  }
};

// Copies from one source into one target. The source must read with
// UseNamesCodepage's choice. Neither store is held between calls.
// Opens the output a full one is followed by: its writer and top folder.
using NextOutput = std::function<Result<std::pair<messaging::StoreWriter*, ndb::Nid>>()>;

class Conversion {
 public:
  Conversion(const messaging::Store& source, ConversionOptions options);

  const ConversionReport& report() const { return report_; }
  ConversionReport& report() { return report_; }
  // Where the calls that follow report their progress (and may cancel).
  void set_progress(ProgressCallback progress, uint64_t every_bytes) {
    options_.progress = std::move(progress);
    options_.progress_bytes = every_bytes;
  }

  // Where a copy goes on when its target is full (instead of leaving the
  // rest out); the calls that follow go into the store it opened.
  void set_next_output(NextOutput next) { next_output_ = std::move(next); }

  // Copies `folder` with all below it as a new subfolder of `target_parent`,
  // in bounded commits. A search folder is passed over. The outcome goes
  // into report(); the return value is this call's own report (with what
  // did not fit in left_out), or why the copy ended: then what was
  // committed stays, except after a cancel, which removes the copy.
  Result<CopyReport> CopyFolder(const messaging::Store& source, ndb::Nid folder,
                                messaging::StoreWriter& target, ndb::Nid target_parent);
  // Copies the mail `folder` holds itself (not its subfolders) into
  // `target_folder` (nothing is written when there is nothing to copy).
  Result<CopyReport> CopyFolderMail(const messaging::Store& source, ndb::Nid folder,
                                    messaging::StoreWriter& target, ndb::Nid target_folder);

  // After every folder below the source's top folder `source_top` and the
  // top folder's own mail went through CopyFolder / CopyFolderMail: copies
  // what no table reached (a damaged source) into "Recovered Items" in
  // `target_top` (salvage.h), in one commit; with a next output, that goes
  // there when the target is full. Nothing is written when there is nothing.
  // Returns this call's own report, as CopyFolder does.
  Result<CopyReport> RecoverOrphans(const messaging::Store& source, ndb::Nid source_top, messaging::StoreWriter& target,
                        ndb::Nid target_top);

  // Forgets copies that no longer exist in the target (a folder deleted
  // after it was copied), so later copies do not refer to them.
  void ForgetDeletedCopies(const messaging::Store& target);

 private:
  // Gives the target the source's password and, for an ANSI target, the
  // record of its names' code page; once per target.
  Status PrepareTarget(const messaging::Store& source, messaging::StoreWriter& target);
  void Record(const std::string& what, const Status& why);
  void Add(const CopyReport& part);
  CopyOptions CopyOptionsFor(ndb::Format target_format) const;
  // Runs `tree` into the target, and on into the next outputs or past what
  // does not fit; `what` names it in the report.
  Result<CopyReport> Fill(const messaging::Store& source, TreeCopy& tree, const std::string& what,
                          messaging::StoreWriter& target, ndb::Nid target_parent);

  ConversionOptions options_;
  NextOutput next_output_;
  bool target_written_ = false;  // the current target holds something this conversion copied
  ConversionReport report_;
  std::map<ndb::Nid, ndb::Nid> folder_map_;  // source folder -> its copy in the current target
  // The same over every target, and folders that did not fit (-> 0): what
  // RecoverOrphans must not take for orphans.
  std::map<ndb::Nid, ndb::Nid> copied_anywhere_;
  IdSet listed_messages_;  // source messages some table or parent link reached
  bool target_prepared_ = false;
};

// Where ConvertToNewStore writes: the n-th (from 1) path to try for the
// finished output; "<path>.partial" is used while it is written.
using OutputPathCandidate = std::function<std::string(int n)>;

struct NewStoreResult {
  std::string path;  // the finished output (the first part); empty when none was kept
  std::vector<std::string> parts;  // every finished output, in order (split: more than one)
  ConversionReport report;
  Status failure;  // why there is no output, or why it stayed unfinished
  std::string partial_path;  // the output while it was written; kept when it could not be finished
};

// The whole conversion of `source` into a new store of `format`: every
// top-level folder of the visible tree, the top folder's own mail, the
// Deleted Items role. Fails only when no output could be made; a run that
// copied less than everything still returns its output and says so in the
// report, except when writing failed (a full disk): then the output keeps
// its ".partial" name (partial_path) if it is sound, or is removed. When
// options.progress returns false the run stops between objects and the
// unfinished output is removed (report().cancelled). A size limit below the
// size of an empty store is refused (InvalidArgument) before anything is
// copied. With options.split, a full output is finished (Deleted Items
// given its role) and the run goes on in the next part, where the folders
// on the way are made anew; a message larger than a whole part is left out.
Result<NewStoreResult> ConvertToNewStore(messaging::Store& source, ndb::Format format,
                                         const OutputPathCandidate& candidate, ConversionOptions options);

}  // namespace pst::convert
