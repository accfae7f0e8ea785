#include "core/run_environment.h"

#include <ctime>
#include <filesystem>
#include <system_error>
#include <utility>

namespace quillmar::core {
namespace fs = std::filesystem;

SystemRunEnvironment::SystemRunEnvironment(std::function<void()> process_events)
    : process_events_(std::move(process_events)) {}

LocalDateTime SystemRunEnvironment::Now() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
          local.tm_hour,        local.tm_min,     local.tm_sec};
}

std::string SystemRunEnvironment::ProgramFolder() {
  std::error_code ec;
  fs::path program;
#ifdef __linux__
  program = fs::read_symlink("/proc/self/exe", ec);
#endif
  fs::path folder = (!ec && !program.empty()) ? program.parent_path() : fs::current_path(ec);
  std::u8string text = folder.u8string();
  return std::string(text.begin(), text.end());
}

void SystemRunEnvironment::ProcessPendingEvents() {
  if (process_events_) process_events_();
}

}  // namespace quillmar::core
