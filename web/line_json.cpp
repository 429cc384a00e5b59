#include "line_json.h"

namespace dio_webd {

namespace {

using nlohmann::json;

const char *NameOf(int line) {
  const char *name = vdio_line_name(line);
  return name != nullptr ? name : "?";
}

json ClaimJson(const LineClaim &claim) {
  if (!claim.held) return nullptr;
  return {{"consumer", claim.consumer}, {"pid", claim.pid},
          {"lease_ms", claim.lease_ms}, {"safe_value", claim.safe_value},
          {"keep", claim.keep},         {"lease_out", claim.lease_out}};
}

// "pulsing" and "claim" of an output or LED into object.
void AddClaimFields(const BoardSnapshot &snapshot, int line, json &object) {
  const std::optional<LineClaim> &claim = snapshot.claims[static_cast<size_t>(line)];
  object["pulsing"] = claim.has_value() && claim->pulsing;
  object["claim"] = claim.has_value() ? ClaimJson(*claim) : json(nullptr);
}

// The service counts in millihertz; three decimals keep all of it.
double Hertz(uint32_t millihertz) { return millihertz / 1000.0; }

// The figures of input (0..7) into object.
void AddFunctionFields(const vdio_input_stats &stats, json &object) {
  object["count"] = stats.rising;
  object["falling"] = stats.falling;
  object["frequency_hz"] = Hertz(stats.frequency_mhz);
  object["on_time_ms"] = stats.on_time_ms;
  object["rose"] = (stats.latches & VDIO_INPUT_ROSE) != 0;
  object["fell"] = (stats.latches & VDIO_INPUT_FELL) != 0;
  object["debounce_us"] = stats.debounce_us;
}

json FunctionsJson(const BoardSnapshot &snapshot, int input) {
  if (!snapshot.figures_kept) return nullptr;
  json functions = json::object();
  AddFunctionFields(snapshot.figures[static_cast<size_t>(input)], functions);
  return functions;
}

bool IsInput(int line) { return line >= VDIO_DI0 && line < VDIO_DO0; }

}  // namespace

const char *DirectionWord(int line) {
  if (IsInput(line)) return "input";
  return line >= VDIO_LED1 ? "led" : "output";
}

json LineJson(const BoardSnapshot &snapshot, int line) {
  json object = {{"name", NameOf(line)},
                 {"direction", DirectionWord(line)},
                 {"level", LevelOf(snapshot, line)}};
  if (IsInput(line))
    object["functions"] = FunctionsJson(snapshot, line);
  else
    AddClaimFields(snapshot, line, object);
  return object;
}

json BoardJson(const BoardSnapshot &snapshot) {
  if (!snapshot.connected) return BoardStatusJson(false, snapshot.lost_reason);
  json lines = json::array();
  for (int line = 0; line < VDIO_LINE_COUNT; ++line) lines.push_back(LineJson(snapshot, line));
  json sampler = nullptr;
  if (snapshot.sampler_known)
    sampler = {{"interval_ns", snapshot.sampler.interval_ns},
               {"samples", snapshot.sampler.samples},
               {"late_samples", snapshot.sampler.late_samples},
               {"worst_late_ns", snapshot.sampler.worst_late_ns}};
  return {{"connected", true},
          {"through_service", snapshot.through_service},
          {"lines", std::move(lines)},
          {"sampler", std::move(sampler)}};
}

json LineEventJson(const vdio_event &event) {
  return {{"name", NameOf(event.line)},
          {"direction", DirectionWord(event.line)},
          {"level", event.value},
          {"edge", event.edge == VDIO_RISING ? "rising" : "falling"},
          {"timestamp_ns", event.timestamp_ns}};
}

json BoardStatusJson(bool connected, const std::string &error) {
  if (connected) return {{"connected", true}};
  return {{"connected", false}, {"error", error}};
}

json FiguresJson(const BoardSnapshot &snapshot) {
  json inputs = json::array();
  if (snapshot.figures_kept)
    for (int input = 0; input < VDIO_INPUT_COUNT; ++input) {
      json object = {{"name", NameOf(input)}};
      AddFunctionFields(snapshot.figures[static_cast<size_t>(input)], object);
      inputs.push_back(std::move(object));
    }
  return {{"inputs", std::move(inputs)}};
}

json ClaimsJson(const BoardSnapshot &snapshot) {
  json lines = json::array();
  for (int line = VDIO_DO0; line < VDIO_LINE_COUNT; ++line) {
    json object = {{"name", NameOf(line)}};
    AddClaimFields(snapshot, line, object);
    lines.push_back(std::move(object));
  }
  return {{"lines", std::move(lines)}};
}

json ErrorJson(const std::string &message) { return {{"error", message}}; }

std::string OneLine(const json &value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace dio_webd
