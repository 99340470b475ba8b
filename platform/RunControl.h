#pragma once

#include <QString>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>

// Thrown inside a run once a stop was asked for; the run ends as if it had not started
// the step it was in. Never an error shown to the user.
struct RunStopped {};

// What a run has reached, for whoever shows its progress.
enum class RunStage {
    WaitingForLock,  // another run of the task folder holds its lock
    Copying,         // the copy is being made
    Pruning,         // old copies are being deleted
};

// The handle between a run on its worker thread and the thread that shows it: the run's
// measure and how far it has come, the request to stop, and the stages it reaches. The
// counters are written by the copy threads as they go and read at any time from any
// thread.
class RunControl {
public:
    struct Progress {
        std::uint64_t bytesTotal = 0;
        std::uint64_t bytesDone = 0;
        std::uint64_t filesTotal = 0;
        std::uint64_t filesDone = 0;
        bool measured = false;  // the totals are known

        // How much of the copy is done, 0 to 1: bytes, with a few kilobytes for each file
        // so that a tree of small files moves too.
        double fraction() const {
            constexpr double kFileWeight = 16 * 1024;
            const double total = static_cast<double>(bytesTotal) + kFileWeight * filesTotal;
            if (!measured || total <= 0) {
                return 0;
            }
            const double done = static_cast<double>(bytesDone) + kFileWeight * filesDone;
            return std::clamp(done / total, 0.0, 1.0);
        }
    };

    // Called on the run's thread at each stage it reaches; sourceName with Copying.
    std::function<void(RunStage, const QString& sourceName)> onStage;
    // The source's walk before its copy, which gives the progress its totals and the room
    // check its size, and the copy's counting. The program always watches; the benchmark
    // switches it off to time what it costs.
    bool watched = true;
    // A checksum manifest is written beside the copy. The benchmark switches it off to time
    // what it costs.
    bool manifest = true;

    void requestStop() { stop_.store(true, std::memory_order_relaxed); }
    bool stopRequested() const { return stop_.load(std::memory_order_relaxed); }
    void throwIfStopped() const {
        if (stopRequested()) {
            throw RunStopped{};
        }
    }

    void reach(RunStage stage, const QString& sourceName = {}) const {
        if (onStage) {
            onStage(stage, sourceName);
        }
    }

    // The measure of the source, taken before its first byte is copied.
    void setTotal(std::uint64_t bytes, std::uint64_t files) {
        bytesTotal_.store(bytes, std::memory_order_relaxed);
        filesTotal_.store(files, std::memory_order_relaxed);
        measured_.store(true, std::memory_order_release);
    }
    void addBytes(std::uint64_t bytes) { bytesDone_.fetch_add(bytes, std::memory_order_relaxed); }
    void addFile() { filesDone_.fetch_add(1, std::memory_order_relaxed); }

    // Done never passes the total: a file that grew while it was copied does not count
    // beyond what was measured.
    Progress progress() const {
        Progress now;
        now.measured = measured_.load(std::memory_order_acquire);
        now.bytesTotal = bytesTotal_.load(std::memory_order_relaxed);
        now.filesTotal = filesTotal_.load(std::memory_order_relaxed);
        now.bytesDone = std::min(bytesDone_.load(std::memory_order_relaxed), now.bytesTotal);
        now.filesDone = std::min(filesDone_.load(std::memory_order_relaxed), now.filesTotal);
        return now;
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> measured_{false};
    std::atomic<std::uint64_t> bytesTotal_{0};
    std::atomic<std::uint64_t> filesTotal_{0};
    std::atomic<std::uint64_t> bytesDone_{0};
    std::atomic<std::uint64_t> filesDone_{0};
};
