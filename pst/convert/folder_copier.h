// Copies a folder with everything below it — subfolders, messages, FAI
// messages, recipients, attachments and embedded messages — from one store
// into a folder of another store, which may be of the other format. Values
// go through a PropertyConverter; large values are streamed from the source
// block by block. A message or folder that cannot be copied is reported and
// skipped; running out of space or being cancelled ends the copy.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "pst/base/result.h"
#include "pst/convert/property_converter.h"
#include "pst/messaging/store.h"
#include "pst/messaging/store_writer.h"

namespace pst::convert {

struct CopyProgress {
  uint64_t folders = 0;
  uint64_t messages = 0;  // normal and FAI
  uint64_t attachments = 0;
  uint64_t bytes = 0;     // bytes of property values copied
  std::string current_folder;  // UTF-8 display name
};

// Returns false to cancel the copy.
using ProgressCallback = std::function<bool(const CopyProgress&)>;

struct CopyOptions {
  // Code page of folder names (and of the source's 8-bit strings that carry
  // none of their own); see codepage_policy.h for how objects' strings are
  // written into an ANSI target.
  uint32_t default_codepage = 1252;
  ProgressCallback progress;
  // Progress is also reported every this many bytes inside large values.
  uint64_t progress_bytes = 1 << 20;
};

struct CopyReport {
  CopyProgress done;
  uint64_t fai_messages = 0;
  uint64_t embedded_messages = 0;
  ConversionCounters strings;
  // Objects that could not be copied, and properties that were left out,
  // each with where and why.
  std::vector<std::string> failures;
  std::vector<std::string> dropped_properties;
  // Where characters were replaced (folder path, message, property, how
  // many, which code page), and which objects were given a code page
  // (PidTagMessageCodepage) so that their label matches their 8-bit
  // strings. Lists stop at kMaxListed entries; the counts go on.
  static constexpr size_t kMaxListed = 1000;
  std::vector<std::string> replacements;
  std::vector<std::string> codepages_declared;
  uint64_t objects_declared = 0;
  // Source folder NID -> its copy's NID.
  std::map<ndb::Nid, ndb::Nid> folder_map;
};

class FolderCopier {
 public:
  FolderCopier(const messaging::Store& source, messaging::StoreUpdate& target, bool unicode_target,
               const CopyOptions& options, CopyReport* report);
  ~FolderCopier();

  // Copies source folder `folder` as a new subfolder of `target_parent`.
  Result<ndb::Nid> CopyFolder(ndb::Nid folder, ndb::Nid target_parent);
  // Copies the messages and FAI messages held by source folder `folder`
  // (not its subfolders) into the existing target folder `target_folder`.
  Status CopyContents(ndb::Nid folder, ndb::Nid target_folder);

 private:
  class TargetNames;

  Result<ndb::Nid> CopyFolderTree(ndb::Nid folder, ndb::Nid target_parent, const std::string& path,
                                  int depth);
  Status CopyMessages(const messaging::Folder& folder, ndb::Nid target, bool associated,
                      const std::string& path);
  // `codepage`, when given, receives the code page the message's strings
  // were written in.
  Result<messaging::MessageInput> ReadMessage(const messaging::Message& message, int depth,
                                              const std::string& where, uint32_t* codepage = nullptr);
  // The code page the message's strings are written in; `declare` tells
  // whether the copy must be labelled with it.
  Result<uint32_t> TargetCodepage(const messaging::Message& message, const std::string& where, bool* declare);
  Result<Bytes> Convert(ltp::PropTag tag, ByteSpan value, uint32_t codepage, const std::string& where);
  Status ConvertProperties(const ltp::PropertyContext& pc, uint32_t codepage, const std::string& where,
                           std::vector<messaging::PropertyInput>* out, bool skip_object);
  Result<std::vector<ltp::PropValue>> ConvertCells(const std::vector<ltp::PropValue>& cells,
                                                   uint32_t codepage, const std::string& where);
  ndb::StreamSource StreamFrom(std::shared_ptr<ltp::ValueStream> stream);
  Status Report();

  const messaging::Store& source_;
  messaging::StoreUpdate& target_;
  bool unicode_target_;
  CopyOptions options_;
  CopyReport* report_;
  std::unique_ptr<TargetNames> names_;
  std::unique_ptr<PropertyConverter> converter_;
  // Keeps what streamed values read from alive until the message is written.
  std::vector<std::shared_ptr<void>> keep_alive_;
  uint64_t bytes_at_last_report_ = 0;
  bool cancelled_ = false;
};

}  // namespace pst::convert
