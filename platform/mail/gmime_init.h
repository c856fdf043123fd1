// GMime is initialised once per process, on first use by either half of the mail layer, and shut
// down at exit. Safe to call from any thread.
#ifndef MAILVANE_PLATFORM_MAIL_GMIME_INIT_H_
#define MAILVANE_PLATFORM_MAIL_GMIME_INIT_H_

namespace mailvane {

void EnsureGmimeInitialized();

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_MAIL_GMIME_INIT_H_
