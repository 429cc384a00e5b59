// Who drives which output and LED: the claims of the board connections,
// each line held by at most one client (named by its id), with the level it
// gets when the claim ends or its holder's lease runs out. One lease per
// holder: the last claim's lease_ms applies to all of its lines.
#ifndef DIO_BOARDD_CLAIMS_H
#define DIO_BOARDD_CLAIMS_H

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "varnik_dio_board.h"

namespace dio_boardd {

// Lines to drive to their safe values, and the log line that says so.
struct SafeLevels {
  uint32_t lines = 0;   // the lines driven
  uint32_t values = 0;  // their levels, bit n = line n
  std::string log;
};

// The request's claim, checked (claim_requests.h).
struct ClaimRequest {
  uint32_t lines = 0;
  uint32_t safe_values = 0;
  bool keep = false;
  uint32_t lease_ms = 0;
  std::string consumer;
};

// What vdio_get_claim tells of a held line.
struct ClaimView {
  pid_t pid = 0;
  uint32_t lease_ms = 0;
  uint32_t flags = 0;  // VDIO_CLAIM_INFO_* but PULSING
  std::string consumer;
};

class ClaimTable {
 public:
  // The lines held by clients other than client (0: by any client).
  uint32_t HeldByOthers(uint64_t client) const;
  uint32_t HeldBy(uint64_t client) const;
  uint32_t Held() const { return HeldByOthers(0); }

  // Claims (or updates) every line of request for client, whose process is
  // pid, at now. The caller checked that no other client holds them.
  void Claim(uint64_t client, pid_t pid, const ClaimRequest &request, uint64_t now);

  // Ends client's claims on lines (all of them when lines is every line);
  // the safe levels to apply, logged with reason. Nothing when it held none.
  std::optional<SafeLevels> End(uint64_t client, uint32_t lines, const std::string &reason);

  // A request of client at now feeds its lease: the log line of a lease
  // that was out and is fed again.
  std::optional<std::string> Feed(uint64_t client, uint64_t now);
  // client wrote (lines it may write): its lines no longer stand at the
  // safe values of a lease that ran out.
  void Wrote(uint64_t client);

  // Leases that ran out by now: each holder's safe levels, logged.
  std::vector<SafeLevels> Expire(uint64_t now);
  // When the next lease runs out, if one may.
  std::optional<uint64_t> NextExpiry() const;

  // Who holds line, as client asks: nothing when nobody does.
  std::optional<ClaimView> View(int line, uint64_t client) const;

 private:
  struct LineClaim {
    uint64_t holder = 0;  // 0: nobody
    bool safe_value = false;
    bool keep = false;
    std::string consumer;
  };
  struct Holder {
    pid_t pid = 0;
    std::string consumer;  // of its last claim, for its lease's log
    uint32_t lease_ms = 0;
    uint64_t last_request_ns = 0;
    bool lease_out = false;     // ran out, and no request came since
    bool at_safe_values = false;  // ran out, and the holder wrote nothing since
  };

  // The safe levels of client's lines in lines: every one of them when
  // keeping is ignored (a lease), else those not kept (a claim's end).
  SafeLevels Safe(uint64_t client, uint32_t lines, bool ignore_keep = false) const;
  std::string Owner(uint64_t client, uint32_t lines) const;

  std::array<LineClaim, VDIO_LINE_COUNT> lines_{};
  std::map<uint64_t, Holder> holders_;
};

}  // namespace dio_boardd

#endif
