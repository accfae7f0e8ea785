// The message-store session factory the program runs on.
#pragma once

#include <memory>

#include "session/session.h"

namespace quillmar::forms {

std::unique_ptr<session::SessionFactory> CreateSessionFactory();

}  // namespace quillmar::forms
