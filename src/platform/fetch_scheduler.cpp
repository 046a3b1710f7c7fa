#include "platform/fetch_scheduler.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "platform/address.h"

namespace psf {

namespace {

// libcurl's global state must be set up once per process before any handle,
// and a function-local static makes that thread-safe.
Result<void> init_curl_once() {
    static const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (rc != CURLE_OK) return Error{"libcurl: global initialisation failed"};
    return {};
}

}  // namespace

FetchScheduler::FetchScheduler(const TransferLimits& limits)
    : limits_(limits), connections_(limits_), verdicts_(limits_) {
    if (limits_.ca_bundle.empty())
        if (const char* bundle = std::getenv("PICSIFTER_CA_BUNDLE")) limits_.ca_bundle = bundle;
    // A libcurl that cannot start fails every fetch with its reason.
    Result<void> ready = init_curl_once();
    if (ready && (multi_ = curl_multi_init()) == nullptr)
        ready = Error{"libcurl: cannot create a transfer handle"};
    if (ready) ready = connections_.apply(multi_);
    if (!ready) broken_ = ready.error().text;
}

FetchScheduler::~FetchScheduler() {
    wake_on_stop_.reset();
    drop_all();
    for (CURL* e : spare_) curl_easy_cleanup(e);
    // At the end there is no one left to tell of a failure.
    static_cast<void>(curl_multi_cleanup(multi_));
}

void FetchScheduler::set_credentials(const std::string& user, const std::string& password,
                                     const std::string& origin) {
    const bool both = complete_credentials(user, password);
    user_ = both ? user : "";
    password_ = both ? password : "";
    origin_ = both ? origin_of(origin) : "";
}

void FetchScheduler::new_run(std::stop_token stop) {
    verdicts_.clear();
    wake_on_stop_.reset();
    stop_ = std::move(stop);
    wake_on_stop_.emplace(stop_, Wake{multi_});
}

void FetchScheduler::recycle(CURL* easy) {
    curl_easy_reset(easy);
    spare_.push_back(easy);
}

void FetchScheduler::drop_all() {
    for (auto& [ticket, f] : running_) {
        // Every fetch goes: a removal libcurl refuses changes nothing now.
        static_cast<void>(curl_multi_remove_handle(multi_, f->easy));
        recycle(f->easy);
    }
    running_.clear();
    connections_.clear();
    for (auto& f : waiting_) recycle(f->easy);
    waiting_.clear();
    done_.clear();
    account_.held = 0;
    unkept_ = 0;
}

// Checks one multi call; a failure is kept for break_down.
bool FetchScheduler::check(CURLMcode code, const char* call) {
    if (code == CURLM_OK) return true;
    if (broken_.empty())
        broken_ = std::string("libcurl: ") + call + " failed: " + curl_multi_strerror(code);
    return false;
}

// A multi call failed: libcurl's state is no longer known, so every fetch not
// yet done, and every later one, fails with that cause. Called where no loop
// over the fetches is under way.
void FetchScheduler::break_down() {
    for (auto& [ticket, f] : running_) {
        // Its failure changes nothing now.
        static_cast<void>(curl_multi_remove_handle(multi_, f->easy));
        account_.held -= f->counted;
        done_[ticket] = Fetch::failure(Cause::Other, broken_);
        recycle(f->easy);
    }
    running_.clear();
    connections_.clear();
    for (auto& f : waiting_) {
        done_[f->ticket] = Fetch::failure(Cause::Other, broken_);
        recycle(f->easy);
    }
    waiting_.clear();
}

// Ends a running fetch without a result of its own.
std::unique_ptr<Fetch> FetchScheduler::unhook(Running::iterator it) {
    std::unique_ptr<Fetch> f = std::move(it->second);
    running_.erase(it);
    connections_.ended(f->origin);
    const CURLMcode removed = curl_multi_remove_handle(multi_, f->easy);
    account_.held -= f->counted;
    f->counted = 0;
    check(removed, "removing a transfer");
    return f;
}

// Back among the waiting fetches, ahead of those started after it, as it was;
// behind the first when that one is awaited.
void FetchScheduler::requeue(std::unique_ptr<Fetch> f, bool behind_first) {
    curl_easy_reset(f->easy);
    f->enter(FetchState::Waiting);
    const auto from = waiting_.begin() + (behind_first && !waiting_.empty() ? 1 : 0);
    const auto at =
        std::find_if(from, waiting_.end(), [&](const auto& w) { return w->ticket > f->ticket; });
    waiting_.insert(at, std::move(f));
}

// Every fetch of the host not yet done fails at once, and so will later ones.
void FetchScheduler::give_up(const std::string& host, bool unheard) {
    verdicts_.give_up(host, unheard);
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if ((*it)->origin != host) {
            ++it;
            continue;
        }
        done_[(*it)->ticket] = verdicts_.failure(host);
        recycle((*it)->easy);
        it = waiting_.erase(it);
    }
    for (auto it = running_.begin(); it != running_.end();) {
        if (it->second->origin != host) {
            ++it;
            continue;
        }
        const auto next = std::next(it);
        std::unique_ptr<Fetch> f = unhook(it);
        done_[f->ticket] = verdicts_.failure(host);
        recycle(f->easy);
        it = next;
    }
}

// A try that began at `began` ended without a byte of an answer. Once the run
// has spent its time on such tries, the hosts it has not heard from are given
// up, those with fetches under way or waiting now, the others when a fetch of
// theirs is started.
void FetchScheduler::count_silence(std::chrono::steady_clock::time_point began) {
    if (!verdicts_.count_silence(began)) return;
    std::map<Ticket, std::string> unheard;  // in the order the fetches began
    for (const auto& [ticket, f] : running_)
        if (f->heard()) verdicts_.heard_from(f->origin);
    for (const auto& [ticket, f] : running_) unheard.emplace(ticket, f->origin);
    for (const auto& f : waiting_) unheard.emplace(f->ticket, f->origin);
    for (const auto& [ticket, host] : unheard)
        if (!host.empty() && !verdicts_.heard(host) && !verdicts_.given_up(host))
            give_up(host, true);
}

// The fetch awaited cannot start while paused fetches hold the connections it
// needs: the newest of them gives its connection back and starts again later.
void FetchScheduler::make_room(const Fetch& wanted) {
    const bool host_full = connections_.host_full(wanted.origin);
    if (!host_full && !connections_.all_full(wanted.origin)) return;
    for (auto it = running_.rbegin(); it != running_.rend(); ++it) {
        const Fetch& f = *it->second;
        if (f.state() != FetchState::Paused || (host_full && f.origin != wanted.origin)) continue;
        requeue(unhook(std::next(it).base()), true);
        return;
    }
}

void FetchScheduler::admit() {
    if (!broken_.empty()) return;
    const auto now = std::chrono::steady_clock::now();
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        const Fetch& next = **it;
        const bool held = unkept_ > 0 && next.sink && next.ticket != account_.awaited;
        if (held || next.not_before > now || !connections_.admits(next.origin)) {
            ++it;
            continue;
        }
        std::unique_ptr<Fetch> f = std::move(*it);
        it = waiting_.erase(it);
        connections_.started(f->origin);
        f->started = now;
        Result<void> ready = f->configure(user_, password_);
        if (const CURLMcode added = ready ? curl_multi_add_handle(multi_, f->easy) : CURLM_OK;
            added != CURLM_OK)
            ready = Error{std::string("libcurl cannot start the transfer: ") +
                          curl_multi_strerror(added)};
        if (!ready) {
            connections_.ended(f->origin);
            done_[f->ticket] = Fetch::failure(Cause::Other, ready.error().text);
            recycle(f->easy);
            continue;
        }
        running_.emplace(f->ticket, std::move(f));
    }
}

// A transient failure is tried again after its pause, unless the tries are
// spent or the run is stopped.
bool FetchScheduler::retry(std::unique_ptr<Fetch>& f, const Response& r) {
    if (f->attempt >= limits_.retries || !transient(r) || stop_.stop_requested()) return false;
    f->not_before = std::chrono::steady_clock::now() + f->retry_pause();
    ++f->attempt;
    requeue(std::move(f), false);
    return true;
}

void FetchScheduler::collect() {
    int left = 0;
    while (CURLMsg* m = curl_multi_info_read(multi_, &left)) {
        if (m->msg != CURLMSG_DONE) continue;
        const CURLcode rc = m->data.result;
        // Found by its handle: a fetch given up meanwhile is gone.
        auto it = std::find_if(running_.begin(), running_.end(),
                               [&](const auto& e) { return e.second->easy == m->easy_handle; });
        if (it == running_.end()) continue;
        Response r = it->second->result(rc);
        long version = 0;
        if (r.ok &&
            curl_easy_getinfo(m->easy_handle, CURLINFO_HTTP_VERSION, &version) == CURLE_OK &&
            version >= CURL_HTTP_VERSION_2_0)
            connections_.multiplexed(origin_of(r.final_url));
        std::unique_ptr<Fetch> f = unhook(it);
        if (f->heard()) verdicts_.heard_from(f->origin);
        if (r.cause == Cause::Silent) count_silence(f->started);
        if (retry(f, r)) continue;
        if (verdicts_.tally(f->origin, r)) give_up(f->origin);
        unkept_ += r.cause == Cause::NotKept;
        account_.held += r.body.size();
        done_[f->ticket] = std::move(r);
        recycle(f->easy);
    }
}

// How long the loop may wait for sockets: a retry that comes due must not
// wait for the next socket event.
int FetchScheduler::poll_ms() const {
    auto wait = std::chrono::milliseconds(200);
    const auto now = std::chrono::steady_clock::now();
    for (const auto& f : waiting_)
        if (f->not_before > now)
            wait =
                std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(f->not_before - now));
    return static_cast<int>(wait.count());
}

Ticket FetchScheduler::start(const std::string& url, DataType type, std::shared_ptr<BodySink> sink,
                             const Validators& known) {
    const Ticket ticket = next_ticket_++;
    if (!broken_.empty()) {
        done_[ticket] = Fetch::failure(Cause::Other, broken_);
        return ticket;
    }
    if (stop_.stop_requested()) {
        done_[ticket] = Fetch::failure(Cause::Cancelled, "cancelled");
        return ticket;
    }
    if (url.size() > MaxAddressLength) {
        done_[ticket] = Fetch::failure(
            Cause::Refusal, "address longer than " + std::to_string(MaxAddressLength) + " bytes");
        return ticket;
    }
    auto f = std::make_unique<Fetch>();
    f->ticket = ticket;
    f->address = request_address(url);
    f->origin = origin_of(f->address);
    if (verdicts_.silent_spent() && !f->origin.empty() && !verdicts_.heard(f->origin) &&
        !verdicts_.given_up(f->origin))
        give_up(f->origin, true);
    if (verdicts_.given_up(f->origin)) {
        done_[ticket] = verdicts_.failure(f->origin);
        return ticket;
    }
    f->sink = std::move(sink);
    f->ask_if_changed(known);
    f->account = &account_;
    f->with_credentials = !origin_.empty() && f->origin == origin_;
    f->form = type;
    f->max_body =
        type == DataType::StyleSheet ? std::min(limits_.max_body, MaxStyleSheet) : limits_.max_body;
    f->limits = &limits_;
    f->stop = &stop_;
    if (spare_.empty()) {
        f->easy = curl_easy_init();
        if (f->easy == nullptr) {
            done_[ticket] =
                Fetch::failure(Cause::Other, "libcurl: cannot create a transfer handle");
            return ticket;
        }
    } else {
        f->easy = spare_.back();
        spare_.pop_back();
    }
    // Admitted, and sent, with the next Take: admitting or performing here
    // would visit every fetch waiting or under way, for each one started.
    waiting_.push_back(std::move(f));
    return ticket;
}

Response FetchScheduler::take(Ticket ticket) {
    account_.awaited = ticket;
    // The one waited for goes before every other not yet admitted.
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
        if ((*it)->ticket != ticket) continue;
        std::unique_ptr<Fetch> f = std::move(*it);
        waiting_.erase(it);
        waiting_.push_front(std::move(f));
        break;
    }
    for (;;) {
        if (!broken_.empty()) break_down();
        if (auto it = done_.find(ticket); it != done_.end()) {
            Response r = std::move(it->second);
            done_.erase(it);
            account_.held -= r.body.size();
            unkept_ -= r.cause == Cause::NotKept;
            return r;
        }
        if (stop_.stop_requested()) {
            drop_all();
            return Fetch::failure(Cause::Cancelled, "cancelled");
        }
        const bool known = running_.count(ticket) != 0 ||
                           std::any_of(waiting_.begin(), waiting_.end(),
                                       [ticket](const auto& f) { return f->ticket == ticket; });
        if (!known) return Fetch::failure(Cause::Other, "unknown ticket");
        for (auto& [running_ticket, f] : running_)
            if (f->state() == FetchState::Paused &&
                (running_ticket == ticket || account_.held < limits_.max_held))
                f->resume();
        admit();
        if (!waiting_.empty() && waiting_.front()->ticket == ticket &&
            waiting_.front()->not_before <= std::chrono::steady_clock::now()) {
            make_room(*waiting_.front());
            admit();
        }
        int still = 0;
        if (!check(curl_multi_perform(multi_, &still), "perform")) continue;
        collect();
        if (done_.count(ticket) != 0) continue;
        // A short wait bounds how long a stop request goes unseen even if the
        // wake-up were missed.
        check(curl_multi_poll(multi_, nullptr, 0, poll_ms(), nullptr), "poll");
    }
}

}  // namespace psf
