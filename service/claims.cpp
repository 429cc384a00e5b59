#include "claims.h"

#include <cstdio>

#include "line_text.h"

namespace dio_boardd {

namespace {

constexpr uint64_t kNsPerMs = 1'000'000;

bool Has(uint32_t lines, int line) { return (lines >> line) & 1u; }

std::string Joined(const std::vector<std::string> &parts, const char *separator) {
  std::string text;
  for (const std::string &part : parts) text += (text.empty() ? "" : separator) + part;
  return text;
}

// What became of the lines: "DO0=0 DO1=1", "left as they are (keep)", or
// both.
std::string Outcome(uint32_t lines, const SafeLevels &safe) {
  std::vector<std::string> parts;
  if (safe.lines != 0) parts.push_back(LineLevels(safe.lines, safe.values));
  const uint32_t kept = lines & ~safe.lines;
  if (kept != 0)
    parts.push_back(safe.lines != 0 ? LineNames(kept) + " left as they are (keep)"
                                    : "left as they are (keep)");
  return Joined(parts, ", ");
}

std::string Seconds(uint64_t ns) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1fs", static_cast<double>(ns) / 1e9);
  return text;
}

}  // namespace

uint32_t ClaimTable::HeldBy(uint64_t client) const {
  uint32_t held = 0;
  for (int line = 0; line < VDIO_LINE_COUNT; ++line)
    if (lines_[static_cast<size_t>(line)].holder == client) held |= 1u << line;
  return client == 0 ? 0 : held;
}

uint32_t ClaimTable::HeldByOthers(uint64_t client) const {
  uint32_t held = 0;
  for (int line = 0; line < VDIO_LINE_COUNT; ++line) {
    const uint64_t holder = lines_[static_cast<size_t>(line)].holder;
    if (holder != 0 && holder != client) held |= 1u << line;
  }
  return held;
}

void ClaimTable::Claim(uint64_t client, pid_t pid, const ClaimRequest &request, uint64_t now) {
  for (int line = 0; line < VDIO_LINE_COUNT; ++line) {
    if (!Has(request.lines, line)) continue;
    LineClaim &claim = lines_[static_cast<size_t>(line)];
    claim.holder = client;
    claim.safe_value = Has(request.safe_values, line);
    claim.keep = request.keep;
    claim.consumer = request.consumer;
  }
  Holder &holder = holders_[client];
  holder.pid = pid;
  holder.consumer = request.consumer;
  holder.lease_ms = request.lease_ms;
  holder.last_request_ns = now;
}

SafeLevels ClaimTable::Safe(uint64_t client, uint32_t lines, bool ignore_keep) const {
  SafeLevels safe;
  for (int line = 0; line < VDIO_LINE_COUNT; ++line) {
    const LineClaim &claim = lines_[static_cast<size_t>(line)];
    if (!Has(lines, line) || claim.holder != client || (claim.keep && !ignore_keep)) continue;
    safe.lines |= 1u << line;
    if (claim.safe_value) safe.values |= 1u << line;
  }
  return safe;
}

// "mixer (pid 1234)": the consumers of the lines, and the holder's process.
std::string ClaimTable::Owner(uint64_t client, uint32_t lines) const {
  std::vector<std::string> consumers;
  for (int line = 0; line < VDIO_LINE_COUNT; ++line) {
    if (!Has(lines, line)) continue;
    const std::string &consumer = lines_[static_cast<size_t>(line)].consumer;
    bool known = false;
    for (const std::string &other : consumers) known = known || other == consumer;
    if (!known) consumers.push_back(consumer);
  }
  return Joined(consumers, ",") + " (pid " + std::to_string(holders_.at(client).pid) + ")";
}

std::optional<SafeLevels> ClaimTable::End(uint64_t client, uint32_t lines,
                                          const std::string &reason) {
  const uint32_t ended = lines & HeldBy(client);
  if (ended == 0) return std::nullopt;
  SafeLevels safe = Safe(client, ended);
  safe.log = "claim of " + LineNames(ended) + " by " + Owner(client, ended) + " ended (" + reason +
             "): " + Outcome(ended, safe);
  for (int line = 0; line < VDIO_LINE_COUNT; ++line)
    if (Has(ended, line)) lines_[static_cast<size_t>(line)] = LineClaim{};
  if (HeldBy(client) == 0) holders_.erase(client);
  return safe;
}

std::optional<std::string> ClaimTable::Feed(uint64_t client, uint64_t now) {
  const auto found = holders_.find(client);
  if (found == holders_.end()) return std::nullopt;
  Holder &holder = found->second;
  std::optional<std::string> log;
  if (holder.lease_out)
    log = "lease of " + holder.consumer + " (pid " + std::to_string(holder.pid) +
          ") fed again after " + Seconds(now - holder.last_request_ns);
  holder.lease_out = false;
  holder.last_request_ns = now;
  return log;
}

void ClaimTable::Wrote(uint64_t client) {
  const auto found = holders_.find(client);
  if (found != holders_.end()) found->second.at_safe_values = false;
}

std::vector<SafeLevels> ClaimTable::Expire(uint64_t now) {
  std::vector<SafeLevels> tripped;
  for (auto &[client, holder] : holders_) {
    if (holder.lease_ms == 0 || holder.lease_out) continue;
    if (now - holder.last_request_ns < holder.lease_ms * kNsPerMs) continue;
    holder.lease_out = true;
    holder.at_safe_values = true;
    const uint32_t held = HeldBy(client);
    // A hung holder is not ending its claim: keeping is for a claim's end.
    SafeLevels safe = Safe(client, held, true);
    safe.log = "lease of " + holder.consumer + " (pid " + std::to_string(holder.pid) +
               ") ran out after " + std::to_string(holder.lease_ms) + "ms: " + Outcome(held, safe);
    tripped.push_back(safe);
  }
  return tripped;
}

std::optional<uint64_t> ClaimTable::NextExpiry() const {
  std::optional<uint64_t> next;
  for (const auto &[client, holder] : holders_) {
    if (holder.lease_ms == 0 || holder.lease_out) continue;
    const uint64_t due = holder.last_request_ns + holder.lease_ms * kNsPerMs;
    if (!next || due < *next) next = due;
  }
  return next;
}

std::optional<ClaimView> ClaimTable::View(int line, uint64_t client) const {
  if (line < 0 || line >= VDIO_LINE_COUNT) return std::nullopt;
  const LineClaim &claim = lines_[static_cast<size_t>(line)];
  if (claim.holder == 0) return std::nullopt;
  const Holder &holder = holders_.at(claim.holder);
  ClaimView view;
  view.pid = holder.pid;
  view.lease_ms = holder.lease_ms;
  view.consumer = claim.consumer;
  if (claim.safe_value) view.flags |= VDIO_CLAIM_INFO_SAFE_VALUE;
  if (claim.keep) view.flags |= VDIO_CLAIM_INFO_KEEP;
  if (claim.holder == client) view.flags |= VDIO_CLAIM_INFO_MINE;
  if (holder.at_safe_values) view.flags |= VDIO_CLAIM_INFO_LEASE_OUT;
  return view;
}

}  // namespace dio_boardd
