#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "porvane/capture/serial_capture_writer.h"
#include "porvane/cli/line_clock.h"
#include "porvane/decode/frame_decoder.h"
#include "porvane/monitor/monitor_record.h"

namespace porvane::cli {

// How records are written: text lines as the monitor page decodes them, or one JSON object per
// record for scripts.
enum class RecordFormat { kText, kJson };

struct RecordOutputOptions {
    bool hex = false;
    bool data_only = false;  // text: only the data written (W) and read (R)
    StampMode stamp = StampMode::kNone;
    RecordFormat format = RecordFormat::kText;
    bool port_prefix = true;  // text: each line starts with "<port>: "
    bool print = true;        // false: records are counted (and captured) but not written
    // A protocol decoder's name (see decode::MakeFrameDecoder): each frame of the data goes on
    // a line of its own under the record that completes it. Empty: none.
    std::string decoder;
    // Live output (watch, monitor) puts the records of several ports in the order of their
    // times, holding each until every other port's stream has shown a time as late or
    // kReorderBound has passed; a single port's records are never held. Otherwise records are
    // written in the order they are given (show: a capture's order).
    bool live = false;
    // The clock the time records come at is read from (null: the system clock); tests set one.
    std::function<std::chrono::system_clock::time_point()> clock = {};
};

// How long live output holds a record for other ports' earlier ones to come.
inline constexpr std::chrono::milliseconds kReorderBound{100};

// The process a port's requests come from until the driver reports another one.
struct RecordProcess {
    pid_t pid = 0;
    std::string name;
};

// Writes the decoded records of one or more ports to one stream, whoever captured them. Text
// mode keeps a record on one line: line breaks and other control characters inside data are
// shown escaped (\r, \n, \t, \xNN). JSON mode writes one object per record: time, process,
// port, request, decoded text and fields, data as hex; texts are valid UTF-8. Counts each
// port's calls, bytes and errors for the summary. Thread-safe: the ports' threads share it.
class RecordOutput {
  public:
    RecordOutput(std::FILE* out, RecordOutputOptions options);
    ~RecordOutput();
    RecordOutput(const RecordOutput&) = delete;
    RecordOutput& operator=(const RecordOutput&) = delete;

    // Starts a thread that calls Tick when it is due, so that held records and frames a pause
    // ended are written without waiting for more records (live output). Ended by the destructor.
    void StartTimer();
    // Writes what is due by the clock: held records whose turn has come or whose bound has
    // passed, and frames the line's silence ended.
    void Tick();

    // Makes Write wait for SetDefaultProcess: records that come while the program is being
    // started are written once its process is known.
    void ExpectDefaultProcess();
    // The process assumed for a port's records before the driver names one (pid 0: unknown).
    void SetDefaultProcess(RecordProcess process);
    // Sets the default process only when it is still awaited, so that no Write waits forever.
    void SetDefaultProcessIfPending(RecordProcess process);
    // Sends every record, whole calls as they are written, to capture as well (null: none);
    // capture stays the caller's and must outlive the writes.
    void SetCapture(capture::SerialCaptureWriter* capture);
    // Writes the records of a buffer read from port's stream, stamped with the time of the call.
    void Write(const std::string& port, const uint8_t* buffer, size_t count);
    // Writes one record of a whole call (a read or write in one piece), stamped with when.
    void WriteRecord(const std::string& port, const monitor::MonitorRecord& record,
                     std::chrono::system_clock::time_point when);
    // Writes every record held and the frames the decoders still hold (at the end of the
    // records; WriteSummary does it first).
    void Flush();
    // One line per port that had records: requests (a program's call may be several), bytes written
    // and read, errors (a JSON object each in JSON mode).
    void WriteSummary();
    // The ports whose program made calls the attachment could not see, and how many.
    std::vector<std::pair<std::string, uint64_t>> UnseenCalls();
    // How many ports had records so far.
    size_t PortsWithRecords();
    // True once a write to the stream failed.
    bool failed();
    // The errno of the capture's failed write, 0 while none failed (or there is no capture).
    int CaptureError();

  private:
    struct PortTally {
        std::string port;
        RecordProcess process;
        uint64_t requests = 0, bytes_written = 0, bytes_read = 0, errors = 0, unwatched = 0;
        uint64_t unseen = 0;   // calls made inside the C library, out of the attachment's sight
        uint32_t failure = 0;  // the errno the driver said the next request failed with
        std::vector<uint8_t> held = {};  // a read or write record whose call may go on in the next
        // The time the host gave the next record, and the held call's.
        std::optional<std::chrono::system_clock::time_point> next_time = {};
        std::chrono::system_clock::time_point held_time = {};
        std::unique_ptr<decode::FrameDecoder> decoder = {};
        bool recorded = false;  // a record came (not only the time of one)
        // Live output: whether the host gives the times of the port's records (else they are
        // the times they came at), the latest time its stream has shown, and its records
        // waiting for their turn (each with its header, its time and when it came).
        bool timed = false;
        std::chrono::system_clock::time_point horizon = {};
        struct Waiting {
            std::vector<uint8_t> record;
            std::chrono::system_clock::time_point when, came;
            uint64_t order;
        };
        std::deque<Waiting> waiting = {};
    };
    PortTally& TallyOf(const std::string& port);
    // Counts and writes one record of port's (the whole call's, for a read or write).
    void EmitLocked(const std::string& port, const monitor::MonitorRecord& r,
                    std::chrono::system_clock::time_point now);
    // Counts and writes the record itself.
    void PrintLocked(const std::string& port, const monitor::MonitorRecord& r,
                     std::chrono::system_clock::time_point now);
    // Gives a data record's bytes (or the end of an open) to the port's decoder and writes the
    // frames it completes.
    void DecodeLocked(PortTally& tally, const std::string& port, const monitor::MonitorRecord& r,
                      std::chrono::system_clock::time_point now);
    void WriteFramesLocked(const std::string& port, const std::vector<decode::Frame>& frames,
                           std::chrono::system_clock::time_point now);
    // Live output: holds a record for its turn (otherwise writes it at once).
    void QueueLocked(const std::string& port, const monitor::MonitorRecord& r,
                     std::chrono::system_clock::time_point when,
                     std::chrono::system_clock::time_point now);
    // Writes the held records whose turn has come by now, earliest first (all: every one).
    void ReleaseLocked(std::chrono::system_clock::time_point now, bool all);
    // Writes the frames of every port that the line's silence ended before `before`: the time
    // of a record about to be written, or the clock's (by_clock), by which a port whose times
    // the host gives is given kReorderBound more for a record still on its way.
    void EndSilencesLocked(std::chrono::system_clock::time_point before, bool by_clock);
    // When Tick has something to do next, if ever.
    std::optional<std::chrono::system_clock::time_point> NextDueLocked();
    void TickLocked(std::chrono::system_clock::time_point now);
    void FlushLocked();
    std::chrono::system_clock::time_point Now() const;

    // Hands the record to the capture, with the failure noted for it and its port's process.
    void CaptureLocked(const std::string& port, const monitor::MonitorRecord& r,
                       std::chrono::system_clock::time_point now, uint32_t failure,
                       const RecordProcess& process);

    std::FILE* const out_;
    const RecordOutputOptions options_;
    std::mutex mutex_;  // guards everything below and the stream
    std::condition_variable process_known_;
    bool process_pending_ = false;
    LineClock clock_;
    RecordProcess default_process_;
    std::vector<PortTally> tallies_;  // in the order the ports first had records
    capture::SerialCaptureWriter* capture_ = nullptr;
    uint64_t queued_ = 0;  // records held so far, to keep the order of those of equal times
    std::condition_variable due_changed_;  // wakes the timer: something new may be due
    bool stopping_ = false;
    std::thread timer_;
};

// The text with control characters escaped (\r, \n, \t, \xNN), for one output line.
std::string EscapeControls(const std::string& text);

// text as a JSON string literal (quotes included); bytes that are not UTF-8 become U+FFFD.
std::string JsonString(const std::string& text);

}  // namespace porvane::cli
