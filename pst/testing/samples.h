// The sample stores the tests read: real files from several Outlook versions
// and other programs, kept read-only outside the repository (the build's
// QUILLMAR_TESTDATA_DIR). A test that changes a store copies it first.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace pst::test {

// The folder of sample stores.
std::filesystem::path SampleDir();

// The path of the sample store called name (e.g. "unicode-pstsdk-sample1.pst").
std::string SamplePath(std::string_view name);

// True when the sample exists; for a test that may run without it:
//   if (!HaveSample(name)) GTEST_SKIP() << name << " is not in " << SampleDir();
bool HaveSample(std::string_view name);

// Every store in the folder (*.pst and *.ost), sorted by name. Empty when
// the folder cannot be read.
std::vector<std::filesystem::path> SampleStores();

}  // namespace pst::test
