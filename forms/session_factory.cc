#include "forms/session_factory.h"

#include "platform/pst_session.h"

namespace quillmar::forms {

std::unique_ptr<platform::SessionFactory> CreateSessionFactory() {
  return std::make_unique<platform::PstSessionFactory>();
}

}  // namespace quillmar::forms
