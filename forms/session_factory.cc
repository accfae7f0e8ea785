#include "forms/session_factory.h"

#ifdef QUILLMAR_HAVE_PST_SESSION
#include "platform/pst_session.h"
#endif

namespace quillmar::forms {

#ifdef QUILLMAR_HAVE_PST_SESSION

std::unique_ptr<platform::SessionFactory> CreateSessionFactory() {
  return std::make_unique<platform::PstSessionFactory>();
}

#else

namespace {

// A build without the store engine: every session request fails the way a
// missing session component does, so browsing reports the "Outlook Error"
// message instead of pretending to read the store.
class MissingSessionFactory : public platform::SessionFactory {
 public:
  pst::Result<std::shared_ptr<platform::RDOSession>> CreateSession(std::string_view) override {
    return pst::Status::NotSupported("session: the store engine is not part of this build");
  }
};

}  // namespace

std::unique_ptr<platform::SessionFactory> CreateSessionFactory() {
  return std::make_unique<MissingSessionFactory>();
}

#endif

}  // namespace quillmar::forms
