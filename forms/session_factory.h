// The message-store session factory the program runs on.
#pragma once

#include <memory>

#include "platform/session.h"

namespace quillmar::forms {

std::unique_ptr<platform::SessionFactory> CreateSessionFactory();

}  // namespace quillmar::forms
