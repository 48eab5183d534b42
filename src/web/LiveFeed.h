#pragma once

// The camera's live pictures and the people watching them. The camera publishes from its
// streaming threads; the web server's connection threads watch. Every member is safe from any
// thread.

#include <QByteArrayView>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class TLiveFeed {
  public:
    using TClock = std::chrono::steady_clock;
    using TJpeg = std::shared_ptr<const std::vector<std::uint8_t>>;

    // Viewers at once; a further one is turned away.
    static constexpr int MaxViewers = 8;
    // The newest picture is handed out as it is only while it is younger than this.
    static constexpr std::chrono::seconds MaxAge{1};
    // How long a viewer waits for the next picture before it takes the camera for stopped.
    static constexpr std::chrono::seconds PictureWait{2};

    struct TPicture {
        TJpeg Jpeg;
        TClock::time_point Taken;
        std::uint64_t Number = 0; // counts from 1 over the feed's life

        QByteArrayView Bytes() const {
            return {reinterpret_cast<const char*>(Jpeg->data()), std::ssize(*Jpeg)};
        }
    };

    class TSeat;

    // Publishing side. Whether anyone watches: while no one does, nothing should be encoded.
    bool Watched() const { return Viewers.load() > 0; }
    void Publish(TJpeg jpeg);
    // The pictures stopped (the camera stopped or was lost, live view was turned off): every
    // stream ends, and a still picture is only handed out again once pictures come again.
    void End();

    // Watching side: a seat while there is one, none when MaxViewers already watch.
    std::optional<TSeat> TakeSeat();

  private:
    mutable std::mutex Lock;
    std::condition_variable Arrived;
    std::optional<TPicture> Newest;
    std::uint64_t Count = 0;
    std::uint64_t Ends = 0; // End calls so far: a seat's stream belongs to one run
    std::atomic<int> Viewers{0};
};

// One viewer's place at the feed, given back when it goes.
class TLiveFeed::TSeat {
  public:
    TSeat(const TSeat&) = delete;
    TSeat& operator=(const TSeat&) = delete;
    TSeat(TSeat&& other) noexcept;
    TSeat& operator=(TSeat&&) = delete;
    ~TSeat();

    // The next picture after the last one this seat was given, waiting at most `wait`; none
    // when it does not come or the pictures ended since the seat was taken.
    std::optional<TPicture> Next(TClock::duration wait = PictureWait);
    // A picture no older than MaxAge: the newest when it is young enough, else the next.
    std::optional<TPicture> Fresh(TClock::duration wait = PictureWait);

  private:
    friend class TLiveFeed;
    TSeat(TLiveFeed& feed, std::uint64_t run) : Feed(&feed), Run(run) {}

    TLiveFeed* Feed;
    std::uint64_t Run;
    std::uint64_t Last = 0;
};
