// libFuzzer target: converts a store given as arbitrary bytes into a new
// store of the other format, in memory. A damaged source must give clean
// errors; whatever is written must be a sound store.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "pst/base/id_map.h"
#include "pst/check/check.h"
#include "pst/convert/salvage.h"
#include "pst/convert/store_copy.h"
#include "pst/io/memory_file.h"
#include "pst/messaging/store_creator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto source_file = std::make_shared<pst::io::MemoryFile>(pst::Bytes(data, data + size));
  auto source = pst::messaging::Store::Open(source_file);
  if (!source.ok()) return 0;
  auto top = (*source)->IpmSubtreeNid();
  if (!top.ok()) return 0;
  auto folder = (*source)->OpenFolder(*top);
  if (!folder.ok()) return 0;
  auto children = folder->SubfolderNids();
  if (!children.ok()) return 0;

  auto target_file = std::make_shared<pst::io::MemoryFile>();
  pst::messaging::StoreOptions options;
  options.format = (*source)->format() == pst::ndb::Format::kAnsi ? pst::ndb::Format::kUnicode
                                                                   : pst::ndb::Format::kAnsi;
  if (!pst::messaging::CreateStore(target_file, options).ok()) std::abort();
  pst::ndb::WriteOptions write_options;
  write_options.max_file_size = 8 << 20;  // keep runs small
  auto writer = pst::messaging::StoreWriter::Open(target_file, write_options);
  if (!writer.ok()) std::abort();
  auto target_top = (*writer)->store().IpmSubtreeNid();
  if (!target_top.ok()) std::abort();
  std::map<pst::ndb::Nid, pst::ndb::Nid> folder_map;
  pst::IdSet listed;
  for (pst::ndb::Nid child : *children) {
    pst::convert::CopyReport report;
    (void)pst::convert::CopyFolderTree(**source, child, **writer, *target_top, {}, &report, &folder_map);
    listed.InsertAll(report.listed_messages);
  }
  // Salvage: what no table reached goes to "Recovered Items".
  pst::convert::CopyReport orphans;
  (void)pst::convert::RecoverOrphans(**source, *top, **writer, *target_top, {}, folder_map, listed, &orphans);
  // Whatever the source held, the output must be sound.
  pst::check::CheckReport check = pst::check::CheckStore(*target_file);
  if (check.errors > 0) std::abort();
  return 0;
}
