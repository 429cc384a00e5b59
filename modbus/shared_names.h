// The names the gateway takes from the code it shares with the other board
// clients (tools/common), used unqualified throughout dio_modbusd.
#ifndef DIO_MODBUSD_SHARED_NAMES_H
#define DIO_MODBUSD_SHARED_NAMES_H

#include "busy_write_log.h"
#include "clock.h"
#include "line_claim.h"
#include "line_holder.h"
#include "line_io.h"

namespace dio_modbusd {

using varnik::tools::BusyWriteLog;
using varnik::tools::ClaimLines;
using varnik::tools::ClaimSettings;
using varnik::tools::Clock;
using varnik::tools::Describe;
using varnik::tools::LineHolder;
using varnik::tools::LineIo;
using varnik::tools::MakeMemoryLines;
using varnik::tools::Microseconds;
using varnik::tools::OpenBoardLines;
using varnik::tools::RequireClaimsKept;
using varnik::tools::TimePoint;

}  // namespace dio_modbusd

#endif
