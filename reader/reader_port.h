#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/comm/serial_device.h"

namespace reader {

// The reader library's serial port: a numbered port "COM1".."COM4" at one of seven rates, with
// single-byte reads bounded by a per-byte time-out (50 ms at 9600 baud, 24 ms otherwise).
// Its operations report success, or the operation that failed and why: the device's own
// failure as it gave it, EBADF from a port that is not open, EBUSY from opening an open port,
// ETIMEDOUT from a transfer that ran out of its wait.
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

    comm::CommStatus Open();
    // True when an open port was closed.
    bool Close();

    comm::CommStatus SetLineState(int baud, int data_bits, int parity, int stop_bits);
    comm::CommStatus SetTimeouts();

    // Writes length bytes, waiting at most wait_ms for them to be taken.
    comm::CommStatus Write(const uint8_t* bytes, size_t length, int wait_ms);
    // Reads up to length bytes within the port's read time-out, at most wait_ms; got may be 0.
    // A read bounded by the port's own time-out succeeds with fewer bytes; one cut short by
    // wait_ms fails with ETIMEDOUT.
    comm::CommStatus Read(uint8_t* buffer, size_t length, size_t* got, int wait_ms);
    // Success when received data was reported within ms; ENODATA when another event came.
    comm::CommStatus WaitForData(int ms);
    // 0 also when the port is not open or the query failed.
    uint32_t BytesWaiting();
    comm::CommStatus PurgeReceive();

    // Multiplies every time-out of the port (the per-byte read time-out and each caller's wait)
    // by factor, 1 unless changed: for links that deliver late (adapters with long latency) and
    // for simulated readers on a loaded machine, which can answer later than 24 ms a byte.
    void ScaleTimeouts(uint32_t factor);

    // Pauses between tries; a test harness that feeds bytes without delay replaces it.
    void Pause(int ms) { pause_(ms); }
    void SetPause(std::function<void(int ms)> pause) { pause_ = std::move(pause); }

  private:
    int Scaled(int ms) const { return ms * static_cast<int>(timeout_scale_); }

    Opener opener_;
    std::string port_name_ = "COM1";
    int port_number_ = 1;
    int baud_ = 9600;
    uint32_t read_multiplier_ = 0;
    uint32_t timeout_scale_ = 1;  // see ScaleTimeouts
    std::unique_ptr<comm::SerialDevice> device_;
    std::function<void(int ms)> pause_;
};

}  // namespace reader
