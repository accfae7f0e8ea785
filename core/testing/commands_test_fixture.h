// The commands wired to the test doubles, a fake session world, the real
// file copy and a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include "core/global.h"
#include "core/main_commands.h"
#include "core/testing/test_doubles.h"
#include "platform/std_file_copy.h"
#include "pst/testing/temp_dir.h"
#include "session/testing/fake_session.h"

namespace quillmar::core {

class CommandsTest : public ::testing::Test {
 protected:
  MainCommandsDeps Deps() {
    MainCommandsDeps deps;
    deps.window = &window_;
    deps.dialogs = &dialogs_;
    deps.sessions = &world_;
    deps.global = &global_;
    deps.environment = &env_;
    return deps;
  }

  // Picks path in the file-open dialog and runs browse.
  void Browse(const std::string& path) {
    dialogs_.answer = path;
    commands_.CmdBrowse_Click();
  }

  pst::test::TempDir dir_;
  RecordingWindow window_;
  ScriptedFileDialogs dialogs_;
  session::FakeSessionWorld world_;
  ScriptedFolderPicker picker_;
  platform::StdFileCopier copier_;
  Global global_{picker_, copier_};
  FakeRunEnvironment env_;
  MainCommands commands_{Deps()};
};

}  // namespace quillmar::core
