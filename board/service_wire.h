// The board service's wire format, shared by the board library (the client
// side of vdio_open on the service's socket) and dio-boardd. Documented for
// other implementations in varnik_dio_protocol(7); a change to any layout
// below is a new kProtocolVersion.
//
// The socket is a Unix SOCK_SEQPACKET socket: one send is one message, and
// every message has a fixed size, so that neither side ever parses a
// partial or run-together message. Every field is little-endian and of
// fixed width, encoded and decoded byte by byte, never copied as a struct:
// an i386 client talks to an amd64 service and back.
//
// A connection starts with a hello from the client and the service's answer.
// It is then either a board connection (requests, each answered by one
// reply, in order) or, after a watch request, a watch connection (the
// service sends events until either side closes).
//
// Internal to the project; header-only and free of the C++ runtime, so that
// the libc-only board library can include it.
#ifndef VARNIK_BOARD_SERVICE_WIRE_H
#define VARNIK_BOARD_SERVICE_WIRE_H

#include <stddef.h>
#include <stdint.h>

namespace varnik::wire {

// Bumped on any change to a layout or to an operation's meaning. The hello's
// first twelve bytes (its operation and the version) never change, so that
// any two versions can tell each other apart.
// Version 2 added the claims (kClaim..kGetClaim), version 3 the input
// functions (kReadInputStats..kGetSamplerInfo); a service serves clients of
// every older version too, answering each in its own.
constexpr uint32_t kProtocolVersion = 3;
constexpr uint32_t kOldestProtocolVersion = 1;

// Every message but those whose size RequestSize and ReplySize tell: 24
// bytes.
//   0  u16  operation (Operation)
//   2  u16  0 (reserved)
//   4  i32  status: 0 or a result (a level), or a negative errno value;
//           0 in requests
//   8  u32  first argument
//  12  u32  second argument
//  16  u64  third argument (a time in ns, a debounce in us)
constexpr size_t kMessageSize = 24;

// The hello: a message (operation kHello, first argument the client's
// protocol version, the others 0) and then the client's program name,
// 32 bytes, printable ASCII padded with NULs (the service logs it).
constexpr size_t kNameSize = 32;
constexpr size_t kHelloSize = kMessageSize + kNameSize;

enum Operation : uint16_t {
  // Client: hello (above). Service: status 0, first argument its protocol
  // version, second the kind of device it holds (enum vdio_device_kind);
  // or status -EPROTO and its version, then it closes (another version);
  // or -EUSERS when it serves as many clients as it may, then it closes.
  kHello = 1,
  // first: line. Reply status: the level, or -EINVAL.
  kGet = 2,
  // first: line, second: level. Reply status: 0 or -EINVAL.
  kSet = 3,
  // Reply: status 0, first argument inputs | outputs << 8 | leds << 16,
  // all read in one pass of the service.
  kRead = 4,
  // first: mask, second: values (bit n = DOn). Reply status: 0 or -EINVAL.
  kWriteOutputs = 5,
  // first: mask, second: values (bit i = LED(i+1)). Reply status: 0 or -EINVAL.
  kWriteLeds = 6,
  // first: line set, second: interval in us, third: debounce in us. Reply
  // status: 0 (the connection is a watch from then on) or -EINVAL. The
  // levels when the service handles it are the starting point.
  kWatch = 7,
  // Service, on a watch connection: first argument the line, second its new
  // level, third the CLOCK_MONOTONIC time in ns of the sample that first
  // saw it (the service's and the client's clocks are the same machine's).
  kEvent = 8,
  // Service, on a watch connection, after the last event it kept: the
  // client did not read its events and the service stopped watching for
  // it; it then closes. The client's next vdio_watch_next is -ENOBUFS.
  kOverflow = 9,
  // first: line set, second: safe values, third: flags | lease in ms << 32;
  // then the consumer, kNameSize bytes as the hello's name (kClaimSize in
  // all). Reply status: 0, -EINVAL or -EBUSY (vdio_claim's).
  kClaim = 10,
  // first: line set. Reply status: 0 or -EINVAL.
  kRelease = 11,
  // first: line, second: count, third: width in us; then a u64, the period
  // in us (kPulseSize in all). Reply status, once the first pulse began: 0,
  // -EINVAL or -EBUSY.
  kPulse = 12,
  // first: line. Reply (kClaimInfoSize): status 1 (held), 0 (not held) or
  // -EINVAL; first the holder's pid, second its lease in ms, third the
  // VDIO_CLAIM_INFO_* flags; then the consumer, kNameSize bytes.
  kGetClaim = 13,
  // Reply (kInputStatsSize): status 0, third the CLOCK_MONOTONIC time in ns
  // of the sample the figures are from; then for DI0..DI7 in turn
  // kInputFiguresSize bytes: u64 rising, u64 falling, u64 on-time in ms,
  // u32 frequency in mHz, u32 latches (VDIO_INPUT_*), u32 debounce in us,
  // u32 0.
  kReadInputStats = 14,
  // first: line, second: VDIO_CLEAR_* flags. Reply status: 0 or -EINVAL.
  kClearInputStats = 15,
  // Reply (kSamplerInfoSize): status 0, first VDIO_SAMPLER_* flags, second
  // the frequency window in ms, third the interval in ns; then u64 samples,
  // u64 late samples, u64 the worst lateness in ns, u64 0.
  kGetSamplerInfo = 16,
};

constexpr size_t kClaimSize = kMessageSize + kNameSize;
constexpr size_t kPulseSize = kMessageSize + 8;
constexpr size_t kClaimInfoSize = kMessageSize + kNameSize;
constexpr size_t kInputCount = 8;
constexpr size_t kInputFiguresSize = 40;
constexpr size_t kInputStatsSize = kMessageSize + kInputCount * kInputFiguresSize;
constexpr size_t kSamplerInfoSize = kMessageSize + 32;

// The size of a request of operation, and of its reply: every message of
// an operation has one size.
constexpr size_t RequestSize(uint16_t operation) {
  return operation == kClaim ? kClaimSize : operation == kPulse ? kPulseSize : kMessageSize;
}
constexpr size_t ReplySize(uint16_t operation) {
  switch (operation) {
    case kGetClaim:
      return kClaimInfoSize;
    case kReadInputStats:
      return kInputStatsSize;
    case kGetSamplerInfo:
      return kSamplerInfoSize;
    default:
      return kMessageSize;
  }
}

// One input's figures as kReadInputStats carries them.
struct InputFigures {
  uint64_t rising = 0;
  uint64_t falling = 0;
  uint64_t on_time_ms = 0;
  uint32_t frequency_mhz = 0;
  uint32_t latches = 0;
  uint32_t debounce_us = 0;
};

// A decoded message.
struct Message {
  uint16_t operation = 0;
  int32_t status = 0;
  uint32_t first = 0;
  uint32_t second = 0;
  uint64_t third = 0;
};

inline void PutU16(uint8_t *at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

inline void PutU32(uint8_t *at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void PutU64(uint8_t *at, uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint16_t GetU16(const uint8_t *at) {
  return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

inline uint32_t GetU32(const uint8_t *at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

inline uint64_t GetU64(const uint8_t *at) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

inline void Encode(const Message &message, uint8_t out[kMessageSize]) {
  PutU16(out, message.operation);
  PutU16(out + 2, 0);
  PutU32(out + 4, static_cast<uint32_t>(message.status));
  PutU32(out + 8, message.first);
  PutU32(out + 12, message.second);
  PutU64(out + 16, message.third);
}

inline Message Decode(const uint8_t in[kMessageSize]) {
  Message message;
  message.operation = GetU16(in);
  message.status = static_cast<int32_t>(GetU32(in + 4));
  message.first = GetU32(in + 8);
  message.second = GetU32(in + 12);
  message.third = GetU64(in + 16);
  return message;
}

inline bool IsPrintable(char c) { return c >= 0x20 && c < 0x7f; }

// A name (the hello's program name, a claim's consumer) into the kNameSize
// bytes at field: cut to 31 bytes, bytes outside printable ASCII become
// '?', padded with NULs.
inline void PutName(uint8_t *field, const char *name) {
  size_t n = 0;
  for (; name != nullptr && name[n] != '\0' && n < kNameSize - 1; ++n)
    field[n] = IsPrintable(name[n]) ? static_cast<uint8_t>(name[n]) : '?';
  for (; n < kNameSize; ++n) field[n] = 0;
}

// The name at field as a C string in out (kNameSize bytes); bytes outside
// printable ASCII become '?', so that it is safe to log.
inline void GetName(const uint8_t *field, char out[kNameSize]) {
  size_t n = 0;
  for (; n < kNameSize - 1 && field[n] != 0; ++n)
    out[n] = IsPrintable(static_cast<char>(field[n])) ? static_cast<char>(field[n]) : '?';
  out[n] = '\0';
}

// The hello of a client called name, speaking version.
inline void EncodeHello(const char *name, uint8_t out[kHelloSize],
                        uint32_t version = kProtocolVersion) {
  Message hello;
  hello.operation = kHello;
  hello.first = version;
  Encode(hello, out);
  PutName(out + kMessageSize, name);
}

inline void DecodeHelloName(const uint8_t in[kHelloSize], char out[kNameSize]) {
  GetName(in + kMessageSize, out);
}

inline void PutInputFigures(uint8_t *at, const InputFigures &figures) {
  PutU64(at, figures.rising);
  PutU64(at + 8, figures.falling);
  PutU64(at + 16, figures.on_time_ms);
  PutU32(at + 24, figures.frequency_mhz);
  PutU32(at + 28, figures.latches);
  PutU32(at + 32, figures.debounce_us);
  PutU32(at + 36, 0);
}

inline InputFigures GetInputFigures(const uint8_t *at) {
  InputFigures figures;
  figures.rising = GetU64(at);
  figures.falling = GetU64(at + 8);
  figures.on_time_ms = GetU64(at + 16);
  figures.frequency_mhz = GetU32(at + 24);
  figures.latches = GetU32(at + 28);
  figures.debounce_us = GetU32(at + 32);
  return figures;
}

// READ's first argument.
inline uint32_t PackState(uint8_t inputs, uint8_t outputs, uint8_t leds) {
  return static_cast<uint32_t>(inputs) | static_cast<uint32_t>(outputs) << 8 |
         static_cast<uint32_t>(leds) << 16;
}

}  // namespace varnik::wire

#endif
