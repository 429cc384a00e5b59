#include "claim_refusal.h"

#include <cerrno>
#include <map>
#include <tuple>
#include <vector>

#include "board_handle.h"
#include "line_names.h"

namespace dioctl {

namespace {

// Why a line refuses writes: a holder (pid and consumer), or a pulse.
struct Refusal {
  bool pulsing;
  int32_t pid;
  std::string consumer;
  bool operator<(const Refusal &other) const {
    return std::tie(pulsing, pid, consumer) < std::tie(other.pulsing, other.pid, other.consumer);
  }
};

// The lines of the set that another handle holds or that are pulsing,
// grouped by why, in line order within each group.
std::map<Refusal, std::vector<int>> RefusedLines(vdio_board *board, uint32_t lines) {
  std::map<Refusal, std::vector<int>> refused;
  for (const int line : LinesOf(lines)) {
    vdio_claim_info info{};
    info.size = sizeof info;
    const int held = Checked(vdio_get_claim(board, line, &info));
    const bool mine = (info.flags & VDIO_CLAIM_INFO_MINE) != 0;
    if (held == 1 && !mine)
      refused[Refusal{false, info.pid, info.consumer}].push_back(line);
    else if (info.flags & VDIO_CLAIM_INFO_PULSING)
      refused[Refusal{true, 0, ""}].push_back(line);
  }
  return refused;
}

std::string Clause(const Refusal &why, const std::vector<int> &lines) {
  const bool one = lines.size() == 1;
  const std::string names = JoinLineNames(lines);
  if (why.pulsing)
    return names + (one ? " is" : " are") + " pulsing; writes to " + (one ? "it" : "them") +
           " are refused until the pulse is over";
  return names + (one ? " is" : " are") + " held by " + why.consumer + " (pid " +
         std::to_string(why.pid) + "); writes to " + (one ? "it" : "them") +
         " are refused until it releases " + (one ? "it" : "them");
}

}  // namespace

std::string DescribeRefusal(vdio_board *board, uint32_t lines) {
  std::string message;
  for (const auto &[why, refused] : RefusedLines(board, lines)) {
    if (!message.empty()) message += "; ";
    message += Clause(why, refused);
  }
  return message;
}

void RequireWritable(vdio_board *board, uint32_t lines) {
  if (vdio_device_kind(board) != VDIO_DEVICE_SERVICE) return;
  const std::string message = DescribeRefusal(board, lines);
  if (!message.empty()) throw WriteRefused(message);
}

int CheckedWrite(vdio_board *board, uint32_t lines, int result) {
  if (result != -EBUSY) return Checked(result);
  const std::string message = DescribeRefusal(board, lines);
  // The holder may have let go between the refusal and the question.
  throw WriteRefused(message.empty()
                         ? "the board service refused the write: a claim or a pulse held one "
                           "of its lines and has ended since; try again"
                         : message);
}

}  // namespace dioctl
