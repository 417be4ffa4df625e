#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/comm/serial_device.h"

namespace reader {

// Results of the port operations; 0 is success.
enum PortResult : int32_t {
    kPortOk = 0,
    kOpenFailed = 101,
    kNotOpen = 102,  // also: open while already open
    kReadStartFailed = 103,
    kTransferFailed = 104,
    kReadTimedOut = 105,
    kReadWaitFailed = 106,
    kEventFailed = 200,
    kGetStateFailed = 201,
    kSetStateFailed = 202,
    kGetTimeoutsFailed = 203,
    kSetTimeoutsFailed = 204,
    kBufferSizeFailed = 205,
    kPurgeFailed = 207,
    kEventMaskFailed = 208,
    kWaitEventFailed = 209,
};

// The reader library's serial port: a numbered port "COM1".."COM4" at one of seven rates, with
// single-byte reads bounded by a per-byte time-out (50 ms at 9600 baud, 24 ms otherwise).
class ReaderPort {
  public:
    using Opener = std::function<comm::OpenResult(const std::string& path)>;

    explicit ReaderPort(Opener opener = comm::OpenSerialDevice);

    // 1..4 select COM1..COM4, anything else COM1; true when the number was one of 1..4.
    bool SelectPort(int number);
    // One of 9600, 14400, 19200, 28800, 38400, 57600, 115200, anything else 115200; sets the read
    // multiplier with it. True when the rate was one of the seven.
    bool SetBaud(int rate);

    const std::string& port_name() const { return port_name_; }
    int port_number() const { return port_number_; }
    int baud() const { return baud_; }
    uint32_t read_multiplier() const { return read_multiplier_; }
    bool IsOpen() const { return device_ != nullptr; }

    int Open();
    // True when an open port was closed.
    bool Close();

    int SetLineState(int baud, int data_bits, int parity, int stop_bits);
    int SetTimeouts();

    // Writes length bytes, waiting at most wait_ms for them to be taken.
    int Write(const uint8_t* bytes, size_t length, int wait_ms);
    // Reads up to length bytes within the port's read time-out, at most wait_ms; got may be 0.
    int Read(uint8_t* buffer, size_t length, size_t* got, int wait_ms);
    // 0 when received data was reported within ms, 1 when another event came, 209 otherwise.
    int WaitForData(int ms);
    uint32_t BytesWaiting();
    int PurgeReceive();

    // Pauses between tries; a test harness that feeds bytes without delay replaces it.
    void Pause(int ms) { pause_(ms); }
    void SetPause(std::function<void(int ms)> pause) { pause_ = std::move(pause); }

  private:
    Opener opener_;
    std::string port_name_ = "COM1";
    int port_number_ = 1;
    int baud_ = 9600;
    uint32_t read_multiplier_ = 0;
    std::unique_ptr<comm::SerialDevice> device_;
    std::function<void(int ms)> pause_;
};

}  // namespace reader
