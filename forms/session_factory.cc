#include "forms/session_factory.h"

#include "session/pst_session.h"

namespace quillmar::forms {

std::unique_ptr<session::SessionFactory> CreateSessionFactory() {
  return std::make_unique<session::PstSessionFactory>();
}

}  // namespace quillmar::forms
