/*
 * varnik_dio: digital I/O of the board from user space.
 *
 * Eight digital outputs (DO0..DO7), eight digital inputs (DI0..DI7) and
 * three LEDs (LED1..LED3), each a pin register of the board's GPIO
 * controller, reached through "/dev/mem" one byte at a time. The driver
 * keeps no state: every register access opens the device, maps the page
 * that holds the register, touches the one byte, unmaps and closes.
 *
 * Levels are logical everywhere in this interface: 1 means an input is
 * active, an output is driven, an LED is lit. The registers are active-low;
 * the driver inverts on the way in and out.
 *
 * The caller needs the right to open "/dev/mem" read-write (root or
 * CAP_SYS_RAWIO). If the device cannot be opened, mapped or unmapped, the
 * driver prints one line to standard error,
 *     Error at line N, file varnik_dio.cpp (errno) [strerror text]
 * and ends the process with exit status 1. Nothing else is ever printed.
 */
#ifndef VARNIK_DIO_H
#define VARNIK_DIO_H

#include <stdint.h>

#if defined(VARNIK_DIO_BUILDING) && defined(__GNUC__)
#define VARNIK_DIO_API __attribute__((visibility("default")))
#else
#define VARNIK_DIO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Pin map ------------------------------------------------------------ */

/* Register offsets in the GPIO window (base 0xFDAE0000).
 * Indices 0..7 are DI0..DI7, indices 8..15 are DO0..DO7. */
VARNIK_DIO_API extern const int32_t GPIOs[16];

/* Register offsets in the LED window (base 0xFDAF0000): LED1..LED3. */
VARNIK_DIO_API extern const int32_t LEDs[3];

/* The physical address of a register: offset OR the window base. */
VARNIK_DIO_API uint32_t GetGPIOAddress(int32_t offset);
VARNIK_DIO_API uint32_t GetLEDAddress(int32_t offset);

/* ---- Byte access -------------------------------------------------------- */

/* The byte at a physical address. Does not return if the device fails. */
VARNIK_DIO_API uint8_t ReadMMap(uint32_t address);

/* Stores any byte value at a physical address and returns 1.
 * Does not return if the device fails. */
VARNIK_DIO_API uint8_t WriteMap(uint32_t address, uint8_t value);

/* ---- Line operations ---------------------------------------------------- */

/* Drives output DO<output> (0..7) to level 0 or 1.
 * Returns 0 on success; -1 for a level other than 0 or 1 or an output above
 * 7 (nothing is written); -200 if the register write did not succeed. */
VARNIK_DIO_API int16_t GPIOWriteToPin(uint8_t output, uint8_t level);

/* Reads the line at table index 0..15 (0..7 DI0..DI7, 8..15 DO0..DO7, so
 * output n is index n + 8) into *level as 0 or 1 and returns 0.
 * Returns -1 and leaves *level untouched for an index above 15 or a null
 * pointer; nothing is read. */
VARNIK_DIO_API int16_t GPIOReadFromPin(uint8_t index, uint8_t *level);

/* Lights (level 1) or darkens (level 0) LED index 0..2 (LED1..LED3).
 * Returns 1 once written; 0 for an index above 2 or a level other than
 * 0 or 1, with nothing written. */
VARNIK_DIO_API uint8_t LEDWriteToPin(uint8_t index, uint8_t level);

/* 1 if LED index 0..2 is lit, 0 if it is dark or the index is above 2. */
VARNIK_DIO_API uint8_t LEDReadFromPin(uint8_t index);

/* ---- Ports and the LED group -------------------------------------------- */

/* Does nothing and returns 0; no call depends on it. */
VARNIK_DIO_API int32_t GPIO_Init(void);

/* Drives DO0..DO7 from bits 0..7 of mask (bits 8..15 are ignored), one line
 * after another, DO0 first. Returns the status of DO7's write. */
VARNIK_DIO_API int16_t GPO_Write(uint16_t mask);

/* Reads DI0..DI7 into bits 0..7 of *mask (bits 8..15 are 0) and returns 0.
 * On the first line that fails, returns its status and leaves *mask as it
 * was; a null pointer gives -1. */
VARNIK_DIO_API int16_t GPI_Read(uint16_t *mask);

/* Reads back what DO0..DO7 are driven to, like GPI_Read. */
VARNIK_DIO_API int16_t GPO_Read(uint16_t *mask);

/* Which LEDs are lit, as a mask: bit 0 LED1, bit 1 LED2, bit 2 LED3
 * (all three lit gives 7). */
VARNIK_DIO_API int32_t QelLEDCount(void);

/* Lights (level 1) or darkens (level 0) LED number 1..3. Only the low
 * 8 bits of number - 1 and of level count. Returns 1 once written, 0 when
 * rejected (nothing is written). */
VARNIK_DIO_API uint8_t QelLEDSetValue(int32_t number, int32_t level);

#ifdef __cplusplus
}
#endif

#endif /* VARNIK_DIO_H */
