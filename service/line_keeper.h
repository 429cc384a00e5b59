// Claims applied to the board: which client may write which output and
// LED, the claim requests answered, and the safe values driven when a
// claim ends or its holder's lease runs out; and the pulses the service
// carries out, whose edges are written here too. The service's own writes are told to OutsideChanges, so that
// they are not taken for a program on the registers.
#ifndef DIO_BOARDD_LINE_KEEPER_H
#define DIO_BOARDD_LINE_KEEPER_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "claims.h"
#include "client.h"
#include "outside_changes.h"
#include "pulses.h"
#include "varnik_dio_board.h"

namespace dio_boardd {

class LineKeeper {
 public:
  LineKeeper(vdio_board *board, OutsideChanges &outside) : board_(board), outside_(outside) {}

  // 0 when client may write lines, -EBUSY when another client holds one
  // or one is pulsing.
  int32_t CheckWrite(uint64_t client, uint32_t lines) const;

  // The reply to a claim request (IsClaimRequest) of client, the whole
  // message of its wire::RequestSize, at now.
  std::vector<uint8_t> Answer(const Client &client, const uint8_t *message, uint64_t now);

  // A request of client's board connection at now: feeds its lease.
  void Feed(uint64_t client, uint64_t now);
  // client's write of lines went through: its lines stand at the levels
  // it wrote, no longer at the safe values of a lease that ran out.
  void Wrote(uint64_t client, uint32_t lines) {
    if ((lines & claims_.HeldBy(client)) != 0) claims_.Wrote(client);
  }
  // Writes the pulses' edges due by now and applies the safe values of the
  // leases run out by now.
  void Tick(uint64_t now);
  // When Tick has something to do next, if ever.
  std::optional<uint64_t> NextWakeNs() const;

  // Ends every claim of client (its connection ends for reason).
  void EndClaims(uint64_t client, const std::string &reason);

  // The lines client holds.
  uint32_t HeldBy(uint64_t client) const { return claims_.HeldBy(client); }
  // Every line held by any client.
  uint32_t Claimed() const { return claims_.Held(); }
  // Ends the pulses under way, their lines back at their starting level.
  void FinishPulses();

 private:
  int32_t Claim(const Client &client, const uint8_t *message, uint64_t now);
  int32_t Release(const Client &client, uint32_t lines);
  int32_t Pulse(const Client &client, const uint8_t *message, uint64_t now);
  void Write(const Edge &edge);
  std::vector<uint8_t> Describe(const Client &client, uint32_t line) const;
  // Drives safe's lines to their levels and logs its line.
  void Apply(const SafeLevels &safe);
  uint32_t ReadLevels() const;

  vdio_board *board_;
  OutsideChanges &outside_;
  ClaimTable claims_;
  PulseTrains pulses_;
};

}  // namespace dio_boardd

#endif
