#include "platform/curl_transfer.h"

#include <utility>

#include "platform/fetch_scheduler.h"

namespace psf {

CurlTransfer::CurlTransfer(TransferLimits limits)
    : scheduler_(std::make_unique<FetchScheduler>(limits)) {}

CurlTransfer::~CurlTransfer() = default;

void CurlTransfer::SetCredentials(const std::string& user, const std::string& password,
                                  const std::string& origin) {
    scheduler_->set_credentials(user, password, origin);
}

Response CurlTransfer::OpenURL(const std::string& url, DataType type) {
    return Take(Start(url, type));
}

void CurlTransfer::SetStopToken(std::stop_token token) {
    scheduler_->new_run(std::move(token));
}

std::size_t CurlTransfer::LookAhead() const {
    return scheduler_->look_ahead();
}

std::vector<std::string> CurlTransfer::GivenUp() const {
    return scheduler_->given_up(false);
}

std::vector<std::string> CurlTransfer::GivenUpUnheard() const {
    return scheduler_->given_up(true);
}

Ticket CurlTransfer::Start(const std::string& url, DataType type, std::shared_ptr<BodySink> sink,
                           const Validators& known) {
    return scheduler_->start(url, type, std::move(sink), known);
}

Response CurlTransfer::Take(Ticket ticket) {
    return scheduler_->take(ticket);
}

void CurlTransfer::Discard() {
    scheduler_->drop_all();
}

}  // namespace psf
