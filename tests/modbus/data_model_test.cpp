// Every address of the gateway's data model through libmodbus's client, the
// register bytes checked on the board file, and every exception it answers.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <thread>

#include "board_registers.h"
#include "gateway_fixture.h"

namespace {

class DataModelTest : public GatewayTest {
 protected:
  void SetUp() override {
    GatewayTest::SetUp();
    Start();
    client_ = Connect();
  }
  modbus_t *mb() const { return client_->get(); }

  // A raw request's reply PDU (function code first), through the client's
  // own framing.
  std::vector<uint8_t> RawReply(const std::vector<uint8_t> &pdu, int unit = 1) {
    std::vector<uint8_t> request = {static_cast<uint8_t>(unit)};
    request.insert(request.end(), pdu.begin(), pdu.end());
    if (modbus_send_raw_request(mb(), request.data(), static_cast<int>(request.size())) < 0)
      return {};
    uint8_t reply[MODBUS_TCP_MAX_ADU_LENGTH];
    const int length = modbus_receive_confirmation(mb(), reply);
    if (length < 8) return {};
    return std::vector<uint8_t>(reply + 7, reply + length);
  }

  std::unique_ptr<ModbusClient> client_;
};

TEST_F(DataModelTest, EachCoilDrivesItsOwnRegisterByteAndReadsBack) {
  for (int coil = 0; coil < 11; ++coil) {
    SCOPED_TRACE("coil " + std::to_string(coil));
    ASSERT_EQ(modbus_write_bit(mb(), coil, 1), 1);
    const uint8_t outputs = coil < 8 ? static_cast<uint8_t>(1u << coil) : 0;
    const uint8_t leds = coil >= 8 ? static_cast<uint8_t>(1u << (coil - 8)) : 0;
    EXPECT_EQ(OutputsOnBoard(), outputs);
    EXPECT_EQ(LedsOnBoard(), leds);
    std::array<uint8_t, 11> bits{};
    ASSERT_EQ(modbus_read_bits(mb(), 0, 11, bits.data()), 11);
    for (int i = 0; i < 11; ++i) EXPECT_EQ(bits[i], i == coil) << "coil " << i;
    ASSERT_EQ(modbus_write_bit(mb(), coil, 0), 1);
    EXPECT_EQ(OutputsOnBoard(), 0);
    EXPECT_EQ(LedsOnBoard(), 0);
  }
}

TEST_F(DataModelTest, SeveralCoilsAtOnceFromAnyStart) {
  const uint8_t pattern[11] = {1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 1};
  ASSERT_EQ(modbus_write_bits(mb(), 0, 11, pattern), 11);
  EXPECT_EQ(OutputsOnBoard(), 0xa5);
  EXPECT_EQ(LedsOnBoard(), 0x05);
  const uint8_t middle[4] = {1, 1, 0, 1};  // DO6, DO7, LED1, LED2
  ASSERT_EQ(modbus_write_bits(mb(), 6, 4, middle), 4);
  EXPECT_EQ(OutputsOnBoard(), 0xe5);
  EXPECT_EQ(LedsOnBoard(), 0x06);
  uint8_t bits[5] = {};
  ASSERT_EQ(modbus_read_bits(mb(), 5, 5, bits), 5);  // DO5..DO7, LED1, LED2
  EXPECT_EQ(std::vector<uint8_t>(bits, bits + 5), (std::vector<uint8_t>{1, 1, 1, 0, 1}));
}

TEST_F(DataModelTest, DiscreteInputsAndTheMaskRegistersFollowTheBoard) {
  SetInputsOnBoard(0x96);
  SetOutputsOnBoard(0x3c);
  Poke(board::kLed[1], board::kDriven);
  // Past a few of the gateway's polls (every 10 ms): the inputs that became
  // active have counted one rising edge each.
  std::this_thread::sleep_for(std::chrono::duration<double>(SlowMachineSeconds(0.1)));
  uint8_t inputs[8] = {};
  ASSERT_EQ(modbus_read_input_bits(mb(), 0, 8, inputs), 8);
  EXPECT_EQ(std::vector<uint8_t>(inputs, inputs + 8), (std::vector<uint8_t>{0, 1, 1, 0, 1, 0, 0, 1}));
  uint8_t one = 9;
  ASSERT_EQ(modbus_read_input_bits(mb(), 7, 1, &one), 1);
  EXPECT_EQ(one, 1);
  uint16_t registers[12] = {};
  ASSERT_EQ(modbus_read_input_registers(mb(), 0, 12, registers), 12);
  EXPECT_EQ(registers[0], 0x96);
  EXPECT_EQ(registers[1], 0x3c);
  EXPECT_EQ(registers[2], 0x02);
  for (int input = 0; input < 8; ++input)
    EXPECT_EQ(registers[3 + input], (0x96 >> input) & 1) << "counter of DI" << input;
  EXPECT_EQ(registers[11], 0) << "no watchdog: never tripped";
  uint16_t holding[3] = {9, 9, 9};
  ASSERT_EQ(modbus_read_registers(mb(), 0, 3, holding), 3);
  EXPECT_EQ(holding[0], 0x3c);
  EXPECT_EQ(holding[1], 0x02);
  EXPECT_EQ(holding[2], 0) << "the counter reset register reads as 0";
}

TEST_F(DataModelTest, HoldingRegistersWriteWholeGroups) {
  ASSERT_EQ(modbus_write_register(mb(), 0, 0xa5), 1);
  EXPECT_EQ(OutputsOnBoard(), 0xa5);
  ASSERT_EQ(modbus_write_register(mb(), 1, 0x06), 1);
  EXPECT_EQ(LedsOnBoard(), 0x06);
  const uint16_t both[2] = {0x5a, 0x01};
  ASSERT_EQ(modbus_write_registers(mb(), 0, 2, both), 2);
  EXPECT_EQ(OutputsOnBoard(), 0x5a);
  EXPECT_EQ(LedsOnBoard(), 0x01);
  const uint16_t all[3] = {0xff, 0x07, 0x00};
  ASSERT_EQ(modbus_write_registers(mb(), 0, 3, all), 3);
  EXPECT_EQ(OutputsOnBoard(), 0xff);
  EXPECT_EQ(LedsOnBoard(), 0x07);
  uint16_t back[2] = {};
  ASSERT_EQ(modbus_read_registers(mb(), 0, 2, back), 2);
  EXPECT_EQ(back[0], 0xff);
  EXPECT_EQ(back[1], 0x07);
}

TEST_F(DataModelTest, AddressesBeyondTheMapAreException2) {
  uint8_t bits[16];
  uint16_t registers[16];
  const uint8_t on[2] = {1, 1};
  const uint16_t zeros[2] = {0, 0};
  EXPECT_EQ(ExceptionOf(modbus_read_bits(mb(), 11, 1, bits)), 2);
  EXPECT_EQ(ExceptionOf(modbus_read_bits(mb(), 10, 2, bits)), 2);
  EXPECT_EQ(ExceptionOf(modbus_read_input_bits(mb(), 8, 1, bits)), 2);
  EXPECT_EQ(ExceptionOf(modbus_read_input_bits(mb(), 0, 9, bits)), 2);
  EXPECT_EQ(ExceptionOf(modbus_read_input_registers(mb(), 12, 1, registers)), 2);
  EXPECT_EQ(ExceptionOf(modbus_read_input_registers(mb(), 4, 9, registers)), 2);
  EXPECT_EQ(ExceptionOf(modbus_read_registers(mb(), 3, 1, registers)), 2);
  EXPECT_EQ(ExceptionOf(modbus_write_bit(mb(), 11, 1)), 2);
  EXPECT_EQ(ExceptionOf(modbus_write_bits(mb(), 10, 2, on)), 2);
  EXPECT_EQ(ExceptionOf(modbus_write_register(mb(), 3, 0)), 2);
  EXPECT_EQ(ExceptionOf(modbus_write_registers(mb(), 2, 2, zeros)), 2);
  EXPECT_EQ(ExceptionOf(modbus_write_bit(mb(), 0xffff, 1)), 2) << "no wrap of start + count";
  // The inputs' figures are the board service's: nobody keeps them here.
  EXPECT_EQ(ExceptionOf(modbus_read_input_registers(mb(), 100, 10, registers)), 2);
  EXPECT_EQ(ExceptionOf(modbus_read_registers(mb(), 100, 1, registers)), 2);
  EXPECT_EQ(ExceptionOf(modbus_write_register(mb(), 100, 1)), 2);
}

TEST_F(DataModelTest, ValuesOutsideTheGroupAndMalformedRequestsAreException3) {
  EXPECT_EQ(ExceptionOf(modbus_write_register(mb(), 0, 0x100)), 3);
  EXPECT_EQ(ExceptionOf(modbus_write_register(mb(), 1, 0x08)), 3);
  EXPECT_EQ(ExceptionOf(modbus_write_register(mb(), 2, 0x100)), 3);
  EXPECT_EQ(RawReply({0x05, 0x00, 0x00, 0x12, 0x34}), (std::vector<uint8_t>{0x85, 0x03}))
      << "a coil is 0xff00 or 0x0000";
  EXPECT_EQ(RawReply({0x01, 0x00, 0x00, 0x00, 0x00}), (std::vector<uint8_t>{0x81, 0x03}))
      << "a read of 0 coils";
  EXPECT_EQ(RawReply({0x03, 0x00, 0x00, 0x00, 0x7e}), (std::vector<uint8_t>{0x83, 0x03}))
      << "126 registers, above the 125 a read may ask";
  EXPECT_EQ(RawReply({0x0f, 0x00, 0x00, 0x00, 0x03, 0x02, 0x07, 0x00}),
            (std::vector<uint8_t>{0x8f, 0x03}))
      << "a byte count that does not fit the coil count";
  EXPECT_EQ(RawReply({0x10, 0x00, 0x00, 0x00, 0x02, 0x04, 0x00}), (std::vector<uint8_t>{0x90, 0x03}))
      << "fewer bytes than the byte count says";
  EXPECT_EQ(RawReply({0x04, 0x00, 0x00}), (std::vector<uint8_t>{0x84, 0x03})) << "a short read";
}

namespace {

// A PDU writing count coils (0x0f) or registers (0x10) from address 0, with
// byte_count zero bytes of values.
std::vector<uint8_t> MultipleWrite(uint8_t function, uint16_t count, uint8_t byte_count) {
  std::vector<uint8_t> pdu = {function, 0x00, 0x00, static_cast<uint8_t>(count >> 8),
                              static_cast<uint8_t>(count & 0xff), byte_count};
  pdu.resize(pdu.size() + byte_count, 0x00);
  return pdu;
}

}  // namespace

TEST_F(DataModelTest, TheProtocolsQuantityLimitsComeBeforeTheTablesEnd) {
  // Within the protocol's limit, a count beyond the table is exception 2;
  // one above the limit is exception 3, whatever the table.
  EXPECT_EQ(RawReply({0x01, 0x00, 0x00, 0x07, 0xd0}), (std::vector<uint8_t>{0x81, 0x02}))
      << "2000 coils, the most a read may ask";
  EXPECT_EQ(RawReply({0x01, 0x00, 0x00, 0x07, 0xd1}), (std::vector<uint8_t>{0x81, 0x03}))
      << "2001 coils";
  EXPECT_EQ(RawReply({0x02, 0x00, 0x00, 0x07, 0xd1}), (std::vector<uint8_t>{0x82, 0x03}))
      << "2001 discrete inputs";
  EXPECT_EQ(RawReply({0x03, 0x00, 0x00, 0x00, 0x7d}), (std::vector<uint8_t>{0x83, 0x02}))
      << "125 registers, the most a read may ask";
  EXPECT_EQ(RawReply({0x04, 0x00, 0x00, 0x00, 0x7e}), (std::vector<uint8_t>{0x84, 0x03}))
      << "126 input registers";
  EXPECT_EQ(RawReply(MultipleWrite(0x0f, 1968, 246)), (std::vector<uint8_t>{0x8f, 0x02}))
      << "1968 coils, the most a write may carry";
  EXPECT_EQ(RawReply(MultipleWrite(0x0f, 1969, 247)), (std::vector<uint8_t>{0x8f, 0x03}))
      << "1969 coils";
  EXPECT_EQ(RawReply(MultipleWrite(0x10, 123, 246)), (std::vector<uint8_t>{0x90, 0x02}))
      << "123 registers, the most a write may carry";
}

TEST_F(DataModelTest, SeveralValuesAreCheckedWholeBeforeAnyIsWritten) {
  SetOutputsOnBoard(0x11);
  const std::vector<uint8_t> before = RegisterPages();
  const uint16_t bad_led_mask[2] = {0x5a, 0x08};
  EXPECT_EQ(ExceptionOf(modbus_write_registers(mb(), 0, 2, bad_led_mask)), 3);
  const uint16_t bad_reset[3] = {0x5a, 0x01, 0x100};
  EXPECT_EQ(ExceptionOf(modbus_write_registers(mb(), 0, 3, bad_reset)), 3);
  const uint8_t past_the_leds[4] = {1, 1, 1, 1};  // LED1..LED3 and one beyond
  EXPECT_EQ(ExceptionOf(modbus_write_bits(mb(), 8, 4, past_the_leds)), 2);
  EXPECT_EQ(RegisterPages(), before);
}

TEST_F(DataModelTest, UnsupportedFunctionsAreException1) {
  for (uint8_t function : {0x07, 0x08, 0x11, 0x16, 0x17, 0x2b, 0x41}) {
    const std::vector<uint8_t> reply = RawReply({function, 0x00, 0x00, 0x00, 0x01});
    EXPECT_EQ(reply, (std::vector<uint8_t>{static_cast<uint8_t>(function | 0x80), 0x01}))
        << "function " << int(function);
  }
  uint16_t registers[2];
  EXPECT_EQ(ExceptionOf(modbus_write_and_read_registers(mb(), 0, 1, registers, 0, 1, registers)), 1);
}

TEST_F(DataModelTest, OnlyItsUnitIdAnd255AreAnswered) {
  uint16_t value = 0;
  for (int unit : {0, 2, 247, 254}) {
    modbus_set_slave(mb(), unit);
    EXPECT_EQ(ExceptionOf(modbus_read_registers(mb(), 0, 1, &value)), 11) << "unit " << unit;
    EXPECT_EQ(ExceptionOf(modbus_write_register(mb(), 0, 0xff)), 11) << "unit " << unit;
  }
  EXPECT_EQ(OutputsOnBoard(), 0) << "a write for another unit writes nothing";
  modbus_set_slave(mb(), 255);
  EXPECT_EQ(modbus_write_register(mb(), 0, 0x81), 1);
  EXPECT_EQ(OutputsOnBoard(), 0x81);
}

class UnitIdTest : public GatewayTest {};

TEST_F(UnitIdTest, AnotherUnitIdReplacesOne) {
  Start({"--unit-id", "17"});
  auto client = Connect(17);
  EXPECT_EQ(modbus_write_bit(client->get(), 2, 1), 1);
  EXPECT_EQ(OutputsOnBoard(), 0x04);
  modbus_set_slave(client->get(), 1);
  EXPECT_EQ(ExceptionOf(modbus_write_bit(client->get(), 3, 1)), 11);
  EXPECT_EQ(OutputsOnBoard(), 0x04);
}

}  // namespace
