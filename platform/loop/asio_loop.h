// For the POSIX layers only: the Asio context behind an EventLoop made by NewEventLoop, so that
// sockets, signals and child processes of a layer run on the program's one loop.
#ifndef MAILVANE_PLATFORM_LOOP_ASIO_LOOP_H_
#define MAILVANE_PLATFORM_LOOP_ASIO_LOOP_H_

#include <boost/asio/io_context.hpp>

#include "platform/loop/event_loop.h"

namespace mailvane {

// The loop must have been made by NewEventLoop.
boost::asio::io_context& AsioContext(EventLoop& loop);

}  // namespace mailvane

#endif  // MAILVANE_PLATFORM_LOOP_ASIO_LOOP_H_
