// The input functions' requests of the wire (kReadInputStats,
// kClearInputStats, kGetSamplerInfo), answered from the sampler; a clear is
// checked exactly as the board library checks it.
#ifndef DIO_BOARDD_INPUT_REQUESTS_H
#define DIO_BOARDD_INPUT_REQUESTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "client.h"
#include "input_sampler.h"
#include "service_wire.h"

namespace dio_boardd {

// The protocol version that brought them: an older client knows none.
constexpr uint32_t kInputFunctionsVersion = 3;

bool IsInputRequest(uint16_t operation);

// The reply to an input request (IsInputRequest) of client, of the
// operation's wire::ReplySize; a clear that went through sets *log_line.
std::vector<uint8_t> AnswerInputRequest(InputSampler &sampler, const Client &client,
                                        const varnik::wire::Message &request,
                                        std::string *log_line);

}  // namespace dio_boardd

#endif
