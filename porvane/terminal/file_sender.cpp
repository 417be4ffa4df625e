#include "porvane/terminal/file_sender.h"

#include <chrono>
#include <fstream>
#include <vector>

#include "porvane/terminal/file_chunking.h"

namespace porvane::terminal {

FileSender::FileSender(Callbacks callbacks) : callbacks_(std::move(callbacks)) {}

FileSender::~FileSender() {
    {
        std::lock_guard lock(mutex_);
        sending_ = false;
        port_open_ = false;  // releases a worker that waits for a chunk
    }
    changed_.notify_all();
    Join();
}

void FileSender::Join() {
    if (!worker_.joinable()) {
        return;
    }
    std::unique_lock lock(mutex_);
    while (active_) {
        lock.unlock();
        if (callbacks_.pump)
            callbacks_.pump();
        lock.lock();
        changed_.wait_for(lock, std::chrono::milliseconds(2), [this] { return !active_; });
    }
    lock.unlock();
    worker_.join();
}

bool FileSender::Start(const std::string& path) {
    {
        std::lock_guard lock(mutex_);
        if (active_) {
            return false;
        }
    }
    if (worker_.joinable()) {
        worker_.join();  // the previous worker has already finished
    }
    {
        std::lock_guard lock(mutex_);
        active_ = true;
        sending_ = false;
    }
    worker_ = std::thread(&FileSender::Run, this, path);
    return true;
}

void FileSender::Stop() {
    std::lock_guard lock(mutex_);
    sending_ = false;
}

void FileSender::ChunkDone() {
    {
        std::lock_guard lock(mutex_);
        chunk_done_ = true;
    }
    changed_.notify_all();
}

void FileSender::SetPortOpen(bool open) {
    {
        std::lock_guard lock(mutex_);
        port_open_ = open;
        if (!open)
            sending_ = false;
    }
    changed_.notify_all();
}

bool FileSender::running() const {
    std::lock_guard lock(mutex_);
    return active_;
}

void FileSender::Run(std::string path) {
    auto finish_worker = [this] {
        std::lock_guard lock(mutex_);
        active_ = false;
        sending_ = false;
        changed_.notify_all();
    };
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (callbacks_.open_failed)
            callbacks_.open_failed();
        finish_worker();
        return;
    }
    file.seekg(0, std::ios::end);
    const auto end = file.tellg();
    const uint64_t length = end > 0 ? static_cast<uint64_t>(end) : 0;
    if (length == 0) {
        finish_worker();
        return;
    }
    const uint64_t chunk = FileChunkSize(length);
    std::vector<uint8_t> buffer(chunk + 1);
    if (callbacks_.started)
        callbacks_.started(length);
    {
        std::lock_guard lock(mutex_);
        sending_ = port_open_;
    }
    for (uint64_t offset = 0; offset < length; offset += chunk) {
        {
            std::lock_guard lock(mutex_);
            if (!sending_)
                break;
            chunk_done_ = false;
        }
        file.clear();
        file.seekg(static_cast<std::streamoff>(offset));
        file.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(chunk));
        const auto got = static_cast<uint32_t>(file.gcount());
        callbacks_.send_chunk(buffer.data(), got);
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return chunk_done_ || !port_open_; });
        }
        if (callbacks_.progress)
            callbacks_.progress(offset);
    }
    if (callbacks_.finished)
        callbacks_.finished();
    finish_worker();
}

}  // namespace porvane::terminal
