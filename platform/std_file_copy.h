// FileCopier over std::filesystem.
#pragma once

#include "platform/shell.h"

namespace quillmar::platform {

class StdFileCopier : public FileCopier {
 public:
  FileCopyResult CopyFile(const std::string& source, const std::string& destination,
                          bool fail_if_exists) override;
};

}  // namespace quillmar::platform
