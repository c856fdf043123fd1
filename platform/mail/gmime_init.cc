#include "platform/mail/gmime_init.h"

#include <gmime/gmime.h>

namespace mailvane {
namespace {

// Initialisation, not state: built once (thread-safely, as a function-local static) and torn down
// at exit so that leak checkers see GMime's caches released.
struct GmimeLibrary {
  GmimeLibrary() { g_mime_init(); }
  ~GmimeLibrary() { g_mime_shutdown(); }
};

}  // namespace

void EnsureGmimeInitialized() { static const GmimeLibrary library; }

}  // namespace mailvane
