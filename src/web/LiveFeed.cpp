#include "LiveFeed.h"

#include <utility>

void TLiveFeed::Publish(TJpeg jpeg) {
    if (!jpeg || jpeg->empty())
        return;
    {
        const std::lock_guard lock(Lock);
        Newest = TPicture{std::move(jpeg), TClock::now(), ++Count};
    }
    Arrived.notify_all();
}

void TLiveFeed::End() {
    {
        const std::lock_guard lock(Lock);
        Newest.reset();
        ++Ends;
    }
    Arrived.notify_all();
}

std::optional<TLiveFeed::TSeat> TLiveFeed::TakeSeat() {
    int viewers = Viewers.load();
    do {
        if (viewers >= MaxViewers)
            return std::nullopt;
    } while (!Viewers.compare_exchange_weak(viewers, viewers + 1));
    const std::lock_guard lock(Lock);
    return TSeat(*this, Ends);
}

TLiveFeed::TSeat::TSeat(TSeat&& other) noexcept
    : Feed(std::exchange(other.Feed, nullptr)), Run(other.Run), Last(other.Last) {}

TLiveFeed::TSeat::~TSeat() {
    if (Feed)
        --Feed->Viewers;
}

std::optional<TLiveFeed::TPicture> TLiveFeed::TSeat::Next(TClock::duration wait) {
    std::unique_lock lock(Feed->Lock);
    const bool woken = Feed->Arrived.wait_for(lock, wait, [this] {
        return Feed->Ends != Run || (Feed->Newest && Feed->Newest->Number > Last);
    });
    if (!woken || Feed->Ends != Run)
        return std::nullopt;
    Last = Feed->Newest->Number;
    return Feed->Newest;
}

std::optional<TLiveFeed::TPicture> TLiveFeed::TSeat::Fresh(TClock::duration wait) {
    {
        const std::lock_guard lock(Feed->Lock);
        if (Feed->Ends == Run && Feed->Newest) {
            Last = Feed->Newest->Number;
            if (TClock::now() - Feed->Newest->Taken <= MaxAge)
                return Feed->Newest;
        }
    }
    return Next(wait);
}
