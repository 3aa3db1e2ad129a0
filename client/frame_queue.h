// The worker's queue of frames handed over by the frame path: bounded, and pushing never waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "recorder.h"

namespace mivo {

class FrameQueue {
public:
    enum class Pop { Frame, Timeout, Closed };

    explicit FrameQueue(size_t capacity) : ring_(capacity ? capacity : 1) {}

    // False when the queue is full or closed; the caller keeps the frame.
    bool tryPush(const FrameRef &frame) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closed_ || count_ == ring_.size()) return false;
            ring_[(head_ + count_) % ring_.size()] = frame;
            ++count_;
        }
        ready_.notify_one();
        return true;
    }

    // Waits until a frame is there, the queue is closed and empty, or `deadline` passes.
    // Frames queued before close() still come out.
    Pop pop(FrameRef *frame, std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait_until(lock, deadline, [this] { return count_ > 0 || closed_; });
        if (count_ > 0) {
            *frame = ring_[head_];
            head_ = (head_ + 1) % ring_.size();
            --count_;
            return Pop::Frame;
        }
        return closed_ ? Pop::Closed : Pop::Timeout;
    }

    void close() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        ready_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<FrameRef> ring_;
    size_t head_ = 0, count_ = 0;
    bool closed_ = false;
};

}  // namespace mivo
