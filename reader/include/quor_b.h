/* Quor_B: drives a contactless card reader on a serial port.
 *
 * Every card operation sends one framed command and returns the reader's status byte:
 * 0x00 success, 0xFF no valid reply after three attempts (or a request the library refuses),
 * any other value the reader's own status. Out-parameters are written only on 0x00.
 * The library has one port; calls must not be made from two threads at once.
 * Ports: 1..4 name COM1..COM4, which are the devices in the environment variables COM1..COM4
 * when set (COM1=/dev/ttyUSB0), otherwise /dev/ttyS0../dev/ttyS3. */
#ifndef QUOR_B_H
#define QUOR_B_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Port housekeeping. Quor_Init: 0 opened, -1 not (also when already open). baud: 9600, 14400,
 * 19200, 28800, 38400, 57600 or 115200 (anything else is 115200); port: 1..4 (else 1).
 * Quor_Exit: non-zero when an open port was closed. */
int Quor_Init(int port, int baud);
int Quor_Exit(void);

/* Card selection. */
uint8_t Quor_Request(uint8_t mode, uint16_t* tagType);
uint8_t Quor_Anticoll(uint8_t p1, uint32_t* serial);
uint8_t Quor_Anticoll2(uint8_t p1, uint8_t p2, uint32_t* serial);
uint8_t Quor_Select(uint32_t serial, uint8_t* answer);
uint8_t Quor_Casc_Anticoll(uint8_t level, uint8_t p2, uint32_t* serial);
uint8_t Quor_Casc_Select(uint8_t level, const uint8_t serial[4], uint8_t* answer);
/* serial receives serialLength bytes: the caller's buffer must hold the longest serial. */
uint8_t Quor_Get_CardSnr(uint8_t mode, uint16_t* tagType, uint8_t* answer, uint8_t* serialLength,
                         uint8_t* serial);
/* block (16 bytes) may be NULL. */
uint8_t Quor_ReadADDT(uint8_t p1, uint8_t* first, uint16_t* tagType, uint8_t* answer,
                      uint8_t* serial, uint8_t* block);
uint8_t Quor_Halt(void);

/* Authentication and keys. */
uint8_t Quor_Auth(uint8_t p1, uint8_t p2);
uint8_t Quor_Auth2(uint8_t p1, uint8_t p2, uint8_t p3);
uint8_t Quor_Auth_Key(uint8_t p1, uint8_t p2, const uint8_t key[6]);
uint8_t Quor_Load_Key(uint8_t p1, uint8_t p2, const uint8_t key[6]);
/* keySource 0x00, 'E' (one key byte) or 'F' (six key bytes); any other is refused (0xFF). */
uint8_t Quor_AutoDetect(uint8_t p1, uint8_t p2, uint8_t p3, uint8_t keySource, uint8_t p5,
                        const uint8_t* key, uint8_t p7);

/* Block read and write. */
uint8_t Quor_Read(uint8_t block, uint8_t data[16]);
uint8_t Quor_Write(uint8_t block, const uint8_t data[16]);
uint8_t Quor_Ul_Write(uint8_t page, const uint8_t data[4]);
uint8_t Quor_Read_Auth(uint8_t p1, uint8_t p2, uint8_t p3, uint8_t data[16]);
uint8_t Quor_Write_Auth(uint8_t p1, uint8_t p2, uint8_t p3, const uint8_t data[16]);

/* Value operations. */
uint8_t Quor_Increment(uint8_t block, const int32_t* value);
uint8_t Quor_Decrement(uint8_t block, const int32_t* value);
uint8_t Quor_Restore(uint8_t block);
uint8_t Quor_Transfer(uint8_t block);
uint8_t Quor_Value(uint8_t p1, uint8_t p2, const int32_t* value, uint8_t p4);
uint8_t Quor_ReadValue_Auth(uint8_t p1, uint8_t p2, uint8_t p3, int32_t* value);
uint8_t Quor_WriteValue_Auth(uint8_t p1, uint8_t p2, uint8_t p3, const int32_t* value);
uint8_t Quor_Value_Auth(uint8_t p1, uint8_t p2, uint8_t p3, uint8_t p4, const int32_t* value,
                        uint8_t p6);

/* Reader housekeeping and EEPROM. Quor_Close is a reader command; only Quor_Exit closes the port.
 * A reply carries at most 194 data bytes, so Quor_Read_E2 accepts counts up to 194 and
 * Quor_Write_E2 up to 253 (0xFF otherwise, nothing sent). */
uint8_t Quor_Reset(uint8_t p1);
uint8_t Quor_Close(void);
uint8_t Quor_Config(void);
uint8_t Quor_Get_Info(uint8_t info[9]);
uint8_t Quor_Set_Control_Bit(void);
uint8_t Quor_Clr_Control_Bit(void);
uint8_t Quor_Buzzer(uint8_t p1, uint8_t p2, uint8_t p3, uint8_t p4);
uint8_t Quor_Read_E2(uint8_t address, uint8_t count, uint8_t* data);
uint8_t Quor_Write_E2(uint8_t address, uint8_t count, const uint8_t* data);

#ifdef __cplusplus
}
#endif

#endif /* QUOR_B_H */
