#pragma once
// "/status": what the service has switched right now, for an administrator.
// It changes nothing: logger.ini and the backup file are read under shared
// locks, through handles that share reading and writing, and neither is
// waited for longer than a moment.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

#include <boost/chrono/duration.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "Ostrel/modebackup/LoggerFiles.h"

namespace Ostrel {

// What the service manager tells of the service.
struct ServiceState {
    enum Kind { notInstalled, stopped, startPending, running, stopPending, other } kind;
    std::uint32_t processId;  // 0 while it has no process
};

// Asks the service manager. Throws std::runtime_error naming the call that
// failed and its error.
ServiceState queryServiceState(const std::wstring& serviceName);

// How long the status waits for a file that another process holds: the
// service keeps its locks for the moment of one write.
const boost::chrono::milliseconds statusFileWait(1000);

// Writes the service's state (from askManager; what it throws is printed),
// each line the backup file holds with the mode logger.ini shows now and
// the mode saved for it, each lineset inside its interval at `now` (its
// last moment at or before now, up to that moment plus its interval) with
// its lines, mode and the revert's due time, and the next toggle or revert.
// Returns true when the service runs and every recorded line belongs to a
// lineset inside its interval; otherwise the last lines say why, each
// beginning "Not OK: ". Throws nothing for what the files or the registry
// hold.
bool printStatus(const std::function<ServiceState()>& askManager, const boost::posix_time::ptime& now,
                 const LoggerFiles& files, std::ostream& os);

// printStatus for the named service, now.
bool showStatus(const std::wstring& serviceName, const LoggerFiles& files, std::ostream& os);

}  // namespace Ostrel
