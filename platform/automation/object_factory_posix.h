// For tests and diagnostics of the POSIX object factory: the process behind a proxy.
#ifndef MAILVANE_PLATFORM_AUTOMATION_OBJECT_FACTORY_POSIX_H_
#define MAILVANE_PLATFORM_AUTOMATION_OBJECT_FACTORY_POSIX_H_

#include <sys/types.h>

#include "platform/automation/automation.h"

namespace mailvane {

// The process id of the object's program when object came from NewChildProcessObjectFactory and
// that program has not been reaped yet; -1 otherwise.
pid_t ChildProcessId(const AutomationObject& object);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_AUTOMATION_OBJECT_FACTORY_POSIX_H_
