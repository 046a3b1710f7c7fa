// The transfer control: the only way the engine reaches the network.
#pragma once

#include <cstddef>
#include <stop_token>
#include <string>

namespace psf {

// What a fetch gives back. A response with any HTTP status is ok == true;
// ok == false means no usable body: transport failure, time-out, body over
// the cap, refused address or cancelled run.
struct Response {
    bool ok = false;
    long status = 0;
    std::string body;       // raw bytes, one byte per char
    std::string final_url;  // address the body came from, after redirects
    std::string error;      // reason when !ok
};

enum class DataType { Text, Bytes };

class TransferControl {
  public:
    virtual ~TransferControl() = default;

    // Credentials are offered only when a server asks (401), and only to the
    // scheme, host and port of `origin` (the task's start address). Empty user
    // or password clears both.
    virtual void SetCredentials(const std::string& user, const std::string& password,
                                const std::string& origin) = 0;

    // Text form and byte form: both return the body as raw bytes.
    virtual Response OpenURL(const std::string& url, DataType type = DataType::Text) = 0;

    // A stop request aborts the transfer in progress within a second and makes
    // every later fetch fail at once.
    virtual void SetStopToken(std::stop_token token) = 0;
};

}  // namespace psf
