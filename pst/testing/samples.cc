#include "pst/testing/samples.h"

#include <algorithm>
#include <system_error>

namespace pst::test {

namespace fs = std::filesystem;

fs::path SampleDir() { return QUILLMAR_TESTDATA_DIR; }

std::string SamplePath(std::string_view name) { return (SampleDir() / name).string(); }

bool HaveSample(std::string_view name) {
  std::error_code ignored;
  return fs::is_regular_file(SamplePath(name), ignored);
}

std::vector<fs::path> SampleStores() {
  std::vector<fs::path> stores;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(SampleDir(), ec)) {
    const auto extension = entry.path().extension();
    if (extension == ".pst" || extension == ".ost") stores.push_back(entry.path());
  }
  std::sort(stores.begin(), stores.end());
  return stores;
}

}  // namespace pst::test
